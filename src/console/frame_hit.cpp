#include "console/frame_hit.h"

#include <cmath>

namespace corvan {

namespace {

struct Edges {
  bool left = false, right = false, top = false, bottom = false;
};

// The outer edges of the window each piece touches.
Edges EdgesOf(FramePiece piece) {
  switch (piece) {
    case FramePiece::Imgtop: return {true, true, true, false};
    case FramePiece::imglt: return {true, false, true, false};
    case FramePiece::imgrt: return {false, true, true, false};
    case FramePiece::imgleft: return {true, false, false, false};
    case FramePiece::imgright: return {false, true, false, false};
    case FramePiece::imglb: return {true, false, false, true};
    case FramePiece::imgbuttom: return {true, true, false, true};
    case FramePiece::imgrb: return {false, true, false, true};
    case FramePiece::rzlbltitle: return {};
  }
  return {};
}

}  // namespace

FrameHit HitTestFrame(FramePiece piece, int x, int y, int width, int height, int windowWidth, bool sizable) {
  if (!sizable) {
    // Dialogs keep the look but only move, by the banner or the title.
    if (piece == FramePiece::Imgtop || piece == FramePiece::rzlbltitle) return {true, FrameAction::Move};
    return {};
  }
  Edges touches = EdgesOf(piece);
  // The banner spans the whole window; its right edge is the window's.
  int rightExtent = piece == FramePiece::Imgtop ? windowWidth : width;
  bool left = touches.left && x <= kFrameEdge - 1;
  bool right = touches.right && x > rightExtent - kFrameEdge;
  bool top = touches.top && y <= kFrameEdge - 1;
  bool bottom = touches.bottom && y > height - kFrameEdge;
  if (top && left) return {true, FrameAction::TopLeft};
  if (top && right) return {true, FrameAction::TopRight};
  if (bottom && left) return {true, FrameAction::BottomLeft};
  if (bottom && right) return {true, FrameAction::BottomRight};
  if (left) return {true, FrameAction::Left};
  if (right) return {true, FrameAction::Right};
  if (top) return {true, FrameAction::Top};
  if (bottom) return {true, FrameAction::Bottom};
  return {true, FrameAction::Move};
}

FrameCursor CursorForAction(FrameAction action) {
  switch (action) {
    case FrameAction::Left:
    case FrameAction::Right: return FrameCursor::SizeHorizontal;
    case FrameAction::Top:
    case FrameAction::Bottom: return FrameCursor::SizeVertical;
    case FrameAction::TopLeft:
    case FrameAction::BottomRight: return FrameCursor::SizeTopLeftBottomRight;
    case FrameAction::TopRight:
    case FrameAction::BottomLeft: return FrameCursor::SizeTopRightBottomLeft;
    case FrameAction::Move: return FrameCursor::Arrow;
  }
  return FrameCursor::Arrow;
}

std::vector<ShapeRow> RoundedWindowShape(int width, int height, int ellipse) {
  const int w = width + 1;
  const int h = height + 1;
  std::vector<ShapeRow> rows;
  if (w <= 0 || h <= 0) return rows;
  rows.reserve(static_cast<std::size_t>(h));
  const double r = ellipse / 2.0;
  for (int y = 0; y < h; ++y) {
    // Distance of the pixel row's centre from the corner ellipse's centre
    // line, counted into the corner (top or bottom, whichever is nearer).
    double cy = y + 0.5;
    double fromEdge = std::min(cy, h - cy);
    int inset = 0;
    if (fromEdge < r) {
      double dy = r - fromEdge;
      double dx = r * std::sqrt(std::max(0.0, 1.0 - (dy * dy) / (r * r)));
      // First pixel whose centre lies inside the ellipse.
      inset = static_cast<int>(std::ceil(r - dx - 0.5));
      if (inset < 0) inset = 0;
    }
    int left = std::min(inset, w / 2);
    rows.push_back({left, w - left});
  }
  return rows;
}

}  // namespace corvan
