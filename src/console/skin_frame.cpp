#include "console/skin_frame.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QWindow>

namespace corvan {

namespace {

const QColor kBannerLight(0x4a, 0x86, 0xc8);
const QColor kBannerDark(0x1f, 0x4e, 0x8c);
const QColor kEdge(0x1a, 0x40, 0x73);

// A vertical gradient image, stretched over its piece.
QPixmap GradientImage(int height, const QColor& from, const QColor& to) {
  QPixmap image(1, std::max(1, height));
  QPainter painter(&image);
  QLinearGradient gradient(0, 0, 0, image.height());
  gradient.setColorAt(0, from);
  gradient.setColorAt(1, to);
  painter.fillRect(image.rect(), gradient);
  return image;
}

QPixmap FlatImage(const QColor& color) {
  QPixmap image(1, 1);
  image.fill(color);
  return image;
}

// The close button's cross, drawn rather than shipped.
QIcon CloseImage() {
  QPixmap image(16, 16);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(Qt::white, 2));
  painter.drawLine(4, 4, 12, 12);
  painter.drawLine(12, 4, 4, 12);
  return QIcon(image);
}

Qt::CursorShape CursorShapeOf(FrameCursor cursor) {
  switch (cursor) {
    case FrameCursor::SizeHorizontal: return Qt::SizeHorCursor;
    case FrameCursor::SizeVertical: return Qt::SizeVerCursor;
    case FrameCursor::SizeTopLeftBottomRight: return Qt::SizeFDiagCursor;
    case FrameCursor::SizeTopRightBottomLeft: return Qt::SizeBDiagCursor;
    case FrameCursor::Arrow: return Qt::ArrowCursor;
  }
  return Qt::ArrowCursor;
}

Qt::Edges EdgesOf(FrameAction action) {
  switch (action) {
    case FrameAction::Left: return Qt::LeftEdge;
    case FrameAction::Right: return Qt::RightEdge;
    case FrameAction::Top: return Qt::TopEdge;
    case FrameAction::Bottom: return Qt::BottomEdge;
    case FrameAction::TopLeft: return Qt::TopEdge | Qt::LeftEdge;
    case FrameAction::TopRight: return Qt::TopEdge | Qt::RightEdge;
    case FrameAction::BottomLeft: return Qt::BottomEdge | Qt::LeftEdge;
    case FrameAction::BottomRight: return Qt::BottomEdge | Qt::RightEdge;
    case FrameAction::Move: return {};
  }
  return {};
}

}  // namespace

SkinFrame::SkinFrame(QWidget* host, bool sizable) : QObject(host), host_(host), sizable_(sizable) {
  setObjectName(QStringLiteral("SkinFrame"));
  host_->setWindowFlag(Qt::FramelessWindowHint, true);
  host_->setContentsMargins(kSideWidth, kBannerHeight, kSideWidth, kBottomHeight);

  const QPixmap banner = GradientImage(kBannerHeight, kBannerLight, kBannerDark);
  const QPixmap side = FlatImage(kBannerDark);
  const QPixmap bottom = GradientImage(kBottomHeight, kBannerDark, kEdge);

  bannerPanel_ = new QWidget(host_);
  bannerPanel_->setObjectName(QStringLiteral("pnlbannertop"));
  bannerImage_ = MakePiece(bannerPanel_, "Imgtop", FramePiece::Imgtop, banner);
  bannerLeftImage_ = MakePiece(bannerPanel_, "imglt", FramePiece::imglt, banner);
  bannerRightImage_ = MakePiece(bannerPanel_, "imgrt", FramePiece::imgrt, banner);
  titleLabel_ = new QLabel(bannerPanel_);
  titleLabel_->setObjectName(QStringLiteral("rzlbltitle"));
  titleLabel_->setStyleSheet(QStringLiteral("color: white; font-weight: bold; background: transparent;"));
  titleLabel_->setMouseTracking(true);
  titleLabel_->installEventFilter(this);
  pieces_[titleLabel_] = FramePiece::rzlbltitle;
  closeButton_ = new QToolButton(bannerPanel_);
  closeButton_->setObjectName(QStringLiteral("Rzsbtnclose"));
  closeButton_->setToolTip(QStringLiteral("关闭"));
  closeButton_->setIcon(CloseImage());
  closeButton_->setAutoRaise(true);
  closeButton_->setFixedSize(18, 18);
  closeButton_->setFocusPolicy(Qt::NoFocus);
  closeButton_->setStyleSheet(BannerButtonStyle());
  bannerButtons_.emplace_back(closeButton_, 20);

  bottomPanel_ = new QWidget(host_);
  bottomPanel_->setObjectName(QStringLiteral("pnlbuttombase"));
  bottomImage_ = MakePiece(bottomPanel_, "imgbuttom", FramePiece::imgbuttom, bottom);
  bottomLeftImage_ = MakePiece(bottomPanel_, "imglb", FramePiece::imglb, bottom);
  bottomRightImage_ = MakePiece(bottomPanel_, "imgrb", FramePiece::imgrb, bottom);
  leftImage_ = MakePiece(host_, "imgleft", FramePiece::imgleft, side);
  rightImage_ = MakePiece(host_, "imgright", FramePiece::imgright, side);

  OnClose = [this] {
    if (auto* dialog = qobject_cast<QDialog*>(host_)) dialog->reject();
    else host_->close();
  };
  connect(closeButton_, &QToolButton::clicked, this, [this] {
    if (OnClose) OnClose();
  });

  host_->installEventFilter(this);
  titleLabel_->setText(host_->windowTitle());
  LayoutPieces();
}

QLabel* SkinFrame::MakePiece(QWidget* parent, const char* name, FramePiece piece, const QPixmap& image) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setPixmap(image);
  label->setScaledContents(true);
  label->setMouseTracking(true);
  label->installEventFilter(this);
  pieces_[label] = piece;
  return label;
}

void SkinFrame::SetTitle(const QString& title) {
  host_->setWindowTitle(title);
  titleLabel_->setText(title);
  LayoutPieces();
}

void SkinFrame::PlaceBannerButton(QWidget* button, int offset) {
  button->setParent(bannerPanel_);
  button->show();
  bannerButtons_.emplace_back(button, offset);
  LayoutPieces();
}

const QString& SkinFrame::BannerButtonStyle() {
  static const QString style = QStringLiteral(
      "QToolButton { border: none; border-radius: 3px; background: transparent; }"
      "QToolButton:hover { background: rgba(255, 255, 255, 64); }"
      "QToolButton:pressed { background: rgba(0, 0, 0, 64); }");
  return style;
}

QRegion SkinFrame::ShapeRegion(const QSize& size) {
  QRegion region;
  std::vector<ShapeRow> rows = RoundedWindowShape(size.width(), size.height());
  for (int y = 0; y < static_cast<int>(rows.size()); ++y)
    region += QRect(rows[static_cast<std::size_t>(y)].left, y,
                    rows[static_cast<std::size_t>(y)].right - rows[static_cast<std::size_t>(y)].left, 1);
  return region;
}

void SkinFrame::LayoutPieces() {
  const int w = host_->width();
  const int h = host_->height();
  bannerPanel_->setGeometry(0, 0, w, kBannerHeight);
  bannerImage_->setGeometry(0, 0, w, kBannerHeight);
  bannerLeftImage_->setGeometry(0, 0, kCornerWidth, kBannerHeight);
  bannerRightImage_->setGeometry(w - kCornerWidth, 0, kCornerWidth, kBannerHeight);
  int titleWidth = std::max(0, w - 2 * kCornerWidth - 60);
  titleLabel_->setGeometry(kCornerWidth + 4, 0, std::min(titleWidth, titleLabel_->sizeHint().width() + 8),
                           kBannerHeight);
  for (auto& [button, offset] : bannerButtons_)
    button->move(w - offset - button->width() / 2, (kBannerHeight - button->height()) / 2);
  bottomPanel_->setGeometry(0, h - kBottomHeight, w, kBottomHeight);
  bottomImage_->setGeometry(0, 0, w, kBottomHeight);
  bottomLeftImage_->setGeometry(0, 0, kCornerWidth, kBottomHeight);
  bottomRightImage_->setGeometry(w - kCornerWidth, 0, kCornerWidth, kBottomHeight);
  leftImage_->setGeometry(0, kBannerHeight, kSideWidth, std::max(0, h - kBannerHeight - kBottomHeight));
  rightImage_->setGeometry(w - kSideWidth, kBannerHeight, kSideWidth, std::max(0, h - kBannerHeight - kBottomHeight));
  bannerImage_->lower();
  bannerPanel_->raise();
  bottomPanel_->raise();
  leftImage_->raise();
  rightImage_->raise();
}

bool SkinFrame::eventFilter(QObject* watched, QEvent* event) {
  if (watched == host_) {
    if (event->type() == QEvent::WindowTitleChange) {
      // Dialogs retitle themselves (the account editor's two modes).
      titleLabel_->setText(host_->windowTitle());
      LayoutPieces();
    } else if (event->type() == QEvent::Resize || event->type() == QEvent::Show) {
      LayoutPieces();
      host_->setMask(ShapeRegion(host_->size()));
    }
    return false;
  }
  auto it = pieces_.find(watched);
  if (it == pieces_.end()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  switch (event->type()) {
    case QEvent::MouseButtonPress: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() != Qt::LeftButton) return false;
      Press(it->second, widget, mouse);
      return true;
    }
    case QEvent::MouseMove: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (dragging_ && (mouse->buttons() & Qt::LeftButton)) {
        DragTo(mouse->globalPosition().toPoint());
        return true;
      }
      if (mouse->buttons() == Qt::NoButton) Hover(it->second, widget, mouse->position().toPoint());
      return false;
    }
    case QEvent::MouseButtonRelease:
      if (dragging_) {
        dragging_ = false;
        return true;
      }
      return false;
    default: return false;
  }
}

void SkinFrame::Hover(FramePiece piece, QWidget* widget, const QPoint& pos) {
  FrameHit hit = HitTestFrame(piece, pos.x(), pos.y(), widget->width(), widget->height(), host_->width(), sizable_);
  FrameCursor cursor = hit.acts ? CursorForAction(hit.action) : FrameCursor::Arrow;
  widget->setCursor(CursorShapeOf(cursor));
}

void SkinFrame::Press(FramePiece piece, QWidget* widget, QMouseEvent* event) {
  QPoint pos = event->position().toPoint();
  FrameHit hit = HitTestFrame(piece, pos.x(), pos.y(), widget->width(), widget->height(), host_->width(), sizable_);
  if (!hit.acts) return;
  lastAction_ = hit.action;
  // The window manager takes over the pointer when it can.
  widget->releaseMouse();
  QWindow* window = host_->windowHandle();
  bool started = false;
  if (window) {
    started =
        hit.action == FrameAction::Move ? window->startSystemMove() : window->startSystemResize(EdgesOf(hit.action));
  }
  if (started) return;
  dragging_ = true;
  dragAction_ = hit.action;
  dragStart_ = event->globalPosition().toPoint();
  dragGeometry_ = host_->geometry();
}

void SkinFrame::DragTo(const QPoint& global) {
  QPoint delta = global - dragStart_;
  if (dragAction_ == FrameAction::Move) {
    host_->move(dragGeometry_.topLeft() + delta);
    return;
  }
  QRect g = dragGeometry_;
  const QSize min = host_->minimumSize().expandedTo(QSize(2 * kCornerWidth + 40, kBannerHeight + kBottomHeight + 20));
  Qt::Edges edges = EdgesOf(dragAction_);
  if (edges & Qt::LeftEdge) g.setLeft(std::min(g.left() + delta.x(), g.right() - min.width() + 1));
  if (edges & Qt::RightEdge) g.setRight(std::max(g.right() + delta.x(), g.left() + min.width() - 1));
  if (edges & Qt::TopEdge) g.setTop(std::min(g.top() + delta.y(), g.bottom() - min.height() + 1));
  if (edges & Qt::BottomEdge) g.setBottom(std::max(g.bottom() + delta.y(), g.top() + min.height() - 1));
  host_->setGeometry(g);
}

SkinnedDialog::SkinnedDialog(QWidget* parent, bool sizable) : QDialog(parent) { skin_ = new SkinFrame(this, sizable); }

}  // namespace corvan
