// disc_layout_window.h: TfrmDiscLayout, the modal window a burn or a space
// check shows before it goes on: the compilation about to be written (the
// previous session's files imported into it plus the file list) as a folder
// tree and a grid of the selected folder's entries, and a gauge of how full
// the disc will be. The user may delete files and folders from the
// compilation here; the job then lays out and writes what is left.
//
// The main window opens it once the compilation is built:
//   TfrmDiscLayout(veskb, this).Open();
// "Supprimer" (Del) and "Actualiser" (F5) are in the context menus of the
// tree and of the grid; "Fermer" or the title bar's button close it.
//
// The tree nodes and grid rows point into the component's compilation
// (TDEntry/TFEntry); nothing else changes the compilation while the window
// is open (it is modal), and the window rebuilds what a deletion made stale.
//
// Thread safety: GUI thread only; no job may be running (the tree is edited).
#pragma once

#include <QDialog>
#include <QString>

#include <vector>

class QAction;
class QLabel;
class QPushButton;
class QTableView;
class QTreeWidget;
class QTreeWidgetItem;

namespace zamo {

class TCDSize;
class TLayoutGridModel;
class TVeskBurner;
struct TDEntry;
struct TFEntry;

// The window's caption.
inline constexpr const char* kDiscLayoutCaption =
    "Explorateur ZAMO Média  - Fichiers déjà compris dans la session + ceux de la liste";

// The date and time of a grid row: month-day-year, 24-hour time with seconds.
QString LayoutDateText(double date_time);
// A size in a grid row: right-aligned in 9 characters; " < DIR > " for a folder.
QString LayoutSizeText(const TFEntry& entry);

class TfrmDiscLayout : public QDialog {
  Q_OBJECT

 public:
  // Borrows `veskb` for the window's life.
  TfrmDiscLayout(TVeskBurner& veskb, QWidget* parent);
  ~TfrmDiscLayout() override;

  // Fills the tree and the grid from the component's compilation, lays the
  // compilation out for the disc in the drive to set the gauge, and runs the
  // window modally; returns exec()'s result.
  int Open();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Build();
  QWidget* BuildBottomBar();
  QAction* AddAction(QWidget* owner, const char* name, const QString& text, const QKeySequence& key);

  // The tree rebuilt from the root, the root selected and the grid filled for it.
  void FillTree();
  // The grid filled with the children of `dir` (null: one empty row).
  void FillGrid(TDEntry* dir);
  // The gauge's figures for the disc in the drive (after a layout).
  void FillGauge();

  // The folder a tree node stands for.
  static TDEntry* NodeDir(const QTreeWidgetItem* item);

  // "Supprimer" of the grid: a file row leaves the compilation, a folder
  // row says to use the tree.
  void DeleteGridEntry();
  // "Supprimer" of the tree: the folder and everything below it leave the
  // compilation (never the root).
  void DeleteTreeFolder();

  TVeskBurner& veskb_;
  QTreeWidget* tree_ = nullptr;
  QTableView* grid_ = nullptr;
  TLayoutGridModel* grid_model_ = nullptr;
  TCDSize* gauge_ = nullptr;
  QPushButton* close_button_ = nullptr;
  TDEntry* grid_dir_ = nullptr;  // the folder the grid shows
};

}  // namespace zamo
