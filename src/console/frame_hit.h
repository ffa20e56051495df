// Where a press on the skinned frame of a window acts: which edge or corner
// a resize starts from, or a move. Functions over values only, so the rules
// are tested without a window.
//
// A frame piece tests only the outer edges of the window that it touches.
// A point is at an edge when it lies within 5 pixels of it: 4 or less from
// the near edge, or more than the extent minus 5 from the far edge.
#pragma once

#include <vector>

namespace corvan {

// The named pieces of the skinned frame.
enum class FramePiece {
  Imgtop,      // the banner image: top, left and right (right against the window's width)
  imglt,       // top-left corner image: top and left
  imgrt,       // top-right corner image: top and right
  imgleft,     // left side: left
  imgright,    // right side: right
  imglb,       // bottom-left corner image: bottom and left
  imgbuttom,   // bottom image: bottom, left and right
  imgrb,       // bottom-right corner image: bottom and right
  rzlbltitle,  // the title label: always moves
};

// What a press starts.
enum class FrameAction {
  Move,
  Left,
  Right,
  Top,
  Bottom,
  TopLeft,
  TopRight,
  BottomLeft,
  BottomRight,
};

// The pointer shape shown over a piece without a button pressed.
enum class FrameCursor { Arrow, SizeHorizontal, SizeVertical, SizeTopLeftBottomRight, SizeTopRightBottomLeft };

inline constexpr int kFrameEdge = 5;

// The action of a press at (x, y) within a piece of `width` by `height`.
// `windowWidth` is the window's width, which Imgtop uses for its right edge.
// `sizable` false (a dialog): only Imgtop and the title label move the
// window; a press elsewhere does nothing (nothing returned).
struct FrameHit {
  bool acts = false;  // false: the press does nothing
  FrameAction action = FrameAction::Move;
};
FrameHit HitTestFrame(FramePiece piece, int x, int y, int width, int height, int windowWidth, bool sizable);

FrameCursor CursorForAction(FrameAction action);

// The window shape: a rectangle of (width + 1) by (height + 1) whose corners
// are cut as quarter ellipses `ellipse` pixels wide and high. Returned as one
// horizontal span per row: row y covers [left, right) in x.
struct ShapeRow {
  int left = 0;
  int right = 0;
};
std::vector<ShapeRow> RoundedWindowShape(int width, int height, int ellipse = kFrameEdge);

}  // namespace corvan
