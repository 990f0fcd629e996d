// main_window.h: TForm1, the main window. It owns the burner component
// `veskb` and the application options; it lists the recorders and their
// speeds, holds the toolbar, the menus, the file list, the log pane and the
// status bar, and runs every job: burning the list, checking its space,
// saving and burning image files, erasing, the tray and readiness (the
// jobs themselves are in jobs.cpp).
//
// Job states: idle; writing (a burn, an image save or an image burn: the top
// bar, the toolbar, the image buttons and the shell browser's drive box
// disabled, the progress bar shown, " Annuler" shown for burns); erasing
// (the toolbar disabled, the progress bar shown). The job entries of the
// menus and of the list menu are disabled for a job's whole life, from its
// first step (building the compilation, its boxes) to its end, so no second
// job starts while one runs. A 500 ms timer shows the progress. Closing the
// window during a job asks whether to stop it; the window closes only once
// the job has ended.
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
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/app_options.h"
#include "burner/compilation/veskburner.h"
#include "burner/writing/failure_advice.h"

class QAction;
class QCloseEvent;
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
class QTimer;
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
class TAddChecks;
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

  // The window's job states (see the top of this file).
  enum class TJobState { kIdle, kWriting, kErasing };
  TJobState JobState() const { return job_state_; }

  // The compilation capacity of every list job.
  static constexpr int kMaxFiles = 600000;
  static constexpr int kMaxDirs = 20000;
  // The progress timer's interval.
  static constexpr int kTimerIntervalMs = 500;
  // How long closing the window waits for a stopped job to end.
  static constexpr int kCloseWaitMs = 150000;

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // During a job: asks whether to stop it; "Oui" stops it and closes once it
  // has ended, "Non" keeps the window open. While the job is still starting
  // (this event then runs inside the start's wait for the read-ahead cache),
  // "Oui" only asks the job to stop: the window closes once the start has
  // returned and the job has ended, without waiting inside the start.
  void closeEvent(QCloseEvent* event) override;

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
  // The cache written out, removal allowed, the tray opened: true when it opened.
  bool EjectMedium();
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

  // ---- Jobs (jobs.cpp) ----------------------------------------------------
  // Connects the job buttons, menu entries and the abort button.
  void ConnectJobs();
  // The compilation from the file list (after ClearCompilation): the
  // session to import first, then each entry; false when the list is empty
  // (the user has been told).
  bool BuildCompilation();
  // Lays the compilation out for the disc and compares it with the disc's
  // free blocks; warns ("ESPACE INSUFFISANT") when it does not fit. True when
  // it fits.
  bool SpaceCheck();
  // The first steps of burning and verifying: the drive buffer, the speed,
  // the compilation; `read_line` is logged once it is built. False when the
  // list is empty.
  bool PrepareListJob(const char* read_line);
  void bCBurn1Click();     // burn the list
  void Vrifier1Click();    // check the space only
  void bCSaveISO1Click();  // save the list as an image file
  void bCBurnISO1Click();  // burn an image file
  void bQErase1Click() { EraseDisc(/*quick=*/true); }
  void bCErase1Click() { EraseDisc(/*quick=*/false); }
  void EraseDisc(bool quick);
  // "Contenu", "Contenu du CD/DVD": the disc's sessions (TfrmSessions).
  void ShowDiscContent();
  // " Annuler".
  void bAbortClick();
  // The progress timer's step.
  void Timer1Timer();
  // The component's end of a writing job and of an erase.
  void veskbWriteDone(const std::string& error);
  void veskbEraseDone(bool with_error);
  // Calls the component's `start` of a writing job (RecordCompilation,
  // SaveImageFile, RecordImageFile), which runs the events while the
  // read-ahead cache fills; then closes the window if that was asked meanwhile.
  void StartJob(const std::function<void()>& start);
  // Closes the window (posted) when a close was asked during a job's start,
  // once that start has returned and the job has ended.
  void CloseIfAskedDuringStart();
  // Starts a writing or erasing job's state (controls, progress, timer),
  // or ends it.
  void EnterJobState(TJobState state, TFailedJob job);
  // Enables and disables the controls for the job state, the drive's
  // capabilities and the transport.
  void UpdateJobControls();
  // After a failed job: a box with its cause and what to try.
  void ShowJobFailure(TFailedJob job, const std::string& error);
  // Runs the events that are waiting (paints, log lines) but no user input,
  // so that no second job starts meanwhile.
  void RunPendingEvents();
  // A job's first step: false when another job is under way. Its entries
  // stay disabled until EndPreparing (the job then runs, or ended).
  bool BeginPreparing();
  void EndPreparing();
  // The speed of a list job from the speed list ("Max" when none is chosen).
  void ApplyListJobSpeed();
  // The drive buffer's size for the gauge (ReadBufferCapacity).
  void ReadDriveBuffer();

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

  // Jobs.
  std::unique_ptr<TAddChecks> add_checks_;
  QTimer* Timer1_ = nullptr;
  TJobState job_state_ = TJobState::kIdle;
  TFailedJob running_job_ = TFailedJob::kBurn;
  // A job is between its first step and its start (or its end when it
  // does not start): its entries stay disabled.
  bool job_preparing_ = false;
  bool quick_save_ = false;    // the image save under way is a quick one: no progress figures
  bool user_aborted_ = false;  // " Annuler" was pressed: no failure box
  bool closing_ = false;       // the window waits for a stopped job to end
  bool starting_ = false;      // inside the component's start of a job (StartJob)
  // "Oui" came while the job was starting: the window closes once the start
  // has returned and the job has ended.
  bool close_after_start_ = false;
  // The job entries of the menus and of the list menu, the burn entries
  // (which also follow the drive's capabilities) among them.
  std::vector<QAction*> job_actions_;
  std::vector<QAction*> burn_actions_;
};

}  // namespace zamo
