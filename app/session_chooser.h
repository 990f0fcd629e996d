// session_chooser.h: TfrmSessions, the modal window that describes the disc
// in the selected recorder (its kind, capacity, used and free space, whether
// it is still open) and lists its sessions, one line each: number, first
// block, size in MB. "Afficher", or a click on a line, imports that session
// into the emptied compilation and opens the disc explorer on it.
//
// The main window opens it from "Contenu" and "Contenu du CD/DVD":
//   TfrmSessions(veskb, this).Open();
// Esc and Enter close it. Viewing a session empties the component's
// compilation (every job builds its own again).
//
// Thread safety: GUI thread only, while no job runs (it sends drive commands).
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>

class QLabel;
class QListWidget;
class QPushButton;

namespace zamo {

class TVeskBurner;

class TfrmSessions : public QDialog {
  Q_OBJECT

 public:
  // Borrows `veskb` for the window's life.
  TfrmSessions(TVeskBurner& veskb, QWidget* parent);

  // Reads the disc into the window, then runs it modally; returns exec()'s result.
  int Open();

  // The list's line of a session: "  012         345     45 MB" (number on
  // three digits, first block in 8 characters, whole MB of its size in 4).
  static QString SessionLine(int session, uint32_t start_block, uint32_t size_blocks);
  // The line shown when the disc cannot be read.
  static const QString kErrorLine;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Build();
  // Fills the labels and the list from the drive; false when it is not ready.
  bool ReadDisc();
  // "Afficher": the selected session in the explorer.
  void bShowClick();

  TVeskBurner& veskb_;
  QLabel* lMedium_ = nullptr;
  QLabel* lSize_ = nullptr;
  QLabel* lUsed_ = nullptr;
  QLabel* lFree_ = nullptr;
  QPushButton* bShow_ = nullptr;
  QListWidget* lbSessions_ = nullptr;
};

}  // namespace zamo
