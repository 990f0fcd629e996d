// about_box.h: TAboutBox, the modal "A Propos " box: the program's picture,
// name and version, a word about the help, and the update group. No update
// service exists for this program: its updates come with the system's
// packages, so the group's "Vérifier" button is disabled and says so.
#pragma once

#include <QDialog>
#include <QIcon>

namespace zamo {

// The program's picture (a recordable disc), drawn at any size.
QIcon ProgramIcon();

class TAboutBox : public QDialog {
 public:
  explicit TAboutBox(QWidget* parent = nullptr);
};

}  // namespace zamo
