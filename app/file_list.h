// file_list.h: the "Fichiers à graver" page of the main window: the list of
// files and folders to record (clBox), the path option above it and the
// fill estimate below it.
//
// clBox is a report-style list with three columns: "R" (23 pixels: the
// entry's include-subfolders mark), "Nom" (the full source path; a folder's
// ends with "/") and "Taille" (70 to 100 pixels: the size in bytes grouped
// by thousands, empty for 0; a folder's is the total of every file below it,
// computed once when the entry is added). Entries keep the order they were
// added in, duplicates included; marks and texts cannot be changed in place.
// A drop (TExDragDrop, bound to the list) or AddPaths adds entries; a double
// click or "Enlever l'item sélectionné" removes the selected one; "Vider la
// liste" empties the list and the component's compilation.
//
// The path option cPathInfo ("Inclure les chemins des fichiers: ") has three
// states: clear (sources go to the disc's root), ticked (each keeps its
// folder path) and grayed (each keeps its last folder). A click switches
// between ticked and clear (grayed becomes ticked) and hands the new state
// to the SavePath function at once; only SetPathState (start-up, from the
// settings file) gives the grayed state.
//
// The fill estimate: "Remplissage" asks the drive once for the disc's free
// space (a layout for the disc, then GetFreeBlocks); the meter then shows the
// list's total against it, and follows the list's edits from that figure
// without asking the drive again. No disc or no free space shows 0 % and an
// empty meter. The meter's hint reads "Approximativement N % rempli.".
//
// Thread safety: GUI thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"

class QAction;
class QCheckBox;
class QMenu;
class QPushButton;
class QToolButton;

namespace zamo {

class TExDragDrop;

// One entry of the list, as a job reads it (BuildCompilation).
struct TListEntry {
  std::string Path;      // the source path's bytes; a folder's ends with "/"
  QString SizeText;      // as shown: "1 234 567", "" for 0 bytes or a vanished path
  int64_t Bytes = 0;     // the size the text shows
  bool Recursive = false;  // the include-subfolders mark (never set: marks refuse changes)
};

// The segmented meter of the fill estimate: 38 + 10 segments, a sky-blue bar
// on white. Its value stays within [Minimum, Maximum]; a maximum below the
// minimum (no free space) shows it empty.
class TFillMeter : public QWidget {
  Q_OBJECT

 public:
  explicit TFillMeter(QWidget* parent = nullptr);
  void SetRange(int minimum, int maximum);
  void SetValue(int64_t value);
  int Minimum() const { return minimum_; }
  int Maximum() const { return maximum_; }
  int Value() const { return value_; }
  // Lit segments out of SegmentCount().
  int LitSegments() const;
  static constexpr int kMainSegments = 38;
  static constexpr int kEndSegments = 10;
  static constexpr int SegmentCount() { return kMainSegments + kEndSegments; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int minimum_ = 1;
  int maximum_ = 2;
  int value_ = 1;
};

class TFileList : public QWidget {
  Q_OBJECT

 public:
  // Receives the path option's new state after each click (the main window
  // writes it to the settings file as SavePath).
  using SavePathFunction = std::function<void(Qt::CheckState state)>;

  // `burner` must outlive the list.
  TFileList(TVeskBurner& burner, SavePathFunction save_path, QWidget* parent = nullptr);
  ~TFileList() override;

  // Adds each path as a drop does (program arguments, "Open with"): an
  // existing folder gets "/" and the total size of its tree, anything else
  // its path as given and its size (empty when it is gone).
  void AddPaths(const QStringList& paths);
  // The same, with paths as the file system's bytes.
  void AddNativePaths(const std::vector<std::string>& paths);

  // The list in its order, for the jobs.
  std::vector<TListEntry> Entries() const;
  int Count() const;
  bool IsEmpty() const { return Count() == 0; }

  // Removes the selected entry (nothing without a selection).
  void RemoveSelected();
  // Empties the list and the component's compilation (600000 entries, 20000
  // folders); the compilation is left alone while a job runs in it.
  void Clear();

  Qt::CheckState PathState() const;
  // Start-up: the state read from the settings file; nothing is stored.
  void SetPathState(Qt::CheckState state);

  // "Remplissage": the disc's free space from the drive, then the meter.
  void EstimateFill();
  // The free space the last estimate read, in MB (none before the first).
  std::optional<int64_t> FreeMegabytes() const { return free_mb_; }
  // The sizes of every entry, in bytes.
  int64_t TotalBytes() const;

  // The widgets, for the main window (hints, printing, disabling during jobs).
  QTreeWidget* Box() const { return clBox_; }              // clBox
  QCheckBox* PathCheckBox() const { return cPathInfo_; }   // cPathInfo
  QToolButton* ClearButton() const { return clear_button_; }
  QPushButton* FillButton() const { return fill_button_; }  // "Remplissage"
  TFillMeter* Meter() const { return meter_; }
  TExDragDrop* DragDrop() const { return ExplorerDragDrop_; }
  // The list menu's entries. "Vérifier..." (the space check) and "Imprimer
  // la liste..." are the main window's jobs: it connects them (and enables
  // "Vérifier..." once the space check exists).
  QAction* RemoveAction() const { return remove_action_; }
  QAction* ClearAction() const { return clear_action_; }
  QAction* VerifyAction() const { return verify_action_; }
  QAction* PrintAction() const { return print_action_; }

  // The size text of a byte count: grouped by thousands, "" for 0.
  static QString SizeText(int64_t bytes);
  // Column widths of clBox.
  static constexpr int kMarkColumnWidth = 23;
  static constexpr int kSizeColumnMin = 70;
  static constexpr int kSizeColumnMax = 100;

 signals:
  // A text for the status bar: "****** Calculs en cours. Veillez patienter
  // ******" while a drop is measured, "" after it. The walk that follows the
  // first holds the thread: a receiver shows the text at once (repaint).
  void statusMessage(const QString& text);
  // The list gained or lost entries.
  void listChanged();

 private:
  void BuildList();
  void BuildPathRow(QWidget* row);
  void BuildFillRow(QWidget* row);
  void ExplorerDragDropDropped(TExDragDrop* sender, int items_count);
  void AddEntry(const std::string& path);
  void UseMarkPictures();
  void RefuseMarkChange(QTreeWidgetItem* item, int column);
  void UpdateMeter();

  TVeskBurner& burner_;
  SavePathFunction save_path_;
  QTreeWidget* clBox_ = nullptr;
  QCheckBox* cPathInfo_ = nullptr;
  QToolButton* clear_button_ = nullptr;
  QPushButton* fill_button_ = nullptr;
  TFillMeter* meter_ = nullptr;
  TExDragDrop* ExplorerDragDrop_ = nullptr;
  QMenu* list_menu_ = nullptr;
  QAction* remove_action_ = nullptr;
  QAction* clear_action_ = nullptr;
  QAction* verify_action_ = nullptr;
  QAction* print_action_ = nullptr;
  bool mark_pictures_ = false;  // a folder was dropped: the R column shows pictures
  std::optional<int64_t> free_mb_;
};

}  // namespace zamo
