// disc_explorer.h: TfrmTree, the disc explorer: the folders of the session
// the component's compilation holds (imported by the session chooser) as a
// tree under "CDROOT", the selected folder's entries in a grid, and the
// disc-fill gauge of the disc below. A double click on a file copies it to a
// file the user names; a click on the status panel copies every file of the
// grid into one folder the user chooses (asking before it replaces a file
// already there).
//
//   veskb.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs);
//   veskb.ImportSessionTree(session, veskb.RootDir);
//   TfrmTree(veskb, this).Open();
//
// The tree nodes and grid rows point into the compilation, which must not
// change while the window is open. Esc closes it.
//
// Thread safety: GUI thread only, while no job runs (it reads the disc).
#pragma once

#include <QDialog>
#include <QString>
#include <string>

class QFrame;
class QLabel;
class QPushButton;
class QTableWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace zamo {

class TCDSize;
class TVeskBurner;
struct TDEntry;
struct TFEntry;

class TfrmTree : public QDialog {
  Q_OBJECT

 public:
  // Borrows `veskb` for the window's life.
  TfrmTree(TVeskBurner& veskb, QWidget* parent);

  // Fills the tree, the grid and the gauge, then runs the window modally;
  // returns exec()'s result.
  int Open();

  // The grid's cells of entry number `row` (from 1) of a folder.
  static QString NameCell(int row, const TFEntry& entry);
  static QString SizeCell(const TFEntry& entry);

  // The status panel's text while nothing is being extracted.
  static const QString kStatusText;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Build();
  void FillTree();
  void AddFolders(QTreeWidgetItem* node, const TDEntry* dir);
  void FillGrid(const TDEntry* dir);
  void SetGauge();
  // The entry a grid row is bound to; null for an unbound row.
  const TFEntry* EntryOfRow(int row) const;
  // Double click on a row: that file copied to a file the user names.
  void ExtractOne(int row);
  // Click on the status panel: every file of the grid copied into one folder.
  void ExtractAll();
  // The folder the files go to, asked once (the user's home proposed);
  // empty when the user cancels or picks the system's root.
  QString AskDestinationFolder();
  enum class Conflict { kReplace, kSkip, kReplaceAll, kCancel };
  Conflict AskReplace(const QString& path);
  void Message(const QString& text, const char* name);
  void Log(const std::string& line);

  TVeskBurner& veskb_;
  QTreeWidget* tvFolders_ = nullptr;
  QTableWidget* sgFiles_ = nullptr;
  TCDSize* cdSize_ = nullptr;
  QFrame* pStatus_ = nullptr;
  QPushButton* bClose_ = nullptr;
  QLabel* lStatus_ = nullptr;
};

}  // namespace zamo
