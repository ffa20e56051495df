// The frame's pure rules: which edge or corner a press resizes from, the
// pointer shapes, the rounded window shape, the about box's date and the
// file dialog filter.
#include <gtest/gtest.h>

#include "console/about_box.h"
#include "console/console_commands.h"
#include "console/frame_hit.h"

namespace corvan {
namespace {

constexpr int kW = 800;  // window width
constexpr int kH = 600;

FrameHit Hit(FramePiece piece, int x, int y, int w, int h, bool sizable = true) {
  return HitTestFrame(piece, x, y, w, h, kW, sizable);
}

void ExpectAction(FrameHit hit, FrameAction action) {
  EXPECT_TRUE(hit.acts);
  EXPECT_EQ(static_cast<int>(hit.action), static_cast<int>(action));
}

TEST(FrameHitTest, CornersResizeDiagonallyWithinFivePixels) {
  // 3 pixels from the bottom-right corner of the window.
  ExpectAction(Hit(FramePiece::imgrb, 8 - 3, 6 - 3, 8, 6), FrameAction::BottomRight);
  ExpectAction(Hit(FramePiece::imglt, 0, 0, 8, 30), FrameAction::TopLeft);
  ExpectAction(Hit(FramePiece::imgrt, 7, 4, 8, 30), FrameAction::TopRight);
  ExpectAction(Hit(FramePiece::imglb, 4, 5, 8, 6), FrameAction::BottomLeft);
  // The boundaries: 4 from the near edge is in, 5 is out; past extent - 5
  // from the far edge is in.
  ExpectAction(Hit(FramePiece::imglt, 4, 10, 8, 30), FrameAction::Left);
  ExpectAction(Hit(FramePiece::imglt, 5, 10, 8, 30), FrameAction::Move);
  ExpectAction(Hit(FramePiece::imgright, 0, 100, 4, 500), FrameAction::Right);
  ExpectAction(Hit(FramePiece::imgbuttom, 400, 2, 800, 6), FrameAction::Bottom);
  ExpectAction(Hit(FramePiece::imgbuttom, 400, 0, 800, 5), FrameAction::Move);
  ExpectAction(Hit(FramePiece::imgbuttom, 796, 2, 800, 6), FrameAction::BottomRight);
}

TEST(FrameHitTest, EachPieceTestsOnlyTheEdgesItTouches) {
  // The left side image has no top or bottom edge of the window.
  ExpectAction(Hit(FramePiece::imgleft, 1, 0, 4, 500), FrameAction::Left);
  ExpectAction(Hit(FramePiece::imgleft, 1, 499, 4, 500), FrameAction::Left);
  // The corner images do not resize from the inner sides.
  ExpectAction(Hit(FramePiece::imglt, 7, 20, 8, 30), FrameAction::Move);
  ExpectAction(Hit(FramePiece::imgrt, 0, 29, 8, 30), FrameAction::Move);
  // The banner: its top, the window's left and right, not its bottom.
  ExpectAction(Hit(FramePiece::Imgtop, 400, 15, 800, 30), FrameAction::Move);
  ExpectAction(Hit(FramePiece::Imgtop, 400, 29, 800, 30), FrameAction::Move);
  ExpectAction(Hit(FramePiece::Imgtop, 400, 2, 800, 30), FrameAction::Top);
  ExpectAction(Hit(FramePiece::Imgtop, 2, 2, 800, 30), FrameAction::TopLeft);
  // Its right edge is the window's, even when the image is narrower.
  ExpectAction(Hit(FramePiece::Imgtop, 797, 15, 600, 30), FrameAction::Right);
  ExpectAction(Hit(FramePiece::Imgtop, 598, 15, 600, 30), FrameAction::Move);
  // The title always moves.
  ExpectAction(Hit(FramePiece::rzlbltitle, 0, 0, 100, 30), FrameAction::Move);
}

TEST(FrameHitTest, DialogsOnlyMoveByTheBannerOrTitle) {
  ExpectAction(Hit(FramePiece::Imgtop, 1, 1, 400, 30, false), FrameAction::Move);
  ExpectAction(Hit(FramePiece::rzlbltitle, 5, 5, 100, 30, false), FrameAction::Move);
  for (FramePiece piece : {FramePiece::imglt, FramePiece::imgrt, FramePiece::imgleft, FramePiece::imgright,
                           FramePiece::imglb, FramePiece::imgbuttom, FramePiece::imgrb})
    EXPECT_FALSE(Hit(piece, 1, 1, 8, 8, false).acts);
}

TEST(FrameHitTest, CursorsMatchTheEdges) {
  EXPECT_EQ(CursorForAction(FrameAction::Left), FrameCursor::SizeHorizontal);
  EXPECT_EQ(CursorForAction(FrameAction::Right), FrameCursor::SizeHorizontal);
  EXPECT_EQ(CursorForAction(FrameAction::Top), FrameCursor::SizeVertical);
  EXPECT_EQ(CursorForAction(FrameAction::Bottom), FrameCursor::SizeVertical);
  EXPECT_EQ(CursorForAction(FrameAction::TopLeft), FrameCursor::SizeTopLeftBottomRight);
  EXPECT_EQ(CursorForAction(FrameAction::BottomRight), FrameCursor::SizeTopLeftBottomRight);
  EXPECT_EQ(CursorForAction(FrameAction::TopRight), FrameCursor::SizeTopRightBottomLeft);
  EXPECT_EQ(CursorForAction(FrameAction::BottomLeft), FrameCursor::SizeTopRightBottomLeft);
  EXPECT_EQ(CursorForAction(FrameAction::Move), FrameCursor::Arrow);
}

TEST(FrameHitTest, WindowShapeCutsOnlyTheCornersSymmetrically) {
  std::vector<ShapeRow> rows = RoundedWindowShape(kW, kH);
  ASSERT_EQ(rows.size(), static_cast<std::size_t>(kH + 1));
  EXPECT_GT(rows.front().left, 0);
  EXPECT_LE(rows.front().left, 2);
  EXPECT_EQ(rows.front().right, kW + 1 - rows.front().left);
  for (std::size_t y = 0; y < rows.size(); ++y) {
    EXPECT_EQ(rows[y].left, rows[rows.size() - 1 - y].left) << y;
    if (y >= 3 && y + 3 < rows.size()) {
      EXPECT_EQ(rows[y].left, 0) << y;
      EXPECT_EQ(rows[y].right, kW + 1) << y;
    }
  }
  EXPECT_TRUE(RoundedWindowShape(-2, 10).empty());
}

TEST(AboutTest, DateComesFromTheLastSixDigitsOfTheVersion) {
  EXPECT_EQ(UpdateDateText(kConsoleVersion), "更新日期：2008年12月26日");
  EXPECT_EQ(UpdateDateText("3.0.100405"), "更新日期：2010年04月05日");
  EXPECT_EQ(UpdateDateText("1.2"), "");
}

TEST(DialogFilterTest, PairsBecomeQtFiltersAndAnyFileNeedsNoDot) {
  EXPECT_EQ(DialogFilter(kDatabaseFilter).toStdString(), "*.mdb(数据库) (*.mdb);;*.*(所有文件) (*)");
  EXPECT_EQ(DialogFilter("a|*.x;*.y").toStdString(), "a (*.x *.y)");
}

TEST(OnlineUsersTest, CountLineThenOneLinePerEntryInListOrder) {
  EXPECT_EQ(OnlineUserLines({}), (std::vector<std::string>{"共0人在线！"}));
  TUserOnlineInfo a;
  a.UserName = "ANN";
  a.IP = "10.0.0.5";
  a.LastSeen = Clock::now();
  TUserOnlineInfo b = a;
  b.UserName = "BOB";
  b.IP = "10.0.0.6";
  std::vector<std::string> lines = OnlineUserLines({a, b});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "共2人在线！");
  EXPECT_EQ(lines[1], "ANN 10.0.0.5 " + FormatTimestamp(a.LastSeen));
  EXPECT_EQ(lines[2].rfind("BOB 10.0.0.6 ", 0), 0u);
}

}  // namespace
}  // namespace corvan
