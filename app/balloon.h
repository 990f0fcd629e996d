// balloon.h: the right-click help balloons: a 300-pixel wide popup with a
// title and a text, pointing at the control it explains. A right mouse button
// press on a control that has one opens it; a click anywhere closes it.
//
// Thread safety: GUI thread only.
#pragma once

#include <QPainterPath>
#include <QString>
#include <QWidget>

namespace zamo {

class TBalloon : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 300;

  // Opens a balloon pointing at `anchor` (below it, or above it when the
  // screen has no room below). The balloon deletes itself when it closes.
  static TBalloon* Show(QWidget* anchor, const QString& title, const QString& text);

  QString Title() const { return title_; }
  QString Text() const { return text_; }
  // Where the pointer's tip is, in global coordinates.
  QPoint Tip() const { return tip_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  TBalloon(QWidget* anchor, const QString& title, const QString& text);
  // The rounded body and the pointer, in the balloon's coordinates.
  QPainterPath Shape() const;

  QString title_, text_;
  QPoint tip_;
  bool points_up_ = true;  // the balloon lies below its anchor
};

// From now on a right mouse button press on `control` opens the balloon
// (title, text); "\n" in the text breaks the line.
void AttachBalloon(QWidget* control, const QString& title, const QString& text);

}  // namespace zamo
