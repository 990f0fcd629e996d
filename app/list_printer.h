// list_printer.h: printing a report-style list (the file list's "R", "Nom"
// and "Taille") as a ruled table with a title, the date and page numbers;
// the title dialog TForm3.
//
// The page geometry, in printer pixels, from the printer's printable page
// (width W, height H) and its unprintable margins (left, top):
//   Ux = (W + 2 left) / 21, Uy = (H + 2 top) / 28.215   (near centimetres on A4)
//   column edges X0 = 1.5 Ux, Xn = W - 1.5 Ux, between them each column's
//   share of the list's widths; the table's top T = 2.5 Uy; the line height
//   L = the body font's height; R = (H - 5 Uy) / L rows a page.
// Each page: the column captions in bold, centred in their columns, a rule
// under them, rules between the columns down to one line below the last row
// (row R + 1 on a full page), "Date: ... Page: p / P" in 8 points ending
// 1.5 Ux before the right edge at 0.5 Uy, and the title in 18 points at
// 1 Uy, from 3 Ux, or centred when it would run into the page line. Body
// "Times New Roman" 10 points (a metric-compatible serif where it is
// missing, Liberation Serif on Debian).
//
// The main window's "Imprimer la liste..." calls
//   PrintListview(PrintListOf(file_list_view), printer_, this);
// with a QPrinter it keeps, so that the user's printer choice stays.
//
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <QStringList>

class QLineEdit;
class QPrinter;
class QTreeView;

namespace zamo {

// A report-style list: its column captions and widths, and its rows (the
// entry's caption, then its sub-items; a missing sub-item prints empty).
struct TPrintList {
  QStringList Captions;
  QList<int> Widths;
  QList<QStringList> Rows;
};

// The list a tree or list view shows: the header's captions, the columns'
// widths, and the top-level rows in the view's model order.
TPrintList PrintListOf(const QTreeView* view);

// The title dialog: "Titre du rapport", preset each time it opens.
class TForm3 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm3(QWidget* parent = nullptr);
  QString Title() const;

 private:
  QLineEdit* edit_ = nullptr;
};

// Asks for the title (however the dialog is closed, its text is used), then
// shows the print dialog; when that is accepted, prints the list. True when
// pages were sent to the printer.
bool PrintListview(const TPrintList& list, QPrinter& printer, QWidget* parent);

// Prints the list with `title` on `printer` as it is set up: job title
// "Listview Print", one copy, portrait. An empty list starts no job (a job
// without a row would still cost a blank sheet). False when nothing was
// printed.
bool PrintListPages(const TPrintList& list, const QString& title, QPrinter& printer);

}  // namespace zamo
