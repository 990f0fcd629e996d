// options_dialog.h: TfrmSettings, the modal options dialog. It shows the
// writing options of the burner component and the application options,
// and on "Accepter" puts the new values into both and writes every key of
// the settings file (settings_file.h). "Annuler", Esc or the close box change
// nothing, except the skin, which its button switches at once.
//
// The main window opens it from "Options" (toolbar and "Gravure" menu):
//   TfrmSettings dialog(options_, veskb, SettingsFilePath(), this);
//   dialog.exec();
// The dialog shows the options as they are when it is made, the path box's
// state included (options_.SavePath), and writes the file there. A file that
// cannot be written is said in the log (through the component's log
// channel); the values are in effect all the same.
//
// Thread safety: GUI thread only.
#pragma once

#include <QDialog>
#include <string>

#include "app/app_options.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace zamo {

class TVeskBurner;

class TfrmSettings : public QDialog {
  Q_OBJECT

 public:
  TfrmSettings(TAppOptions& options, TVeskBurner& burner, std::string settings_path, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void BuildControls();
  void FillControls();
  // "Accepter": refuses a session number that is not a whole number (the
  // dialog stays open, nothing applied), else applies, writes and closes.
  void Accept();
  void BootableClicked(bool checked);
  void SkinClicked();
  void ShowCacheSize(int megabytes);

  TAppOptions& options_;
  TVeskBurner& burner_;
  std::string settings_path_;

  QLineEdit* eVolLabel_ = nullptr;
  QCheckBox* cJoliet_ = nullptr;
  QCheckBox* cCloseDisc_ = nullptr;
  QCheckBox* cImportSession_ = nullptr;
  QLineEdit* eSession_ = nullptr;
  QCheckBox* cUnderrunProtection_ = nullptr;
  QCheckBox* cTestWrite_ = nullptr;
  QCheckBox* cEject_ = nullptr;
  QCheckBox* cOPC_ = nullptr;
  QCheckBox* cQuickSaveISO_ = nullptr;
  QCheckBox* cArchiveOnly_ = nullptr;
  QCheckBox* cShowFiles_ = nullptr;
  QSlider* sCacheSize_ = nullptr;
  QLabel* lCacheSize_ = nullptr;
  QCheckBox* cBootable_ = nullptr;
  QLabel* lBootImage_ = nullptr;
  QPushButton* btnSkin_ = nullptr;
};

}  // namespace zamo
