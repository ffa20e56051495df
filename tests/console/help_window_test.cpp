// The help window: the contents list read from the guide's sitemap, where
// the guide is looked for, and the window showing a page and following links.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTreeWidget>
#include <fstream>

#include "console/help_window.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

// The guide as the build copies it beside the program.
fs::path HelpSources() { return fs::path(CORVAN_SERVER_BINARY).parent_path() / "help"; }

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(HelpContents, TheGuidesSitemapListsEveryPageInOrder) {
  std::ifstream file(HelpSources() / "toc.hhc", std::ios::binary);
  ASSERT_TRUE(file);
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::vector<HelpTopic> topics = ParseHelpContents(bytes);
  ASSERT_EQ(topics.size(), 8u);
  EXPECT_EQ(topics[0].name, "Corvan服务器 使用说明");
  EXPECT_EQ(topics[0].local, "index.html");
  EXPECT_EQ(topics[1].local, "start.html");
  EXPECT_EQ(topics[7].name, "常见问题");
  // Every listed page is part of the guide.
  for (const HelpTopic& t : topics) {
    EXPECT_EQ(t.depth, 0) << t.name;
    EXPECT_TRUE(fs::is_regular_file(HelpSources() / t.local)) << t.local;
  }
}

TEST(HelpContents, NestedListsGiveLevelsAndLooseOrBadTextGivesWhatItCan) {
  const std::string nested =
      "<ul><li><object type=\"text/sitemap\"><PARAM NAME=\"name\" VALUE=\"A\"><param name=\"Local\" value=\"a.html\">"
      "</object><ul><li><object><param name=\"Name\" value=\"A1\"><param name=\"Local\" value=\"sub/a1.html\"></object>"
      "<li><object><param name=\"Local\" value=\"nameless.html\"></object>"
      "<ul><li><object><param name=\"Name\" value=\"A1x\"></object></ul></ul>"
      "<li><object><param name=\"Name\" value=\"B &amp; C\"><param name=\"Local\" value=\"b.html\"></object></ul>";
  std::vector<HelpTopic> topics = ParseHelpContents(nested);
  ASSERT_EQ(topics.size(), 4u);
  EXPECT_EQ(topics[0].name, "A");
  EXPECT_EQ(topics[0].depth, 0);
  EXPECT_EQ(topics[1].local, "sub/a1.html");
  EXPECT_EQ(topics[1].depth, 1);
  EXPECT_EQ(topics[2].name, "A1x");  // the entry without a caption is left out
  EXPECT_EQ(topics[2].local, "");
  EXPECT_EQ(topics[2].depth, 2);
  EXPECT_EQ(topics[3].name, "B & C");
  EXPECT_EQ(topics[3].depth, 0);

  EXPECT_TRUE(ParseHelpContents("").empty());
  EXPECT_TRUE(ParseHelpContents(std::string("\0\xff\xfe<<<>>", 9)).empty());
  EXPECT_TRUE(ParseHelpContents("<ul><li>no objects</ul>").empty());
  // Lists nested far deeper than any guide: no crash, the shallow entries kept.
  std::string deep = "<ul><li><object><param name=\"Name\" value=\"top\"></object>";
  for (int i = 0; i < 5000; ++i) deep += "<ul><li>";
  EXPECT_EQ(ParseHelpContents(deep).size(), 1u);
  // A file over the bound is not read at all.
  std::string big = "<ul><li><object><param name=\"Name\" value=\"x\"></object></ul>";
  big.resize(kMaxHelpContentsBytes + 1, ' ');
  EXPECT_TRUE(ParseHelpContents(big).empty());
}

TEST(HelpLocation, BesideTheProgramFirstThenTheSharedFolderNeverTheDataFolder) {
  test::TempDir root;
  const fs::path bin = root.Path() / "usr" / "bin";
  fs::create_directories(bin);
  EXPECT_FALSE(FindHelpIndex(bin));

  // A guide in the data folder (where the old help file was) is not used.
  setenv("CORVAN_HOME", root.Path().c_str(), 1);
  Write(root.Path() / "help" / "index.html", "data folder");
  Write(root.Path() / "Corvan_Server.chm", "ITSF");
  EXPECT_FALSE(FindHelpIndex(bin));
  unsetenv("CORVAN_HOME");

  Write(root.Path() / "usr" / "share" / "corvan" / "help" / "index.html", "installed");
  ASSERT_TRUE(FindHelpIndex(bin));
  EXPECT_EQ(*FindHelpIndex(bin), root.Path() / "usr" / "share" / "corvan" / "help" / "index.html");

  // A folder named index.html is not a guide; a file beside the program wins.
  fs::create_directories(bin / "help" / "index.html");
  EXPECT_EQ(*FindHelpIndex(bin), root.Path() / "usr" / "share" / "corvan" / "help" / "index.html");
  fs::remove(bin / "help" / "index.html");
  Write(bin / "help" / "index.html", "build tree");
  EXPECT_EQ(*FindHelpIndex(bin), bin / "help" / "index.html");
}

// Clicks the browser's text `text` (a link) with the left button.
void ClickText(QTextBrowser& browser, const QString& text) {
  QTextCursor found = browser.document()->find(text);
  ASSERT_FALSE(found.isNull()) << text.toStdString();
  QTextCursor inside(browser.document());
  inside.setPosition(found.selectionStart() + 1);
  const QPoint at = browser.cursorRect(inside).center();
  QMouseEvent press(QEvent::MouseButtonPress, at, browser.viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(browser.viewport(), &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, browser.viewport()->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(browser.viewport(), &release);
}

TEST(HelpWindowView, OpensTheIndexFollowsALinkAndTheContentsListFollowsAlong) {
  test::TempDir program;
  fs::copy(HelpSources(), program.Path() / "help", fs::copy_options::recursive);
  HelpWindow window;
  auto* browser = window.findChild<QTextBrowser*>("Rzhelpbrowser");
  auto* contents = window.findChild<QTreeWidget*>("Tvhelpcontents");
  ASSERT_NE(browser, nullptr);
  ASSERT_NE(contents, nullptr);
  EXPECT_EQ(window.objectName(), "Tfrmhelp");
  EXPECT_EQ(window.windowTitle(), "服务器帮助");
  ASSERT_TRUE(window.Open(*FindHelpIndex(program.Path())));
  EXPECT_TRUE(window.isVisible());
  EXPECT_EQ(browser->source().fileName(), "index.html");
  EXPECT_EQ(browser->documentTitle(), "Corvan服务器 使用说明");
  ASSERT_EQ(contents->topLevelItemCount(), 8);
  ASSERT_NE(contents->currentItem(), nullptr);
  EXPECT_EQ(contents->currentItem()->text(0), "Corvan服务器 使用说明");

  // A link of the page opens the page it names, and the list marks it.
  ClickText(*browser, QStringLiteral("启动、托盘与退出"));
  EXPECT_EQ(browser->source().fileName(), "start.html");
  EXPECT_EQ(browser->documentTitle(), "启动、托盘与退出");
  ASSERT_NE(contents->currentItem(), nullptr);
  EXPECT_EQ(contents->currentItem()->text(0), "启动、托盘与退出");

  // An entry of the list opens its page.
  contents->setCurrentItem(contents->topLevelItem(7));
  EXPECT_EQ(browser->source().fileName(), "faq.html");
  browser->backward();
  EXPECT_EQ(browser->source().fileName(), "start.html");
  EXPECT_EQ(contents->currentItem()->text(0), "启动、托盘与退出");

  // A guide without a contents file still shows; a missing page is refused.
  fs::remove(program.Path() / "help" / "toc.hhc");
  EXPECT_TRUE(window.Open(program.Path() / "help" / "index.html"));
  EXPECT_EQ(contents->topLevelItemCount(), 0);
  EXPECT_FALSE(window.Open(program.Path() / "help" / "gone.html"));
}

}  // namespace
}  // namespace corvan
