#include "app/list_printer.h"

#include <QAbstractItemModel>
#include <QDate>
#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <vector>

namespace zamo {
namespace {

constexpr char kBodyFamily[] = "Times New Roman";

QFont PrintFont(int points, bool bold = false) {
  // Where Times New Roman is missing, a serif with its metrics stands in.
  static const bool substituted = [] {
    QFont::insertSubstitution(QString::fromLatin1(kBodyFamily), QStringLiteral("Liberation Serif"));
    return true;
  }();
  (void)substituted;
  QFont font(QString::fromLatin1(kBodyFamily));
  font.setStyleHint(QFont::Serif);
  font.setPointSize(points);
  font.setBold(bold);
  return font;
}

// The page's units and the table's lines, in printer pixels.
struct TPageGeometry {
  int width = 0, height = 0;  // the printable page
  double ux = 0, uy = 0;
  std::vector<int> edges;     // X0 ... Xn
  int top = 0;                // T
  int line = 1;               // L
  int rows = 1;               // R
  int pages = 1;              // P

  int X(double units) const { return static_cast<int>(std::lround(units * ux)); }
  int Y(double units) const { return static_cast<int>(std::lround(units * uy)); }
};

TPageGeometry Geometry(QPrinter& printer, const TPrintList& list) {
  TPageGeometry g;
  const QRectF page = printer.pageRect(QPrinter::DevicePixel);
  const QRectF paper = printer.paperRect(QPrinter::DevicePixel);
  g.width = static_cast<int>(page.width());
  g.height = static_cast<int>(page.height());
  const double left = page.left() - paper.left();
  const double top = page.top() - paper.top();
  g.ux = (g.width + 2 * left) / 21.0;
  g.uy = (g.height + 2 * top) / 28.215;

  const int columns = static_cast<int>(list.Captions.size());
  g.edges.assign(static_cast<size_t>(columns) + 1, 0);
  g.edges[0] = g.X(1.5);
  const int right = static_cast<int>(std::lround(g.width - 1.5 * g.ux));
  const int span = right - g.edges[0];
  double total = 0;
  for (int c = 0; c < columns; ++c) total += std::max(0, list.Widths.value(c));
  for (int c = 0; c < columns; ++c) {
    const double share = total > 0 ? std::max(0, list.Widths.value(c)) / total : 1.0 / columns;
    g.edges[static_cast<size_t>(c) + 1] = g.edges[static_cast<size_t>(c)] + static_cast<int>(std::lround(share * span));
  }

  g.top = g.Y(2.5);
  g.line = std::max(1, QFontMetrics(PrintFont(10), &printer).height());
  g.rows = std::max(1, static_cast<int>(std::lround((g.height - 5 * g.uy) / g.line)));
  const int entries = static_cast<int>(list.Rows.size());
  g.pages = std::max(1, (entries + g.rows - 1) / g.rows);
  return g;
}

// Text whose top-left corner is at (x, y), clipped to `clip`.
void TextRect(QPainter& painter, const QRect& clip, int x, int y, const QString& text) {
  painter.save();
  painter.setClipRect(clip);
  painter.drawText(QPoint(x, y + painter.fontMetrics().ascent()), text);
  painter.restore();
}

// The rules, the captions, the page line and the title of a page.
// `first_entry` is the index of the page's first entry.
void PageHead(QPainter& painter, const TPageGeometry& g, const TPrintList& list, const QString& title, int page,
              int first_entry) {
  const int columns = static_cast<int>(g.edges.size()) - 1;
  const int entries = static_cast<int>(list.Rows.size());
  const int bottom = page == g.pages ? g.top + (entries - first_entry + 2) * g.line : g.top + (g.rows + 1) * g.line;
  for (int c = 1; c < columns; ++c) painter.drawLine(g.edges[c], g.top, g.edges[c], bottom);

  painter.setFont(PrintFont(10, true));
  for (int c = 0; c < columns; ++c) {
    const QString caption = list.Captions.value(c);
    const int x = g.edges[c] + (g.edges[c + 1] - g.edges[c]) / 2 - painter.fontMetrics().horizontalAdvance(caption) / 2;
    const QRect clip(QPoint(g.edges[c] + g.X(0.1), g.top - g.Y(0.1)),
                     QPoint(g.edges[c + 1] - g.X(0.1) - 1, g.top + g.line - g.Y(0.1) - 1));
    TextRect(painter, clip, x, g.top - g.Y(0.1), caption);
  }
  const int under = g.top + g.line - g.Y(0.05);
  painter.drawLine(g.edges.front() - g.X(0.1), under, g.edges.back() + g.X(0.1), under);

  painter.setFont(PrintFont(8));
  const QString page_line = QStringLiteral("Date: ") + QLocale().toString(QDate::currentDate(), QLocale::ShortFormat) +
                            QStringLiteral(" Page: ") + QString::number(page) + QStringLiteral(" / ") +
                            QString::number(g.pages);
  const int page_line_width = painter.fontMetrics().horizontalAdvance(page_line) / 2 * 2;
  const int fx = static_cast<int>(std::lround(g.width - 1.5 * g.ux)) - page_line_width;
  painter.drawText(QPoint(fx, g.Y(0.5) + painter.fontMetrics().ascent()), page_line);

  painter.setFont(PrintFont(18));
  const int title_width = painter.fontMetrics().horizontalAdvance(title);
  // From 3 Ux, unless the title would run into the page line: then centred.
  const int title_x = fx >= (title_width + g.width) / 2 + g.X(0.75) ? g.X(3) : (g.width - title_width) / 2;
  painter.drawText(QPoint(title_x, g.Y(1.0) + painter.fontMetrics().ascent()), title);

  painter.setFont(PrintFont(10));
}

void Row(QPainter& painter, const TPageGeometry& g, const QStringList& texts, int row) {
  const int y = g.top + row * g.line;
  for (size_t c = 0; c + 1 < g.edges.size(); ++c) {
    const QRect clip(QPoint(g.edges[c] + g.X(0.1), y), QPoint(g.edges[c + 1] - g.X(0.1) - 1, y + g.line - 1));
    TextRect(painter, clip, clip.left(), y, texts.value(static_cast<int>(c)));
  }
}

}  // namespace

TPrintList PrintListOf(const QTreeView* view) {
  TPrintList list;
  const QAbstractItemModel* model = view->model();
  if (model == nullptr) return list;
  const int columns = model->columnCount();
  for (int c = 0; c < columns; ++c) {
    list.Captions << model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    list.Widths << view->columnWidth(c);
  }
  for (int r = 0; r < model->rowCount(); ++r) {
    QStringList texts;
    for (int c = 0; c < columns; ++c) texts << model->index(r, c).data(Qt::DisplayRole).toString();
    list.Rows << texts;
  }
  return list;
}

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Titre du rapport"));
  setModal(true);
  auto* layout = new QVBoxLayout(this);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  auto* prompt = new QLabel(QStringLiteral("Entrez le titre du rapport à imprimer  "), this);
  layout->addWidget(prompt);
  edit_ = new QLineEdit(QStringLiteral("Titre du rapport"), this);
  edit_->setObjectName(QStringLiteral("eTitle"));
  edit_->setMinimumWidth(320);
  edit_->selectAll();
  layout->addWidget(edit_);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* go_on = new QPushButton(QStringLiteral("Continuer"), this);
  go_on->setObjectName(QStringLiteral("bContinue"));
  go_on->setDefault(true);
  connect(go_on, &QPushButton::clicked, this, &QDialog::accept);
  buttons->addWidget(go_on);
  layout->addLayout(buttons);
}

QString TForm3::Title() const { return edit_->text(); }

bool PrintListview(const TPrintList& list, QPrinter& printer, QWidget* parent) {
  TForm3 title_dialog(parent);
  title_dialog.exec();  // closed in any way, its text is the title
  const QString title = title_dialog.Title();
  QPrintDialog print_dialog(&printer, parent);
  if (print_dialog.exec() != QDialog::Accepted) return false;
  return PrintListPages(list, title, printer);
}

bool PrintListPages(const TPrintList& list, const QString& title, QPrinter& printer) {
  printer.setDocName(QStringLiteral("Listview Print"));
  printer.setCopyCount(1);
  printer.setPageOrientation(QPageLayout::Portrait);
  if (list.Rows.isEmpty() || list.Captions.isEmpty()) return false;

  const TPageGeometry g = Geometry(printer, list);
  QPainter painter;
  if (!painter.begin(&printer)) return false;
  QPen pen(Qt::black);
  pen.setWidth(std::max(1, printer.resolution() / 300));
  painter.setPen(pen);

  int row = 0, page = 0;
  for (int e = 0; e < list.Rows.size(); ++e) {
    if (row == 0 || row > g.rows) {
      if (row > g.rows) printer.newPage();
      row = 1;
      PageHead(painter, g, list, title, ++page, e);
    }
    Row(painter, g, list.Rows[e], row);
    ++row;
  }
  return painter.end();
}

}  // namespace zamo
