// The skinned frame every window of the console wears: a banner with the
// title and the close button, side and bottom images, a rounded shape, and
// dragging by the frame instead of the window manager's title bar.
//
// `SkinFrame` does the work for any top-level widget (the main window is a
// QMainWindow, the dialogs are QDialogs): it makes the widget frameless,
// reserves the frame's width as the widget's contents margins, lays the
// pieces out at every resize and gives the widget its rounded shape. A press
// on a piece asks the window manager for an interactive move or resize
// (`QWindow::startSystemMove` / `startSystemResize`); where it cannot, the
// frame moves or resizes the window from the mouse movement itself.
//
// `SkinnedDialog` is a movable and resizable dialog with the frame,
// `FixedSkinnedDialog` a dialog that keeps the look but only moves (by the
// banner or the title), and whose close button closes it like "取消".
#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "console/frame_hit.h"

class QLabel;
class QMouseEvent;
class QToolButton;

namespace corvan {

class SkinFrame : public QObject {
  Q_OBJECT

 public:
  static constexpr int kBannerHeight = 30;
  static constexpr int kBottomHeight = 6;
  static constexpr int kSideWidth = 4;
  static constexpr int kCornerWidth = 8;

  // Dresses `host` (a top-level widget); the frame is a child of it.
  SkinFrame(QWidget* host, bool sizable);

  void SetTitle(const QString& title);
  bool Sizable() const { return sizable_; }
  QWidget* Host() const { return host_; }
  // Keeps `button` in the banner, `offset` pixels left of its right end.
  void PlaceBannerButton(QWidget* button, int offset);

  // What the close button does; by default a dialog is rejected and any
  // other window is closed.
  std::function<void()> OnClose;
  // The last action a press on the frame started (for tests and cursors).
  std::optional<FrameAction> LastAction() const { return lastAction_; }
  // True while the frame moves or resizes the window itself.
  bool Dragging() const { return dragging_; }

  // The rounded shape of a window of this size.
  static QRegion ShapeRegion(const QSize& size);
  // The look of a button on the banner: its white image on the banner's
  // blue, under a light veil on hover and a darker one while pressed (the
  // style's own hover panel is near white and would hide the image).
  static const QString& BannerButtonStyle();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLabel* MakePiece(QWidget* parent, const char* name, FramePiece piece, const QPixmap& image);
  void LayoutPieces();
  void Press(FramePiece piece, QWidget* widget, QMouseEvent* event);
  void DragTo(const QPoint& global);
  void Hover(FramePiece piece, QWidget* widget, const QPoint& pos);

  QWidget* host_;
  const bool sizable_;
  QWidget* bannerPanel_ = nullptr;
  QLabel* bannerImage_ = nullptr;
  QLabel* bannerLeftImage_ = nullptr;
  QLabel* bannerRightImage_ = nullptr;
  QLabel* titleLabel_ = nullptr;
  QToolButton* closeButton_ = nullptr;
  QWidget* bottomPanel_ = nullptr;
  QLabel* bottomImage_ = nullptr;
  QLabel* bottomLeftImage_ = nullptr;
  QLabel* bottomRightImage_ = nullptr;
  QLabel* leftImage_ = nullptr;
  QLabel* rightImage_ = nullptr;

  std::map<QObject*, FramePiece> pieces_;
  std::vector<std::pair<QWidget*, int>> bannerButtons_;
  std::optional<FrameAction> lastAction_;
  // The manual drag, where the window manager cannot do it.
  bool dragging_ = false;
  FrameAction dragAction_ = FrameAction::Move;
  QPoint dragStart_;
  QRect dragGeometry_;
};

class SkinnedDialog : public QDialog {
  Q_OBJECT

 public:
  explicit SkinnedDialog(QWidget* parent = nullptr, bool sizable = true);

  // The frame the dialog wears.
  SkinFrame* Skin() const { return skin_; }

 private:
  SkinFrame* skin_ = nullptr;
};

class FixedSkinnedDialog : public SkinnedDialog {
  Q_OBJECT

 public:
  explicit FixedSkinnedDialog(QWidget* parent = nullptr) : SkinnedDialog(parent, false) {}
};

}  // namespace corvan
