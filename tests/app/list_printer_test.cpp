// list_printer_test.cpp: printing the list to a PDF file, read back with
// pdftotext (rows per page, their order, the page line, the title's place)
// and rendered with pdftoppm (where the column rules end), against the page
// geometry computed from the printer; the title dialog and the print dialog
// driven as a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QPrintDialog>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/app/modal.h"
#include "app/list_printer.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::WhenModal;

// The file list as the main window shows it: "R" (empty), "Nom", "Taille".
TPrintList FileList(int entries) {
  TPrintList list;
  list.Captions = {QStringLiteral("R"), QStringLiteral("Nom"), QStringLiteral("Taille")};
  list.Widths = {20, 300, 90};
  for (int i = 1; i <= entries; ++i) {
    list.Rows << QStringList{QString(), QStringLiteral("fichier-%1.txt").arg(i, 4, 10, QChar('0')),
                             QStringLiteral("%1 octets").arg(i * 7)};
  }
  return list;
}

std::string Run(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  if (!process.waitForFinished(60000) || process.exitCode() != 0) return "(failed) " + program.toStdString();
  return process.readAllStandardOutput().toStdString();
}

// A word of the PDF with its box, in points from the page's top-left corner.
struct TWord {
  int page;
  double x_min, y_min, x_max, y_max;
  std::string text;
};

std::vector<TWord> Words(const std::string& pdf) {
  const std::string html = Run(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), QString::fromStdString(pdf),
                                                              QStringLiteral("-")});
  std::vector<TWord> words;
  int page = 0;
  static const QRegularExpression word_line(
      QStringLiteral(R"re(<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">(.*)</word>)re"));
  std::istringstream lines(html);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("<page ") != std::string::npos) ++page;
    const QRegularExpressionMatch m = word_line.match(QString::fromStdString(line));
    if (m.hasMatch()) {
      words.push_back({page, m.captured(1).toDouble(), m.captured(2).toDouble(), m.captured(3).toDouble(),
                       m.captured(4).toDouble(), m.captured(5).toStdString()});
    }
  }
  return words;
}

// The text of each page, as pdftotext -layout lays it out.
std::vector<std::string> Pages(const std::string& pdf) {
  const std::string text =
      Run(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), QString::fromStdString(pdf), QStringLiteral("-")});
  std::vector<std::string> pages;
  std::string::size_type start = 0, feed;
  while ((feed = text.find('\f', start)) != std::string::npos) {
    pages.push_back(text.substr(start, feed - start));
    start = feed + 1;
  }
  return pages;
}

// The entries' names on a page, in their order.
std::vector<int> EntriesOn(const std::string& page) {
  std::vector<int> entries;
  static const QRegularExpression name(QStringLiteral(R"(fichier-(\d{4})\.txt\s+(\d+) octets)"));
  auto it = name.globalMatch(QString::fromStdString(page));
  while (it.hasNext()) {
    const QRegularExpressionMatch m = it.next();
    EXPECT_EQ(m.captured(2).toInt(), m.captured(1).toInt() * 7) << "a size beside another entry's name";
    entries.push_back(m.captured(1).toInt());
  }
  return entries;
}

// A grey-level rendering of one page at 72 pixels per inch: one pixel per point.
struct TBitmap {
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  bool Dark(int x, int y) const {
    return x >= 0 && y >= 0 && x < width && y < height && pixels[static_cast<size_t>(y * width + x)] < 160;
  }
};

TBitmap Render(const std::string& pdf, int page, const std::string& stem) {
  Run(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("72"), QStringLiteral("-gray"),
                                   QStringLiteral("-f"), QString::number(page), QStringLiteral("-l"),
                                   QString::number(page), QStringLiteral("-singlefile"),
                                   QString::fromStdString(pdf), QString::fromStdString(stem)});
  TBitmap bitmap;
  std::ifstream in(stem + ".pgm", std::ios::binary);
  std::string magic;
  int max = 0;
  in >> magic >> bitmap.width >> bitmap.height >> max;
  in.get();
  bitmap.pixels.resize(static_cast<size_t>(bitmap.width) * static_cast<size_t>(bitmap.height));
  in.read(reinterpret_cast<char*>(bitmap.pixels.data()), static_cast<std::streamsize>(bitmap.pixels.size()));
  return bitmap;
}

class ListPrinterTest : public ::testing::Test {
 protected:
  ListPrinterTest() {
    printer_.setOutputFormat(QPrinter::PdfFormat);
    printer_.setOutputFileName(QString::fromStdString(pdf_));
    printer_.setPageSize(QPageSize(QPageSize::A4));
    printer_.setPageMargins(QMarginsF(12, 10, 12, 10), QPageLayout::Millimeter);
  }

  // The geometry the page must follow, from the printer and the body font.
  double Ux() const {
    const QRectF page = printer_.pageRect(QPrinter::DevicePixel), paper = printer_.paperRect(QPrinter::DevicePixel);
    return (page.width() + 2 * (page.left() - paper.left())) / 21.0;
  }
  double Uy() const {
    const QRectF page = printer_.pageRect(QPrinter::DevicePixel), paper = printer_.paperRect(QPrinter::DevicePixel);
    return (page.height() + 2 * (page.top() - paper.top())) / 28.215;
  }
  int LineHeight() {
    QFont body(QStringLiteral("Times New Roman"));
    body.setPointSize(10);
    return QFontMetrics(body, &printer_).height();
  }
  int RowsPerPage() {
    return static_cast<int>(std::lround((printer_.pageRect(QPrinter::DevicePixel).height() - 5 * Uy()) / LineHeight()));
  }
  // Printer pixels from the printable page's corner to points on the paper.
  double PointsX(double pixels) const {
    return (pixels + printer_.pageRect(QPrinter::DevicePixel).left()) * 72.0 / printer_.resolution();
  }
  double PointsY(double pixels) const {
    return (pixels + printer_.pageRect(QPrinter::DevicePixel).top()) * 72.0 / printer_.resolution();
  }

  test::TempDir dir_;
  std::string pdf_ = dir_ / "liste.pdf";
  QPrinter printer_{QPrinter::HighResolution};
};

TEST_F(ListPrinterTest, APageHoldsRRowsAndEntryROnePlusOneStartsTheNext) {
  const int rows = RowsPerPage();
  ASSERT_GT(rows, 30);  // 10-point lines on A4

  for (const int entries : {rows, rows + 1, 2 * rows + 5}) {
    SCOPED_TRACE(entries);
    ASSERT_TRUE(PrintListPages(FileList(entries), QStringLiteral("Sauvegarde"), printer_));
    const std::vector<std::string> pages = Pages(pdf_);
    const int page_count = (entries + rows - 1) / rows;
    ASSERT_EQ(static_cast<int>(pages.size()), page_count);
    int next = 1;
    for (int p = 0; p < page_count; ++p) {
      const std::vector<int> on_page = EntriesOn(pages[static_cast<size_t>(p)]);
      ASSERT_EQ(static_cast<int>(on_page.size()), std::min(rows, entries - p * rows)) << "page " << p + 1;
      for (int entry : on_page) EXPECT_EQ(entry, next++);
      const std::string page_line = " Page: " + std::to_string(p + 1) + " / " + std::to_string(page_count);
      EXPECT_NE(pages[static_cast<size_t>(p)].find(page_line), std::string::npos) << pages[static_cast<size_t>(p)];
      EXPECT_NE(pages[static_cast<size_t>(p)].find("Date: "), std::string::npos);
      EXPECT_NE(pages[static_cast<size_t>(p)].find("Sauvegarde"), std::string::npos);
      EXPECT_NE(pages[static_cast<size_t>(p)].find("Nom"), std::string::npos);
      EXPECT_NE(pages[static_cast<size_t>(p)].find("Taille"), std::string::npos);
    }
    EXPECT_EQ(next, entries + 1);
  }
}

TEST_F(ListPrinterTest, TheWordsStandWhereTheGeometryPutsThem) {
  const TPrintList list = FileList(3);
  ASSERT_TRUE(PrintListPages(list, QStringLiteral("Court"), printer_));
  const std::vector<TWord> words = Words(pdf_);
  const double ux = Ux(), uy = Uy();
  const int line = LineHeight();
  const auto find = [&](const std::string& text) {
    for (const TWord& word : words)
      if (word.text == text) return word;
    ADD_FAILURE() << "no word " << text;
    return TWord{};
  };
  constexpr double kSlack = 1.5;  // points: the glyphs' side bearings
  // The short title starts at 3 Ux; the page line ends 1.5 Ux before the right edge.
  EXPECT_NEAR(find("Court").x_min, PointsX(std::lround(3 * ux)), kSlack);
  const double page_width = printer_.pageRect(QPrinter::DevicePixel).width();
  const TWord date = find("Date:");
  double page_line_end = 0;
  for (const TWord& word : words)
    if (std::abs(word.y_min - date.y_min) < 1) page_line_end = std::max(page_line_end, word.x_max);
  EXPECT_NEAR(page_line_end, PointsX(page_width - std::lround(1.5 * ux)), kSlack);
  EXPECT_NEAR(date.y_min, PointsY(std::lround(0.5 * uy)), 2 * kSlack);
  EXPECT_LT(date.y_max, PointsY(std::lround(uy)));  // above the title's line

  // Columns: X0 = 1.5 Ux, X3 = W - 1.5 Ux, shares 20 : 300 : 90.
  const double x0 = std::lround(1.5 * ux), span = std::lround(page_width - 1.5 * ux) - x0;
  const double x1 = x0 + std::lround(20.0 / 410 * span), x2 = x1 + std::lround(300.0 / 410 * span);
  const double x3 = x2 + std::lround(90.0 / 410 * span);
  const TWord name = find("fichier-0002.txt"), size = find("14");
  EXPECT_NEAR(name.x_min, PointsX(x1 + std::lround(0.1 * ux)), kSlack);
  EXPECT_NEAR(size.x_min, PointsX(x2 + std::lround(0.1 * ux)), kSlack);
  // Entry 2 stands on row 2: its line starts at T + 2 L.
  const double top = std::lround(2.5 * uy);
  EXPECT_GE(name.y_min, PointsY(top + 2 * line) - kSlack);
  EXPECT_LE(name.y_max, PointsY(top + 3 * line) + kSlack);
  // Captions centred in their columns.
  const TWord nom = find("Nom"), taille = find("Taille");
  EXPECT_NEAR((nom.x_min + nom.x_max) / 2, PointsX((x1 + x2) / 2), kSlack);
  EXPECT_NEAR((taille.x_min + taille.x_max) / 2, PointsX((x2 + x3) / 2), kSlack);
}

TEST_F(ListPrinterTest, ALongTitleThatWouldRunIntoThePageLineIsCentred) {
  const QString title = QStringLiteral("Inventaire complet des photographies de famille 2024");
  ASSERT_TRUE(PrintListPages(FileList(2), title, printer_));
  double x_min = 1e9, x_max = 0;
  for (const TWord& word : Words(pdf_)) {
    if (title.contains(QString::fromStdString(word.text)) && word.y_max < PointsY(std::lround(2.5 * Uy()))) {
      x_min = std::min(x_min, word.x_min);
      x_max = std::max(x_max, word.x_max);
    }
  }
  const double centre = PointsX(printer_.pageRect(QPrinter::DevicePixel).width() / 2);
  EXPECT_NEAR((x_min + x_max) / 2, centre, 1.5);
  EXPECT_GT(x_min - PointsX(0), 0);
  EXPECT_GT(std::abs(x_min - PointsX(std::lround(3 * Ux()))), 5.0);  // not at 3 Ux
}

TEST_F(ListPrinterTest, TheColumnRulesEndOneLineBelowTheLastRowOrBelowRowR) {
  const int rows = RowsPerPage();
  const int entries = rows + 4;  // a full page, then 4 entries
  ASSERT_TRUE(PrintListPages(FileList(entries), QStringLiteral("Règles"), printer_));
  const double ux = Ux(), uy = Uy();
  const int line = LineHeight();
  const double page_width = printer_.pageRect(QPrinter::DevicePixel).width();
  const double x0 = std::lround(1.5 * ux), span = std::lround(page_width - 1.5 * ux) - x0;
  const int rule_x = static_cast<int>(std::lround(PointsX(x0 + std::lround(20.0 / 410 * span))));
  const double top = std::lround(2.5 * uy);

  for (const auto& [page, bottom_row] : {std::pair{1, rows + 1}, std::pair{2, 4 + 2}}) {
    SCOPED_TRACE(page);
    const TBitmap bitmap = Render(pdf_, page, dir_ / ("page" + std::to_string(page)));
    ASSERT_GT(bitmap.width, 500);
    const int end = static_cast<int>(std::lround(PointsY(top + bottom_row * line)));
    const auto dark_near = [&](int y) {
      return bitmap.Dark(rule_x - 1, y) || bitmap.Dark(rule_x, y) || bitmap.Dark(rule_x + 1, y);
    };
    EXPECT_TRUE(dark_near(static_cast<int>(std::lround(PointsY(top))) + 2));
    EXPECT_TRUE(dark_near(end - 3)) << "the rule stops short of y=" << end;
    EXPECT_FALSE(dark_near(end + 3)) << "the rule runs past y=" << end;
  }
}

TEST_F(ListPrinterTest, AnEmptyListStartsNoJob) {
  EXPECT_FALSE(PrintListPages(FileList(0), QStringLiteral("Vide"), printer_));
  EXPECT_FALSE(std::filesystem::exists(pdf_));
}

TEST_F(ListPrinterTest, TheTitleDialogAndThePrintDialogLeadToThePrint) {
  QTreeWidget tree;
  tree.setHeaderLabels({QStringLiteral("R"), QStringLiteral("Nom"), QStringLiteral("Taille")});
  tree.setColumnWidth(0, 20);
  tree.setColumnWidth(1, 300);
  for (int i = 1; i <= 3; ++i) {
    new QTreeWidgetItem(&tree, {QString(), QStringLiteral("fichier-%1.txt").arg(i, 4, 10, QChar('0')),
                                QStringLiteral("%1 octets").arg(i * 7)});
  }
  QString caption, preset;
  WhenModal<TForm3>([&](TForm3* title_dialog) {
    caption = title_dialog->windowTitle();
    auto* edit = title_dialog->findChild<QLineEdit*>(QStringLiteral("eTitle"));
    preset = edit->text();
    edit->setText(QStringLiteral("Mes fichiers"));
    QTest::mouseClick(title_dialog->findChild<QPushButton*>(QStringLiteral("bContinue")), Qt::LeftButton);
  });
  WhenModal<QPrintDialog>([](QPrintDialog* print_dialog) { print_dialog->accept(); });
  ASSERT_TRUE(PrintListview(PrintListOf(&tree), printer_, nullptr));
  EXPECT_EQ(caption, "Titre du rapport");
  EXPECT_EQ(preset, "Titre du rapport");
  const std::vector<std::string> pages = Pages(pdf_);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(EntriesOn(pages[0]), (std::vector<int>{1, 2, 3}));
  EXPECT_NE(pages[0].find("Mes fichiers"), std::string::npos);
  EXPECT_NE(pages[0].find("Page: 1 / 1"), std::string::npos);
  EXPECT_EQ(printer_.docName(), "Listview Print");
}

TEST_F(ListPrinterTest, ACancelledPrintDialogPrintsNothing) {
  WhenModal<TForm3>([](TForm3* title_dialog) { title_dialog->reject(); });  // closing it goes on
  WhenModal<QPrintDialog>([](QPrintDialog* print_dialog) { print_dialog->reject(); });
  EXPECT_FALSE(PrintListview(FileList(5), printer_, nullptr));
  EXPECT_FALSE(std::filesystem::exists(pdf_));
}

}  // namespace
}  // namespace zamo
