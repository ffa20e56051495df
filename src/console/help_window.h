// The help window: the HTML user guide shown in the console itself, with its
// contents list beside the page. The guide lives in "help" beside the
// program, or in "share/corvan/help" beside the program's folder where the
// package installs it; the data folder plays no part.
//
// The contents list comes from the guide's "toc.hhc" (a sitemap of nested
// lists of OBJECT elements with "Name" and "Local" parameters), read with
// libxml2's HTML parser.
#pragma once

#include <QString>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/skin_frame.h"

class QTextBrowser;
class QTreeWidget;
class QTreeWidgetItem;
class QUrl;

namespace corvan {

inline constexpr std::string_view kHelpIndexName = "index.html";
inline constexpr std::string_view kHelpContentsName = "toc.hhc";
// A contents file larger than this is not read.
inline constexpr std::size_t kMaxHelpContentsBytes = 1024 * 1024;

// One entry of the contents list: its caption, the page it opens (relative
// to the guide's folder) and its nesting level (0 at the top).
struct HelpTopic {
  std::string name;
  std::string local;
  int depth = 0;
};

// The entries of a contents file, in document order. Entries without a
// caption are skipped; text that is not a contents file gives none; so does
// a text longer than `kMaxHelpContentsBytes`.
std::vector<HelpTopic> ParseHelpContents(std::string_view bytes);

// The guide's start page for a program in `programFolder`:
// <programFolder>/help/index.html, else
// <programFolder>/../share/corvan/help/index.html; nothing when neither is a
// file.
std::optional<std::filesystem::path> FindHelpIndex(const std::filesystem::path& programFolder);

class HelpWindow : public SkinnedDialog {
  Q_OBJECT

 public:
  explicit HelpWindow(QWidget* parent = nullptr);

  // Shows the guide whose start page is `index` (and its contents list);
  // false when the page cannot be read.
  bool Open(const std::filesystem::path& index);

 private:
  void FillContents(const std::filesystem::path& folder);
  void SelectTopicOf(const QUrl& source);

  QTreeWidget* contentsList_ = nullptr;
  QTextBrowser* browser_ = nullptr;
  std::filesystem::path folder_;
};

}  // namespace corvan
