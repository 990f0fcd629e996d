// main_window.h: TForm1, the main window. It owns the burner component
// `veskb` and the application options; it lists the recorders and their
// speeds, holds the toolbar, the menus, the file list, the log pane and the
// status bar, and runs the tray and readiness jobs.
//
// Thread safety: the window lives on the GUI thread. Log lines may come from
// any thread (the component's OnDebugMessage): they reach the log pane in the
// order they were produced, a producing thread waits (bounded) until the GUI
// thread has taken its line over, and the pane shows it within 20 ms.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "app/app_options.h"
#include "burner/compilation/veskburner.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPrinter;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QToolBar;
class QToolButton;

namespace zamo {

// The window's title line and message-box caption.
inline constexpr const char* kAppTitle = "ZAMO    Gravure sur CD/DVD";

// Sets `widget`'s hint: the part before any "|" is shown in the main
// window's status bar while the mouse is over it (hints replace tooltips).
void SetHint(QWidget* widget, const QString& hint);
// The same for a menu or toolbar action.
void SetHint(QAction* action, const QString& hint);

// The program's version as four decimal parts ("1.23.0.0"), from the build.
QString VersionText();
// The help's first page as a URL the desktop's browser opens (the help is
// written out of the program's resources when needed).
QUrl HelpUrl();
// Opens the help in the desktop's browser; false when it could not.
bool OpenHelp();

class LogSink;
class TFileList;
class TShellBrowser;

class TForm1 : public QMainWindow {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The one burner component of the program.
  TVeskBurner& Burner() { return veskb; }
  TAppOptions& AppOptions() { return options_; }

  // Writes one line to the log through the component's log channel
  // (DebugMessage, type 0), from any thread.
  void Log(const std::string& line);

  // Speed for a job: the speed list's entry text in KB/s. "Max" or "" give 0
  // (the drive's maximum); otherwise the number before the first "X", read
  // with the locale's decimal separator, times 177 for CD kinds (below 4) or
  // 1385 for DVD kinds, rounded.
  int SpeedTextToKBs(const QString& text);
  // Fills the speed list for the disc in the drive (run each time the list
  // opens): "Max" and the speeds the drive accepts, the selection kept.
  void FillSpeedList();

  // Whether the selected drive's capabilities allow the burn and verify jobs
  // (it writes CD-R, DVD-R or DVD-RAM), as computed when it was chosen.
  bool DriveCanBurn() const { return drive_can_burn_; }
  // Whether the capabilities allow a burn: bit 10 (writes CD-R), 13
  // (writes DVD-R) or 15 (writes DVD-RAM).
  static bool CapabilitiesAllowBurn(uint32_t capabilities);

  // Whether the transport started (false: the bars stay disabled).
  bool TransportReady() const { return transport_ready_; }

  // The centre: the shell browser the user drags from, the file list
  // ("Fichiers à graver") and the computer's view ("Poste de Travail").
  TShellBrowser* ShellBrowser() const { return shell_browser_; }
  TFileList* FileList() const { return file_list_; }
  TShellBrowser* ComputerView() const { return computer_view_; }
  QTabWidget* CentreTabs() const { return centre_tabs_; }
  // Files and folders named on the command line: added to the file list as
  // a drop adds them.
  void AddPaths(const QStringList& paths);
  QStatusBar* StatusPanel() const { return panelbottom_; }
  QMenu* ExplorerMenu() const { return explorer_menu_; }

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildTopBar(QWidget* parent);
  void BuildToolBar(QWidget* parent);
  void BuildMenus();
  void BuildExplorerMenu();
  void BuildCentre(QSplitter* splitter);
  void BuildLogPane(QSplitter* splitter);
  void BuildStatusBar();
  void WireComponent();

  // Start-up, when the window is first shown.
  void FormShow();
  // Runs when the recorder list's choice changes (and at start-up).
  void cbDrivesChange();
  void ShowTransportFailure();

  // The tray and readiness jobs.
  void bLoadClick();
  void bEjectClick();
  void bReadyClick();
  void OpenNetworkPlaces();
  void ShowAbout();
  // "Topo", "Propriétés du CD/DVD": the capabilities window.
  void ShowCapabilities();
  // "Options": the options dialog.
  void ShowOptions();
  // "Imprimer la liste...": the file list printed.
  void PrintList();

  // F5: the whole log to the clipboard.
  void CopyLogToClipboard();
  void ClearLog();

  // The log hand-over lives before veskb so that it outlives it: the
  // component's threads may log while it is destroyed.
  std::unique_ptr<LogSink> log_sink_;
  TVeskBurner veskb;
  TAppOptions options_;
  bool shown_once_ = false;
  bool transport_ready_ = false;
  bool drive_can_burn_ = false;

  QWidget* top_bar_ = nullptr;
  QLabel* drive_label_ = nullptr;
  QComboBox* cbDrives_ = nullptr;
  QComboBox* cbSpeed_ = nullptr;
  QLabel* help_link_ = nullptr;
  QToolBar* tbrMain_ = nullptr;
  QToolButton* burn_button_ = nullptr;
  TShellBrowser* shell_browser_ = nullptr;
  TShellBrowser* computer_view_ = nullptr;
  TFileList* file_list_ = nullptr;
  QTabWidget* centre_tabs_ = nullptr;
  QPlainTextEdit* Memo1_ = nullptr;
  QStatusBar* panelbottom_ = nullptr;
  QProgressBar* pcd_ = nullptr;
  QLabel* lSize_ = nullptr;
  QPushButton* bAbort_ = nullptr;
  QProgressBar* pBuf_ = nullptr;
  QProgressBar* pHBuf_ = nullptr;
  QMenu* explorer_menu_ = nullptr;
  std::unique_ptr<QPrinter> printer_;
};

}  // namespace zamo
