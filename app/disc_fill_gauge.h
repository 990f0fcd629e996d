// disc_fill_gauge.h: TCDSize, the small gauge along the bottom of the disc
// windows that draws how full a disc will be: a bar for the disc's capacity,
// a thinner bar for the space in use (black while it fits, red when it does
// not) and a scale in megabytes with a label every ten steps. It only draws
// the figures it is given; the windows compute them.
//
//   TCDSize gauge(this);
//   gauge.SetMaxMemory(capacity_mb + 100);  // the whole length of the scale
//   gauge.SetMaxCDSize(capacity_mb);
//   gauge.SetMemShaded(used_mb);            // clamped to 0 .. MaxMemory, repaints
//
// Horizontal when the widget is at least as wide as it is high, vertical
// otherwise (only the usage bar changes direction). Setting BarColour,
// MemBarColour or MemShaded repaints the gauge; the other properties take
// effect at the next paint. OnOverBurn is raised after every paint while
// MemShaded exceeds MaxCDSize. MaxMemory 0 (or less) leaves the scale out:
// the capacity bar then spans the whole gauge.
//
// Thread safety: GUI thread only.
#pragma once

#include <QColor>
#include <QWidget>
#include <functional>

class QPainter;

namespace zamo {

class TCDSize : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kDefaultWidth = 90;
  static constexpr int kDefaultHeight = 20;

  explicit TCDSize(QWidget* parent = nullptr);

  // Raised (with no argument) after a paint that drew MemShaded above MaxCDSize.
  std::function<void()> OnOverBurn;

  QColor BarColour() const { return bar_colour_; }  // the capacity bar; silver
  void SetBarColour(const QColor& colour);
  QColor MemBarColour() const { return mem_bar_colour_; }  // the usage bar while it fits; black
  void SetMemBarColour(const QColor& colour);
  int ProgressGap() const { return progress_gap_; }  // inset of the usage bar, pixels; 0
  void SetProgressGap(int pixels) { progress_gap_ = pixels; }
  int MaxCDSize() const { return max_cd_size_; }  // the disc's capacity, MB; 650
  void SetMaxCDSize(int mb) { max_cd_size_ = mb; }
  int MaxMemory() const { return max_memory_; }  // the full length of the scale, MB; 750
  void SetMaxMemory(int mb) { max_memory_ = mb; }
  QColor OverBurnColour() const { return over_burn_colour_; }  // the usage bar when it does not fit; red
  void SetOverBurnColour(const QColor& colour) { over_burn_colour_ = colour; }
  int MemShaded() const { return mem_shaded_; }  // the space in use, MB; 0
  void SetMemShaded(int mb);
  QColor TickColour() const { return tick_colour_; }  // ticks and labels; black
  void SetTickColour(const QColor& colour) { tick_colour_ = colour; }

  QSize sizeHint() const override { return {kDefaultWidth, kDefaultHeight}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  // `mb` as pixels along `length`, on a scale of MaxMemory MB (the whole
  // length for any positive `mb` when the scale is undefined).
  int Along(int mb, int length) const;
  void PaintScale(QPainter& painter);

  QColor bar_colour_{192, 192, 192};
  QColor mem_bar_colour_{Qt::black};
  int progress_gap_ = 0;
  int max_cd_size_ = 650;
  int max_memory_ = 750;
  QColor over_burn_colour_{255, 0, 0};
  int mem_shaded_ = 0;
  QColor tick_colour_{Qt::black};
  double pixels_per_step_ = 5;  // recomputed at each paint
};

}  // namespace zamo
