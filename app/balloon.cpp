// balloon.cpp: the help balloon popup and the right-click filter that opens it.
#include "app/balloon.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace zamo {
namespace {

constexpr int kPointerHeight = 12;  // the triangle between the body and the anchor
constexpr int kPointerWidth = 18;
constexpr int kPointerInset = 24;   // from the body's edge to the pointer's side
constexpr int kRadius = 8;

// Opens the balloon on a right mouse button press on the control it watches.
class BalloonTrigger : public QObject {
 public:
  BalloonTrigger(QWidget* control, QString title, QString text)
      : QObject(control), title_(std::move(title)), text_(std::move(text)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
      if (auto* control = qobject_cast<QWidget*>(watched)) TBalloon::Show(control, title_, text_);
      return true;  // the right button does nothing else on these controls
    }
    return false;
  }

 private:
  QString title_, text_;
};

}  // namespace

TBalloon::TBalloon(QWidget* anchor, const QString& title, const QString& text)
    : QWidget(anchor, Qt::Popup | Qt::FramelessWindowHint), title_(title), text_(text) {
  setObjectName(QStringLiteral("balloon"));
  setAttribute(Qt::WA_DeleteOnClose);
  setFixedWidth(kWidth);

  auto* layout = new QVBoxLayout(this);
  auto* title_label = new QLabel(title, this);
  title_label->setObjectName(QStringLiteral("balloonTitle"));
  QFont bold = title_label->font();
  bold.setBold(true);
  title_label->setFont(bold);
  title_label->setWordWrap(true);
  auto* text_label = new QLabel(text, this);
  text_label->setObjectName(QStringLiteral("balloonText"));
  text_label->setWordWrap(true);
  text_label->setTextFormat(Qt::PlainText);
  layout->addWidget(title_label);
  layout->addWidget(text_label);

  // Below the anchor when the screen has room, else above it.
  const QPoint below = anchor->mapToGlobal(QPoint(anchor->width() / 2, anchor->height()));
  const QPoint above = anchor->mapToGlobal(QPoint(anchor->width() / 2, 0));
  const QRect screen = anchor->screen() ? anchor->screen()->availableGeometry() : QRect(0, 0, 1920, 1080);
  layout->setContentsMargins(12, 8 + kPointerHeight, 12, 10);
  const int height = layout->totalHeightForWidth(kWidth);
  points_up_ = below.y() + height <= screen.bottom() || above.y() - height < screen.top();
  if (!points_up_) layout->setContentsMargins(12, 8, 12, 10 + kPointerHeight);
  setFixedHeight(height);

  tip_ = points_up_ ? below : above;
  int left = tip_.x() - kPointerInset - kPointerWidth / 2;
  left = std::clamp(left, screen.left(), std::max(screen.left(), screen.right() - kWidth));
  move(left, points_up_ ? tip_.y() : tip_.y() - height);
}

TBalloon* TBalloon::Show(QWidget* anchor, const QString& title, const QString& text) {
  auto* balloon = new TBalloon(anchor, title, text);
  balloon->show();
  return balloon;
}

QPainterPath TBalloon::Shape() const {
  const int tip_x = std::clamp(mapFromGlobal(tip_).x(), kRadius + kPointerWidth / 2,
                               std::max(kRadius + kPointerWidth / 2, width() - kRadius - kPointerWidth / 2));
  const QRectF body = points_up_ ? QRectF(0.5, kPointerHeight + 0.5, width() - 1, height() - kPointerHeight - 1)
                                 : QRectF(0.5, 0.5, width() - 1, height() - kPointerHeight - 1);
  QPainterPath shape;
  shape.addRoundedRect(body, kRadius, kRadius);
  QPolygonF pointer;
  if (points_up_) {
    pointer << QPointF(tip_x - kPointerWidth / 2.0, body.top() + 1) << QPointF(tip_x, 0.5)
            << QPointF(tip_x + kPointerWidth / 2.0, body.top() + 1);
  } else {
    pointer << QPointF(tip_x - kPointerWidth / 2.0, body.bottom() - 1) << QPointF(tip_x, height() - 0.5)
            << QPointF(tip_x + kPointerWidth / 2.0, body.bottom() - 1);
  }
  QPainterPath arrow;
  arrow.addPolygon(pointer);
  arrow.closeSubpath();
  return shape.united(arrow);
}

void TBalloon::resizeEvent(QResizeEvent*) {
  // Outside the shape the desktop shows through, without a compositor too.
  setMask(QRegion(Shape().toFillPolygon().toPolygon()));
}

void TBalloon::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x76, 0x76, 0x76), 1));
  painter.setBrush(QColor(0xFF, 0xFF, 0xE1));
  painter.drawPath(Shape());
}

void TBalloon::mousePressEvent(QMouseEvent*) { close(); }

void AttachBalloon(QWidget* control, const QString& title, const QString& text) {
  control->installEventFilter(new BalloonTrigger(control, title, text));
}

}  // namespace zamo
