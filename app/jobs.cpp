// jobs.cpp: the main window's jobs: the compilation built from the file
// list, the space check, burning the list, checking its space, saving it as
// an image file, burning an image file, erasing; the progress timer, the
// ends of the jobs, abort, the job states and closing during a job.
//
// Every job runs on the GUI thread up to the component's call that starts
// it; the writing and erasing go on in the component's threads, whose end
// comes back through OnWriteDone and OnEraseDone on the GUI thread.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>
#include <functional>

#include "app/disc_layout_window.h"
#include "app/file_list.h"
#include "app/main_window.h"
#include "app/session_chooser.h"
#include "app/shell_browser.h"
#include "burner/compilation/source_list.h"
#include "burner/erase/erase_rules.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr int kSectorBytes = 2048;

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A message box of the program, run modally; the answer. Yes and No read
// "Oui" and "Non".
QMessageBox::StandardButton Ask(QWidget* parent, const char* name, QMessageBox::Icon icon, const QString& caption,
                                const QString& text, QMessageBox::StandardButtons buttons = QMessageBox::Ok,
                                QMessageBox::StandardButton default_button = QMessageBox::NoButton) {
  QMessageBox box(icon, caption, text, buttons, parent);
  box.setObjectName(QString::fromUtf8(name));
  if (QAbstractButton* yes = box.button(QMessageBox::Yes)) yes->setText(QStringLiteral("Oui"));
  if (QAbstractButton* no = box.button(QMessageBox::No)) no->setText(QStringLiteral("Non"));
  if (default_button != QMessageBox::NoButton) box.setDefaultButton(default_button);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

QString AppTitle() { return QString::fromUtf8(kAppTitle); }

// The path option's state as the compilation's path mode.
TPathMode PathModeOf(Qt::CheckState state) {
  switch (state) {
    case Qt::Checked:
      return TPathMode::kKeep;
    case Qt::PartiallyChecked:
      return TPathMode::kLastFolder;
    case Qt::Unchecked:
      break;
  }
  return TPathMode::kNone;
}

}  // namespace

// ---- Wiring and states ----------------------------------------------------------

void TForm1::ConnectJobs() {
  auto tool = [this](const char* name) {
    return tbrMain_->findChild<QToolButton*>(QString::fromUtf8(name))->defaultAction();
  };
  auto entry = [this](const char* name) { return menuBar()->findChild<QAction*>(QString::fromUtf8(name)); };
  QAction* verify_only = burn_button_->menu()->actions().value(0);

  const auto on = [this](QAction* action, void (TForm1::*job)()) {
    connect(action, &QAction::triggered, this, [this, job] { (this->*job)(); });
  };
  for (QAction* action : {tool("bCBurn"), entry("mBurnList")}) on(action, &TForm1::bCBurn1Click);
  for (QAction* action : {verify_only, entry("mVerifyOnly"), file_list_->VerifyAction()})
    on(action, &TForm1::Vrifier1Click);
  for (QAction* action : {tool("bCSaveISO"), entry("mSaveIso")}) on(action, &TForm1::bCSaveISO1Click);
  // "Graver une image ISO" burns an image file, as its name says.
  for (QAction* action : {tool("bCBurnISO"), entry("mBurnIso")}) on(action, &TForm1::bCBurnISO1Click);
  for (QAction* action : {tool("bQErase"), entry("mQuickErase")}) on(action, &TForm1::bQErase1Click);
  for (QAction* action : {tool("bCErase"), entry("mFullErase")}) on(action, &TForm1::bCErase1Click);
  connect(bAbort_, &QPushButton::clicked, this, [this] { bAbortClick(); });

  for (QAction* action : {tool("bContent"), entry("mDiscContent")}) on(action, &TForm1::ShowDiscContent);

  // Disabled while any job runs: the entries that start one, the disc's
  // contents (read from the drive) and the options, which the running job
  // reads.
  job_actions_ = {entry("mVerifyOnly"), entry("mSaveIso"),   entry("mBurnIso"),   entry("mQuickErase"),
                  entry("mFullErase"),  entry("mOptions"),   entry("mDiscContent"), verify_only,
                  file_list_->VerifyAction()};
  burn_actions_ = {tool("bCBurn"), entry("mBurnList")};

  Timer1_ = new QTimer(this);
  Timer1_->setObjectName(QStringLiteral("Timer1"));
  Timer1_->setInterval(kTimerIntervalMs);
  connect(Timer1_, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

void TForm1::UpdateJobControls() {
  // Until the window is shown the transport is not known: nothing is held back.
  const bool usable = transport_ready_ || !shown_once_;
  const bool idle = job_state_ == TJobState::kIdle && !job_preparing_ && !closing_;
  top_bar_->setEnabled(usable && job_state_ != TJobState::kWriting);
  tbrMain_->setEnabled(usable && job_state_ == TJobState::kIdle && !closing_);
  if (QWidget* drive_box = shell_browser_->FolderBox()) drive_box->setEnabled(job_state_ != TJobState::kWriting);
  for (QAction* action : job_actions_) action->setEnabled(usable && idle);
  for (QAction* action : burn_actions_) action->setEnabled(usable && idle && drive_can_burn_);
}

void TForm1::EnterJobState(TJobState state, TFailedJob job) {
  job_state_ = state;
  running_job_ = job;
  if (state == TJobState::kIdle) {
    Timer1_->stop();
  } else {
    user_aborted_ = false;
    pcd_->setValue(0);
    pcd_->show();
    Timer1_->start();
  }
  UpdateJobControls();
}

bool TForm1::BeginPreparing() {
  if (job_preparing_ || job_state_ != TJobState::kIdle || closing_) return false;
  job_preparing_ = true;
  UpdateJobControls();
  return true;
}

void TForm1::EndPreparing() {
  job_preparing_ = false;
  UpdateJobControls();
}

void TForm1::StartJob(const std::function<void()>& start) {
  starting_ = true;
  start();
  starting_ = false;
  CloseIfAskedDuringStart();
}

void TForm1::CloseIfAskedDuringStart() {
  if (!close_after_start_ || starting_ || job_state_ != TJobState::kIdle || veskb.JobRunning()) return;
  // Posted: the job's click handler ends first, then closeEvent accepts.
  QTimer::singleShot(0, this, [this] { close(); });
}

void TForm1::RunPendingEvents() { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); }

void TForm1::ApplyListJobSpeed() {
  if (cbSpeed_->currentIndex() < 0) cbSpeed_->setCurrentIndex(0);  // "Max"
  veskb.SetWriteSpeed(static_cast<uint16_t>(std::clamp(SpeedTextToKBs(cbSpeed_->currentText()), 0, 0xFFFF)));
}

void TForm1::ReadDriveBuffer() {
  uint32_t size = 0, free = 0;
  veskb.ReadBufferCapacity(size, free);
  // A range of 0 to 0 would make the gauge a busy indicator.
  pHBuf_->setRange(0, static_cast<int>(std::clamp<uint32_t>(size, 1, 0x7FFFFFFF)));
  pHBuf_->setValue(0);
}

// ---- The compilation and the space check ---------------------------------------

bool TForm1::BuildCompilation() {
  // The session to import goes in first; the layout then imports nothing more.
  veskb.SessionToImport = 0;
  if (options_.SessionNo != 0) veskb.ImportSessionTree(options_.SessionNo, nullptr);
  if (file_list_->IsEmpty()) {
    Ask(this, "emptyListBox", QMessageBox::Information, AppTitle(),
        QStringLiteral("La liste à graver doit contenir au moins un fichier"));
    return false;
  }
  // The Joliet descriptor's dates: this compilation's.
  veskb.DateCreation = veskb.DateModification = veskb.Clock();
  std::vector<TCompilationSource> sources;
  for (const TListEntry& entry : file_list_->Entries()) sources.push_back({entry.Path, entry.Recursive});
  AddSources(veskb, sources, PathModeOf(file_list_->PathState()), options_.ArchiveFiles);
  return true;
}

bool TForm1::SpaceCheck() {
  // Laid out where the session will start, as the burn lays it out: a
  // session after others takes no padding up to sector 150, which a layout
  // from sector 0 would count.
  veskb.WritingToDisc = true;
  veskb.CalculateLayout(/*to_image_file=*/false, nullptr);
  veskb.WritingToDisc = false;
  const int64_t sectors = veskb.ImageSectors();
  pcd_->setRange(0, static_cast<int>(std::max<int64_t>(sectors, 1)));
  const uint32_t free_blocks = veskb.GetFreeBlocks();
  if (sectors <= static_cast<int64_t>(free_blocks)) return true;
  Ask(this, "spaceWarningBox", QMessageBox::Critical, QStringLiteral("ESPACE INSUFFISANT"),
      QStringLiteral("Espace disque insuffisant\nEspace disponible sur le disque: ") +
          Q(FormatWholeMb(int64_t{free_blocks} * kSectorBytes)) +
          QStringLiteral("\nEspace requis pour cette gravure: ") + Q(FormatMb(sectors * kSectorBytes)));
  return false;
}

bool TForm1::PrepareListJob(const char* read_line) {
  ReadDriveBuffer();
  ApplyListJobSpeed();
  RunPendingEvents();
  veskb.ClearCompilation(kMaxFiles, kMaxDirs);
  const bool listed = BuildCompilation();
  Log(read_line);
  RunPendingEvents();
  return listed;
}

// ---- Burning the list and checking its space -------------------------------------

void TForm1::bCBurn1Click() {
  if (!BeginPreparing()) return;
  const auto end = qScopeGuard([this] { EndPreparing(); });
  if (!PrepareListJob(">>> LECTURE DES FICHIERS - OK.") ||
      (veskb.FileCount() == 0 && veskb.DirectoryCount() == 0)) {
    // An empty list, or nothing of it could be taken (and nothing imported).
    Log(">>> RIEN À GRAVER, ABANDON ...");
    return;
  }
  // The user may review the compilation and take entries out of it.
  if (options_.ShowFiles) TfrmDiscLayout(veskb, this).Open();
  const bool fits = SpaceCheck();
  QString question =
      QStringLiteral("Taille des fichiers à graver: ") + Q(FormatMb(veskb.ImageSectors() * kSectorBytes));
  if (!fits) {
    question += QStringLiteral("\n\nLe disque est trop petit pour ces fichiers : il n'a que ") +
                Q(FormatMb(int64_t{veskb.GetFreeBlocks()} * kSectorBytes)) +
                QStringLiteral(" de libre. La gravure échouera quand le disque sera plein.");
  }
  if (Ask(this, "burnConfirmBox", QMessageBox::Question, QStringLiteral("Confirmation de la gravure"), question,
          QMessageBox::Yes | QMessageBox::No, fits ? QMessageBox::Yes : QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  bAbort_->show();
  EnterJobState(TJobState::kWriting, TFailedJob::kBurn);
  Log(">>> Veillez patienter ... Gravure " + veskb.DeviceString);
  StartJob([this] { veskb.RecordCompilation(); });
}

void TForm1::Vrifier1Click() {
  if (!BeginPreparing()) return;
  const auto end = qScopeGuard([this] { EndPreparing(); });
  // With an empty list a session to import is still shown.
  if (!PrepareListJob(">>> LECTURE DES FICHIERS/DOSSIERS - OK.")) Log(">>> VÉRIFICATION SEULEMENT");
  TfrmDiscLayout(veskb, this).Open();
  SpaceCheck();
  Timer1_->stop();
}

// ---- Image files ------------------------------------------------------------------

void TForm1::bCSaveISO1Click() {
  if (!BeginPreparing()) return;
  const auto end = qScopeGuard([this] { EndPreparing(); });
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("SaveDialog1"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilter(QStringLiteral("Image ISO (*.iso)"));
  dialog.setDefaultSuffix(QStringLiteral("iso"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::string file = QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();

  Timer1_->start();
  veskb.ClearCompilation(kMaxFiles, kMaxDirs);
  if (!BuildCompilation() || (veskb.DirectoryCount() == 0 && veskb.FileCount() == 0)) {
    Timer1_->stop();
    return;
  }
  Log(">>> AJOUT DES FICHIERS À .ISO OK.");
  RunPendingEvents();
  Log(">>> DÉBUT DE LA CRÉATION DU FICHIER .ISO");
  quick_save_ = options_.QuickSaveISO;
  EnterJobState(TJobState::kWriting, TFailedJob::kImageSave);
  veskb.CalculateLayout(/*to_image_file=*/true, nullptr);
  pcd_->setRange(0, static_cast<int>(std::max<int64_t>(veskb.ImageSectors(), 1)));
  // The size the file gets: a quick save is not padded to a session's minimum.
  const int64_t sectors = quick_save_ ? veskb.SessionSectors : veskb.ImageSectors();
  const QString size_text = Q(FormatMb(sectors * kSectorBytes));
  lSize_->setText(size_text);
  // A quick save has ended (and OnWriteDone has run) when this returns.
  StartJob([this, &file] { veskb.SaveImageFile(file, quick_save_); });
  Log(">>> Taille du fichier " + DisplayUtf8(file) + ": " + size_text.toStdString());
  if (job_state_ == TJobState::kIdle) pcd_->hide();
}

void TForm1::bCBurnISO1Click() {
  if (!BeginPreparing()) return;
  const auto end = qScopeGuard([this] { EndPreparing(); });
  QFileDialog dialog(this);
  dialog.setObjectName(QStringLiteral("OpenDialog1"));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setNameFilters({QStringLiteral(".ISO Files (*.iso *.ISO)"), QStringLiteral("All File (*)")});
  dialog.setDefaultSuffix(QStringLiteral("iso"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const std::string file = QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();

  ReadDriveBuffer();
  bAbort_->show();
  EnterJobState(TJobState::kWriting, TFailedJob::kImageBurn);
  Log(">>> DÉBUT ÉCRITURE IMAGE .ISO SUR " + veskb.DeviceString);
  veskb.SetWriteSpeed(static_cast<uint16_t>(std::clamp(SpeedTextToKBs(cbSpeed_->currentText()), 0, 0xFFFF)));
  StartJob([this, &file] { veskb.RecordImageFile(file); });
  if (const int64_t total = veskb.Progress().TotalBytes; total > 0 && job_state_ == TJobState::kWriting)
    pcd_->setRange(0, static_cast<int>(total / kSectorBytes));
}

// ---- Erasing ----------------------------------------------------------------------

void TForm1::EraseDisc(bool quick) {
  if (!BeginPreparing()) return;
  const auto end = qScopeGuard([this] { EndPreparing(); });
  if (!EraseAllowed(veskb, veskb.GetDiscType(), quick)) {
    Ask(this, "notErasableBox", QMessageBox::Warning, AppTitle(), QString::fromUtf8(kDiscNotErasable));
    return;
  }
  const QString text = quick ? QStringLiteral("Les données du média vont être rapidement effacées")
                             : QStringLiteral("Les données du média vont être minitieusement effacées (demande "
                                              "beaucoup de temps)");
  if (Ask(this, "eraseWarningBox", QMessageBox::Warning, QStringLiteral("Suppression. Désirez-vous poursuivre ?"),
          text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  pcd_->setRange(0, 100);
  EnterJobState(TJobState::kErasing, TFailedJob::kErase);
  veskb.SetWriteSpeed(static_cast<uint16_t>(std::clamp(SpeedTextToKBs(cbSpeed_->currentText()), 0, 0xFFFF)));
  // A start that fails has run OnEraseDone already.
  veskb.EraseDisc(quick);
}

// ---- The disc's contents ------------------------------------------------------------

void TForm1::ShowDiscContent() {
  if (!BeginPreparing()) return;
  const auto end = qScopeGuard([this] { EndPreparing(); });
  TfrmSessions(veskb, this).Open();
}

// ---- Progress, ends, abort ---------------------------------------------------------

void TForm1::Timer1Timer() {
  // One snapshot of the running job's figures, taken from the component at once.
  const TVeskBurner::TJobProgress p = veskb.Progress();
  if (p.Phase == TVeskBurner::TJobPhase::kErasing) {
    pcd_->setRange(0, 100);
    pcd_->setValue(p.ErasePercent);
    return;
  }
  lSize_->setText(Q(FormatMegabytes(p.BytesWritten) + "/" + FormatMegabytes(p.TotalBytes) + " MB"));
  pBuf_->setValue(std::clamp(p.CacheFillPercent, 0, 100));
  if (p.TotalBytes > 0) {
    const int64_t total = p.TotalBytes / kSectorBytes;
    pcd_->setRange(0, static_cast<int>(total));
    pcd_->setValue(static_cast<int>(std::min(p.BytesWritten / kSectorBytes, total)));
  }
  if (p.DriveBufferSize >= p.DriveBufferFree) {
    pHBuf_->setValue(std::min(static_cast<int>(p.DriveBufferSize - p.DriveBufferFree), pHBuf_->maximum()));
  }
}

void TForm1::veskbWriteDone(const std::string& error) {
  const TFailedJob job = running_job_;
  const bool tracked = !quick_save_;
  quick_save_ = false;
  EnterJobState(TJobState::kIdle, job);
  if (tracked) Timer1Timer();  // the final figures
  if (!error.empty()) {
    Log(">>> ÉCRITURE: - ÉCHEC");
    Log(">>> " + error);
  } else {
    Log(">>> ÉCRITURE TERMINÉE: - SUCCÈS");
    // Only now are the files recorded: they lose their archive attribute.
    if (options_.ArchiveFiles) veskb.ClearArchiveBits();
    if (options_.EjectDisc && !EjectMedium()) Log(">>> MÉDIA ÉJECTÉ: - ÉCHEC.");
  }
  veskb.ClearCompilation(kMaxFiles, kMaxDirs);
  QApplication::beep();
  bAbort_->hide();
  pcd_->hide();
  Log(" ");
  // After the job has ended whole; none when the user stopped it.
  if (!error.empty() && !user_aborted_ && !closing_) {
    QTimer::singleShot(0, this, [this, job, error] { ShowJobFailure(job, error); });
  }
  CloseIfAskedDuringStart();
}

void TForm1::veskbEraseDone(bool with_error) {
  Log(with_error ? ">>> SUPPRESSION: - ÉCHEC" : ">>> SUPPRESSION: - RÉUSSIE");
  Timer1_->stop();
  if (!with_error && options_.EjectDisc && !EjectMedium()) Log(">>> MÉDIA ÉJECTÉ: - ÉCHEC.");
  // A finished erase shows the bar full before it goes.
  if (!with_error) pcd_->setValue(pcd_->maximum());
  pcd_->setValue(0);
  pcd_->hide();
  QApplication::beep();
  Log(" ");
  EnterJobState(TJobState::kIdle, TFailedJob::kErase);
  if (with_error && !closing_) {
    const std::string error = veskb.EraseErrorText;
    QTimer::singleShot(0, this, [this, error] { ShowJobFailure(TFailedJob::kErase, error); });
  }
}

void TForm1::bAbortClick() {
  user_aborted_ = true;
  veskb.AbortWriting();
  bAbort_->hide();
}

void TForm1::ShowJobFailure(TFailedJob job, const std::string& error) {
  const TFailureAdvice advice = AdviseOnFailure(job, error);
  QMessageBox box(QMessageBox::Warning, AppTitle(), Q(advice.Headline), QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("jobFailureBox"));
  QString details = Q(advice.Advice);
  if (!error.empty()) {
    details += job == TFailedJob::kImageSave ? QStringLiteral("\n\nMessage : ")
                                             : QStringLiteral("\n\nMessage du graveur : ");
    details += Q(error);
  }
  box.setInformativeText(details);
  box.exec();
}

// ---- Closing during a job ----------------------------------------------------------

void TForm1::closeEvent(QCloseEvent* event) {
  if (close_after_start_ && !starting_ && job_state_ == TJobState::kIdle && !veskb.JobRunning()) {
    // Asked during the job's start, which has returned; the job has ended.
    QMainWindow::closeEvent(event);
    return;
  }
  if (closing_) {  // already waiting for the stopped job
    event->ignore();
    return;
  }
  const bool writing = job_state_ == TJobState::kWriting || veskb.JobRunning();
  const bool erasing = job_state_ == TJobState::kErasing || veskb.Erasing();
  if (!writing && !erasing) {
    QMainWindow::closeEvent(event);
    return;
  }
  const QString question =
      writing ? QStringLiteral("Une gravure est en cours. Voulez-vous l'arrêter et quitter le programme ?\n\n"
                               "Un disque dont la gravure est arrêtée peut rester inutilisable.")
              : QStringLiteral("Un effacement est en cours. Voulez-vous quitter le programme ?\n\nLe graveur "
                               "terminera l'effacement seul, mais sa fin ne sera pas vérifiée.");
  if (Ask(this, "closeDuringJobBox", QMessageBox::Question, AppTitle(), question, QMessageBox::Yes | QMessageBox::No,
          QMessageBox::No) != QMessageBox::Yes) {
    event->ignore();
    return;
  }
  if (erasing && !writing) {
    // The component stops waiting for the drive (bounded) when it goes.
    QMainWindow::closeEvent(event);
    return;
  }
  closing_ = true;
  UpdateJobControls();
  user_aborted_ = true;
  veskb.AbortWriting();
  bAbort_->hide();
  Log(">>> ARRÊT DE LA GRAVURE DEMANDÉ: LE PROGRAMME SE FERMERA À LA FIN DE L'OPÉRATION");
  if (starting_) {
    // This event runs inside the job's start, between its polls of the
    // read-ahead cache: the start sees the stop only once this returns, so
    // waiting here for the job's end would wait for the whole bound. The
    // window closes once the start has returned and the job has ended.
    close_after_start_ = true;
    event->ignore();
    return;
  }
  // The job ends through OnWriteDone, which the events bring; no user input
  // meanwhile.
  QElapsedTimer waited;
  waited.start();
  while ((job_state_ != TJobState::kIdle || veskb.JobRunning()) && waited.elapsed() < kCloseWaitMs) {
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::WaitForMoreEvents, 50);
  }
  closing_ = false;
  if (job_state_ != TJobState::kIdle || veskb.JobRunning()) {
    // The window stays: the program never ends with a writing thread running.
    Log(">>> LA GRAVURE NE S'EST PAS ENCORE ARRÊTÉE: LE PROGRAMME RESTE OUVERT");
    UpdateJobControls();
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

}  // namespace zamo
