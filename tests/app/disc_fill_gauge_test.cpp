// The disc-fill gauge drawn into an image, pixel by pixel: where its bars end,
// its scale's ticks and labels, the usage bar's colour at and past capacity,
// MemShaded's clamping and the over-burn event after each paint.
#include "app/disc_fill_gauge.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <QTest>

#include <string>
#include <tuple>
#include <vector>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QColor& colour, std::ostream* out) { *out << colour.name().toStdString(); }
QT_END_NAMESPACE

namespace zamo {
namespace {

const QColor kSilver(192, 192, 192);
const QColor kBlack(0, 0, 0);
const QColor kRed(255, 0, 0);
const QColor kWhite(255, 255, 255);
const QColor kBlue(0, 0, 255);

// The gauge as render() draws it, over a background no paint uses.
QImage Draw(TCDSize& gauge) {
  QImage image(gauge.size(), QImage::Format_RGB32);
  image.fill(QColor(1, 2, 3));
  gauge.render(&image);
  return image;
}

QColor At(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

// Shapes `gauge`: `size` in pixels, a scale of `max_memory` MB, a capacity
// bar of `max_cd` MB, and blue ticks (a colour no bar takes).
void Shape(TCDSize& gauge, QSize size, int max_memory, int max_cd) {
  gauge.resize(size);
  gauge.SetMaxMemory(max_memory);
  gauge.SetMaxCDSize(max_cd);
  gauge.SetTickColour(kBlue);
}

// Labels drawn alone, in the gauge's font and at the places it writes them
// (left edge 20 pixels before the tick, or where the label ends at the right
// edge if it would run past it; top two rows below the middle), to compare
// with the gauge's picture in the area of each label.
QImage Labels(const TCDSize& gauge, const std::vector<std::pair<int, QString>>& labels) {
  QImage image(gauge.size(), QImage::Format_RGB32);
  image.fill(kWhite);
  QPainter painter(&image);
  painter.setFont(gauge.font());
  painter.setPen(gauge.TickColour());
  for (const auto& [x, text] : labels) {
    const int left = std::min(x - 20, gauge.width() - QFontMetrics(gauge.font()).horizontalAdvance(text));
    painter.drawText(QRect(left, gauge.height() / 2 + 2, 200, gauge.height()), Qt::AlignLeft | Qt::AlignTop, text);
  }
  return image;
}

// Pixels other than white below the ends of the halfway ticks, in columns
// [x0, x1) but those in `ticks`: the ink of the labels.
int Inked(const QImage& image, int x0, int x1, const std::vector<int>& ticks = {}) {
  int count = 0;
  for (int x = std::max(0, x0); x < std::min(x1, image.width()); ++x) {
    if (std::find(ticks.begin(), ticks.end(), x) != ticks.end()) continue;
    for (int y = image.height() / 2 + 4; y < image.height(); ++y) count += At(image, x, y) != kWhite;
  }
  return count;
}

TEST(DiscFillGaugeTest, DefaultsAreThoseOfAnEmptyCdGauge) {
  TCDSize gauge;
  EXPECT_EQ(gauge.size(), QSize(90, 20));
  EXPECT_EQ(gauge.BarColour(), kSilver);
  EXPECT_EQ(gauge.MemBarColour(), kBlack);
  EXPECT_EQ(gauge.OverBurnColour(), kRed);
  EXPECT_EQ(gauge.TickColour(), kBlack);
  EXPECT_EQ(gauge.ProgressGap(), 0);
  EXPECT_EQ(gauge.MaxCDSize(), 650);
  EXPECT_EQ(gauge.MaxMemory(), 750);
  EXPECT_EQ(gauge.MemShaded(), 0);
  EXPECT_FALSE(gauge.OnOverBurn);
}

struct BarsCase {
  const char* name;
  QSize size;
  int max_memory, max_cd, shaded, gap;
  std::vector<std::tuple<int, int, QColor>> pixels;  // column, row, colour
};

class DiscFillGaugeBarsTest : public testing::TestWithParam<BarsCase> {};

TEST_P(DiscFillGaugeBarsTest, BarsEndWhereTheirFiguresSay) {
  const BarsCase& c = GetParam();
  TCDSize gauge;
  Shape(gauge, c.size, c.max_memory, c.max_cd);
  gauge.SetMemShaded(c.shaded);
  gauge.SetProgressGap(c.gap);
  const QImage image = Draw(gauge);
  for (const auto& [x, y, colour] : c.pixels) EXPECT_EQ(At(image, x, y), colour) << x << "," << y;
}

// Horizontal: 803 pixels for 803 MB, one pixel per MB, a tick every 10
// pixels. The capacity bar (703 MB) covers the columns 0..703 of the upper
// half; the usage bar (455 MB, inset 10) the columns 2..455 of rows 10..19.
// Vertical (higher than wide): the usage bar runs down from the inset over
// the whole width, to MemShaded's share of the height less the inset (20 of
// 40 MB on 300 pixels: row 146); the capacity bar stays as in a horizontal
// gauge.
INSTANTIATE_TEST_SUITE_P(
    Shapes, DiscFillGaugeBarsTest,
    testing::Values(BarsCase{"Horizontal",
                             {803, 60},
                             803,
                             703,
                             455,
                             10,
                             {{0, 0, kSilver},
                              {703, 0, kSilver},
                              {704, 0, kWhite},
                              {703, 29, kSilver},
                              {703, 30, kWhite},  // the bars take the upper half
                              {1, 15, kSilver},   // the usage bar starts at column 2
                              {2, 15, kBlack},
                              {455, 15, kBlack},
                              {456, 15, kSilver},
                              {301, 9, kSilver},
                              {300, 10, kBlue},  // a tick crosses the bar
                              {301, 10, kBlack},
                              {301, 19, kBlack},
                              {301, 20, kSilver},
                              {802, 59, kWhite}}},
                    BarsCase{"Vertical",
                             {40, 300},
                             40,
                             30,
                             20,
                             4,
                             {{5, 5, kBlack},
                              {39, 145, kBlack},
                              {15, 146, kSilver},
                              {15, 3, kSilver},
                              {3, 50, kSilver},
                              {29, 149, kSilver},
                              {31, 149, kWhite},
                              {35, 160, kWhite}}}),
    [](const auto& shape) { return std::string(shape.param.name); });

// The ticks of the same gauge: short ones down to the middle (row 30), every
// fifth down to row 33, every tenth to the bottom.
TEST(DiscFillGaugeTest, TicksOfTheScaleHaveThreeLengths) {
  TCDSize gauge;
  Shape(gauge, {803, 60}, 803, 703);
  const QImage image = Draw(gauge);

  for (int i = 1; i <= 80; ++i) {
    const int x = i * 10;
    const int end = i % 10 == 0 ? 60 : i % 5 == 0 ? 33 : 30;
    EXPECT_EQ(At(image, x, 0), kBlue) << "tick " << i;
    EXPECT_EQ(At(image, x, end - 1), kBlue) << "tick " << i;
    if (end < 60) {
      EXPECT_NE(At(image, x, end), kBlue) << "tick " << i;
    }
    EXPECT_NE(At(image, x + 1, 5), kBlue) << "tick " << i;  // one pixel wide
  }
  EXPECT_NE(At(image, 0, 5), kBlue);  // no tick at zero
}

struct ScaleCase {
  int max_memory;
  int width;
  std::vector<std::pair<int, QString>> labels;  // tick column and text
  std::vector<int> unlabelled;                  // ticks of 5 steps: no label
};

class DiscFillGaugeScaleTest : public testing::TestWithParam<ScaleCase> {};

// Every label is there with its text at its tick, and none other: the areas
// of the labels match the labels drawn alone, and the areas of the halfway
// ticks hold no text.
TEST_P(DiscFillGaugeScaleTest, LabelsSayTheMegabytesOfEveryTenthTick) {
  const ScaleCase& c = GetParam();
  TCDSize gauge;
  Shape(gauge, {c.width, 60}, c.max_memory, 0);
  const QImage image = Draw(gauge);
  const QImage expected = Labels(gauge, c.labels);

  std::vector<int> ticks;
  for (const auto& label : c.labels) ticks.push_back(label.first);
  for (const auto& [x, text] : c.labels) {
    const int advance = QFontMetrics(gauge.font()).horizontalAdvance(text);
    const int left = std::min(x - 20, c.width - advance);
    for (int px = left; px < left + advance; ++px) {
      if (px == x) continue;  // the long tick
      for (int y = 33; y < 60; ++y) {
        ASSERT_EQ(At(image, px, y), At(expected, px, y)) << text.toStdString() << " " << px << "," << y;
      }
    }
    EXPECT_GT(Inked(expected, left, x - 1), 10) << text.toStdString();
  }
  EXPECT_EQ(Inked(image, 0, c.width, ticks), Inked(expected, 0, c.width, ticks));
  for (int x : c.unlabelled) EXPECT_EQ(Inked(image, x - 20, x + 20, ticks), 0) << x;
}

// 803 MB: 80 steps of 10 MB, 10 pixels each on 803 pixels. 4582 MB: 46 steps
// of 100 MB on 600 pixels, 13.09 pixels each: the tenth tick at 130.9, so 131.
INSTANTIATE_TEST_SUITE_P(
    Scales, DiscFillGaugeScaleTest,
    testing::Values(ScaleCase{803,
                              803,
                              {{100, "100 mb"},
                               {200, "200 mb"},
                               {300, "300 mb"},
                               {400, "400 mb"},
                               {500, "500 mb"},
                               {600, "600 mb"},
                               {700, "700 mb"},
                               {800, "800 mb"}},
                              {50, 150, 650}},
                    ScaleCase{4582, 600, {{131, "1000 mb"}, {262, "2000 mb"}, {393, "3000 mb"}, {524, "4000 mb"}},
                              {65, 196, 458}}));

// A scale that ends at the right edge: its last label is there whole, with
// as much ink as the same text drawn where nothing cuts it.
TEST(DiscFillGaugeTest, LastLabelAtTheRightEdgeIsNotCut) {
  TCDSize gauge;
  Shape(gauge, {800, 60}, 800, 0);
  const QImage image = Draw(gauge);
  TCDSize wide;
  wide.resize(1000, 60);
  const QImage alone = Labels(wide, {{500, "800 mb"}});
  const int advance = QFontMetrics(gauge.font()).horizontalAdvance(QStringLiteral("800 mb"));
  EXPECT_EQ(Inked(image, 800 - advance, 800, {700}), Inked(alone, 480, 480 + advance));
  EXPECT_GT(Inked(alone, 480, 480 + advance), 10);
}

TEST(DiscFillGaugeTest, UsageBarTurnsRedOnlyPastCapacityAndRaisesOverBurnAfterEachPaint) {
  TCDSize gauge;
  Shape(gauge, {803, 60}, 803, 700);
  int raised = 0;
  gauge.OnOverBurn = [&raised] { ++raised; };

  gauge.SetMemShaded(700);
  QImage image = Draw(gauge);
  EXPECT_EQ(At(image, 695, 20), kBlack);
  EXPECT_EQ(raised, 0);

  gauge.SetMemShaded(701);
  image = Draw(gauge);
  EXPECT_EQ(At(image, 695, 20), kRed);
  EXPECT_EQ(At(image, 701, 20), kRed);
  EXPECT_EQ(At(image, 702, 20), kWhite);  // past the capacity bar
  EXPECT_EQ(raised, 1);
  Draw(gauge);
  EXPECT_EQ(raised, 2);

  gauge.SetOverBurnColour(QColor(255, 128, 0));
  gauge.SetMemBarColour(QColor(0, 128, 0));
  EXPECT_EQ(At(Draw(gauge), 695, 20), QColor(255, 128, 0));
  gauge.SetMaxCDSize(701);
  EXPECT_EQ(At(Draw(gauge), 695, 20), QColor(0, 128, 0));
  EXPECT_EQ(raised, 3);
}

// Shown on screen: setting MemShaded repaints (and so raises the event again
// while over capacity); setting MaxCDSize waits for the next paint.
TEST(DiscFillGaugeTest, SettingMemShadedRepaintsTheShownGauge) {
  TCDSize gauge;
  gauge.resize(300, 40);
  gauge.SetMaxCDSize(100);
  int raised = 0;
  gauge.OnOverBurn = [&raised] { ++raised; };
  gauge.SetMemShaded(200);
  gauge.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&gauge));
  ASSERT_TRUE(QTest::qWaitFor([&raised] { return raised >= 1; }, 5000));
  const int after_show = raised;
  gauge.SetMemShaded(300);
  EXPECT_TRUE(QTest::qWaitFor([&] { return raised > after_show; }, 5000));
  const int after_set = raised;
  gauge.SetMaxCDSize(50);
  QTest::qWait(50);
  EXPECT_EQ(raised, after_set);
}

TEST(DiscFillGaugeTest, MemShadedIsClampedToTheScale) {
  TCDSize gauge;
  gauge.SetMaxMemory(803);
  gauge.SetMemShaded(900);
  EXPECT_EQ(gauge.MemShaded(), 803);
  gauge.SetMemShaded(-5);
  EXPECT_EQ(gauge.MemShaded(), 0);
  gauge.SetMemShaded(803);
  EXPECT_EQ(gauge.MemShaded(), 803);
  gauge.SetMaxMemory(0);
  gauge.SetMemShaded(10);
  EXPECT_EQ(gauge.MemShaded(), 0);
}

// Without a scale (MaxMemory 0) the gauge still draws: the capacity bar over
// the whole width, no usage but the one-pixel sliver every empty gauge has
// (its bar runs from column 2 back to column 1), no tick.
TEST(DiscFillGaugeTest, NoScaleDrawsTheBarsAlone) {
  TCDSize gauge;
  Shape(gauge, {200, 40}, 0, 650);
  const QImage image = Draw(gauge);
  for (int x = 0; x < 200; ++x) {
    ASSERT_EQ(At(image, x, 5), x == 1 ? kBlack : kSilver) << x;
    ASSERT_EQ(At(image, x, 30), kWhite) << x;
  }
}

}  // namespace
}  // namespace zamo
