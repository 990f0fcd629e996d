#include "app/disc_fill_gauge.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace zamo {
namespace {

// Fills the rectangle between two corners, whatever their order: the pixels
// from the smaller to the larger coordinate, the larger one excluded.
void FillBetween(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& colour) {
  const QRect area(QPoint(std::min(x1, x2), std::min(y1, y2)), QSize(std::abs(x2 - x1), std::abs(y2 - y1)));
  if (!area.isEmpty()) painter.fillRect(area, colour);
}

// Half to even, as the program rounds everywhere.
int Rounded(double value) { return static_cast<int>(std::nearbyint(value)); }

}  // namespace

TCDSize::TCDSize(QWidget* parent) : QWidget(parent) { resize(kDefaultWidth, kDefaultHeight); }

void TCDSize::SetBarColour(const QColor& colour) {
  bar_colour_ = colour;
  update();
}

void TCDSize::SetMemBarColour(const QColor& colour) {
  mem_bar_colour_ = colour;
  update();
}

void TCDSize::SetMemShaded(int mb) {
  mem_shaded_ = std::max(0, std::min(mb, max_memory_));
  update();
}

int TCDSize::Along(int mb, int length) const {
  if (max_memory_ <= 0) return mb > 0 ? length : 0;
  return Rounded(static_cast<double>(mb) / max_memory_ * length);
}

void TCDSize::paintEvent(QPaintEvent* /*event*/) {
  const bool over_burn = mem_shaded_ > max_cd_size_;
  {
    QPainter painter(this);
    const int w = width(), h = height();
    const int gap = progress_gap_;
    painter.fillRect(rect(), Qt::white);
    FillBetween(painter, 0, 0, Along(max_cd_size_, w) + 1, h / 2, bar_colour_);
    const QColor usage = over_burn ? over_burn_colour_ : mem_bar_colour_;
    if (w >= h) {
      FillBetween(painter, 2, gap, Along(mem_shaded_, w) + 1, h / 2 - gap, usage);
    } else {  // vertical: the usage bar grows downwards over the whole width
      FillBetween(painter, gap, gap, w, Along(mem_shaded_, h) - gap, usage);
    }
    if (max_memory_ > 0) PaintScale(painter);
  }
  // After the painter is gone: the handler may show a box or repaint.
  if (over_burn && OnOverBurn) OnOverBurn();
}

// A tick per step of 10 MB (100 MB past 1000 MB of scale): short ones, a
// longer one every 5 steps, and one down to the bottom edge every 10 steps
// with its label ("100 mb") beside it, from 20 pixels left of the tick.
void TCDSize::PaintScale(QPainter& painter) {
  const int step = max_memory_ > 1000 ? 100 : 10;
  const double steps = static_cast<double>(max_memory_) / step;
  pixels_per_step_ = width() / steps;
  const int h = height();
  painter.setPen(QPen(tick_colour_, 1));
  painter.setBackgroundMode(Qt::TransparentMode);
  const int label_top = h / 2 + 2;
  const int label_height = std::max(0, h - label_top);
  for (int i = 1; i <= Rounded(steps); ++i) {
    const int x = Rounded(i * pixels_per_step_);
    int end = h / 2;  // the first row below the tick
    if (i % 10 == 0) {
      end = h;
    } else if (i % 5 == 0) {
      end = h / 2 + 3;
    }
    if (end > 0) painter.drawLine(x, 0, x, end - 1);
    if (i % 10 == 0) {
      // A label that would run past the right edge (the last one, when the
      // scale ends at the edge) is moved left to end there, whole.
      const QString label = QString::number(i * step) + QStringLiteral(" mb");
      const int left = std::max(0, std::min(x - 20, width() - painter.fontMetrics().horizontalAdvance(label)));
      painter.drawText(QRect(left, label_top, 200, label_height), Qt::AlignLeft | Qt::AlignTop, label);
    }
  }
}

}  // namespace zamo
