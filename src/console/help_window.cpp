#include "console/help_window.h"

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QUrl>
#include <fstream>
#include <iterator>
#include <memory>

#include "base/xml.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

// Nesting deeper than this is not followed; more entries than this are
// dropped. A real guide has a handful of each.
constexpr int kMaxContentsDepth = 32;
constexpr std::size_t kMaxTopics = 4096;

struct XmlFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

std::string Attribute(xmlNodePtr node, const char* name) {
  std::unique_ptr<xmlChar, XmlFree> value(xmlGetProp(node, reinterpret_cast<const xmlChar*>(name)));
  return value ? std::string(reinterpret_cast<const char*>(value.get())) : std::string();
}

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The HTML parser gives element names in lower case.
bool Named(xmlNodePtr node, std::string_view name) {
  return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
         SameLetters(reinterpret_cast<const char*>(node->name), name);
}

void CollectTopics(xmlNodePtr parent, int lists, int level, std::vector<HelpTopic>& out) {
  if (level > kMaxContentsDepth) return;
  for (xmlNodePtr node = parent->children; node != nullptr && out.size() < kMaxTopics; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (Named(node, "object")) {
      HelpTopic topic;
      for (xmlNodePtr param = node->children; param != nullptr; param = param->next) {
        if (!Named(param, "param")) continue;
        const std::string key = Attribute(param, "name");
        if (SameLetters(key, "Name")) topic.name = Attribute(param, "value");
        if (SameLetters(key, "Local")) topic.local = Attribute(param, "value");
      }
      topic.depth = std::max(0, lists - 1);
      if (!topic.name.empty()) out.push_back(std::move(topic));
      continue;
    }
    CollectTopics(node, lists + (Named(node, "ul") ? 1 : 0), level + 1, out);
  }
}

}  // namespace

std::vector<HelpTopic> ParseHelpContents(std::string_view bytes) {
  std::vector<HelpTopic> topics;
  if (bytes.empty() || bytes.size() > kMaxHelpContentsBytes) return topics;
  // No network, no messages on stderr for the loose HTML of such files.
  const int options = HTML_PARSE_NONET | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING;
  XmlDocPtr doc(htmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, "UTF-8", options));
  if (!doc) return topics;
  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  if (root != nullptr) CollectTopics(root, 0, 0, topics);
  return topics;
}

std::optional<fs::path> FindHelpIndex(const fs::path& programFolder) {
  const fs::path candidates[] = {programFolder / "help" / kHelpIndexName,
                                 programFolder / ".." / "share" / "corvan" / "help" / kHelpIndexName};
  for (const fs::path& candidate : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(candidate, ec)) return candidate.lexically_normal();
  }
  return std::nullopt;
}

HelpWindow::HelpWindow(QWidget* parent) : SkinnedDialog(parent, true) {
  setObjectName(QStringLiteral("Tfrmhelp"));
  setModal(false);
  Skin()->SetTitle(QStringLiteral("服务器帮助"));

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setObjectName(QStringLiteral("Splhelp"));
  contentsList_ = new QTreeWidget(splitter);
  contentsList_->setObjectName(QStringLiteral("Tvhelpcontents"));
  contentsList_->setHeaderHidden(true);
  contentsList_->setColumnCount(1);
  browser_ = new QTextBrowser(splitter);
  browser_->setObjectName(QStringLiteral("Rzhelpbrowser"));
  // Pages of the guide open here; addresses elsewhere in the desktop's browser.
  browser_->setOpenExternalLinks(true);
  splitter->addWidget(contentsList_);
  splitter->addWidget(browser_);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({200, 560});

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->addWidget(splitter);

  connect(contentsList_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (!item) return;
    const QString local = item->data(0, Qt::UserRole).toString();
    if (local.isEmpty()) return;
    browser_->setSource(QUrl::fromLocalFile(QString::fromStdString((folder_ / local.toStdString()).string())));
  });
  connect(browser_, &QTextBrowser::sourceChanged, this, &HelpWindow::SelectTopicOf);
  resize(780, 560);
}

bool HelpWindow::Open(const fs::path& index) {
  std::ifstream probe(index, std::ios::binary);
  if (!probe) return false;
  folder_ = index.lexically_normal().parent_path();
  FillContents(folder_);
  browser_->setSearchPaths({QString::fromStdString(folder_.string())});
  browser_->setSource(QUrl::fromLocalFile(QString::fromStdString(index.string())));
  show();
  raise();
  activateWindow();
  return true;
}

void HelpWindow::FillContents(const fs::path& folder) {
  QSignalBlocker quiet(contentsList_);
  contentsList_->clear();
  std::string bytes;
  std::ifstream file(folder / kHelpContentsName, std::ios::binary);
  if (file) {
    // Read at most one byte past the bound, so an oversized file is refused
    // without being read whole.
    bytes.resize(kMaxHelpContentsBytes + 1);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
  }
  // The open item of every level, so an entry goes under the last one above.
  std::vector<QTreeWidgetItem*> open;
  bool nested = false;
  for (const HelpTopic& topic : ParseHelpContents(bytes)) {
    const std::size_t depth = std::min(static_cast<std::size_t>(topic.depth), open.size());
    nested = nested || depth > 0;
    open.resize(depth);
    auto* item = depth == 0 ? new QTreeWidgetItem(contentsList_) : new QTreeWidgetItem(open.back());
    item->setText(0, QString::fromStdString(topic.name));
    item->setData(0, Qt::UserRole, QString::fromStdString(topic.local));
    open.push_back(item);
  }
  // A flat list needs no room for branches.
  contentsList_->setRootIsDecorated(nested);
  contentsList_->expandAll();
}

void HelpWindow::SelectTopicOf(const QUrl& source) {
  const QString page = QString::fromStdString(
      fs::path(source.toLocalFile().toStdString()).lexically_normal().lexically_relative(folder_).generic_string());
  QSignalBlocker quiet(contentsList_);
  for (QTreeWidgetItemIterator it(contentsList_); *it; ++it) {
    if ((*it)->data(0, Qt::UserRole).toString() == page) {
      contentsList_->setCurrentItem(*it);
      return;
    }
  }
  contentsList_->setCurrentItem(nullptr);
}

}  // namespace corvan
