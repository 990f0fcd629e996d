// main_window.cpp: TForm1, the main window: its controls and menus, start-up,
// the choice of recorder and speed, the log pane and the status bar, and the
// tray and readiness jobs (the other jobs: jobs.cpp).
#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "app/about_box.h"
#include "app/add_checks.h"
#include "app/balloon.h"
#include "app/capabilities_window.h"
#include "app/file_list.h"
#include "app/list_printer.h"
#include "app/options_dialog.h"
#include "app/settings_file.h"
#include "app/shell_browser.h"
#include "app/skin.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"

// The help's resources live in the app library: a static library's resource
// initialiser is only linked when something calls it.
static void InitHelpResources() { Q_INIT_RESOURCE(help); }

namespace zamo {

// ---- The log hand-over ------------------------------------------------------

// Takes log lines from any thread to the log pane, in the order they were
// produced. Every line passes through one queue. A line from another thread
// is queued, the GUI thread is asked to take the queue over, and the
// producer waits until the GUI thread has taken its line. That wait is
// bounded: a GUI thread busy elsewhere (or itself waiting for the producing
// thread) never deadlocks with it; the line then stays queued, in its
// place, and the producers stop waiting until the GUI thread has caught up.
// A line from the GUI thread is taken over at once, after any line still
// queued.
//
// The GUI thread appends what it took in batches, at most every kFlushEvery
// and at the latest that long after a line was taken: appending a hundred
// lines at once costs about what one costs, and the pane repaints once per
// batch, so a thread logging fast never holds the window.
class LogSink : public QObject {
 public:
  // How long a producing thread waits for the GUI thread to take its line.
  static constexpr std::chrono::milliseconds kHandOverWait{500};
  static constexpr int kFlushEveryMs = 20;

  explicit LogSink(std::function<void(const QString&)> append) : append_(std::move(append)) {
    flush_timer_.setSingleShot(true);
    connect(&flush_timer_, &QTimer::timeout, this, [this] { Flush(); });
    since_flush_.start();
  }

  ~LogSink() override { Close(); }

  // Any thread.
  void Post(QString line) {
    if (QThread::currentThread() == thread()) {
      TakeQueue();
      batch_.push_back(std::move(line));
      ScheduleFlush();
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t number = ++posted_;
    queue_.push_back(std::move(line));
    if (!take_scheduled_) {
      take_scheduled_ = true;
      QMetaObject::invokeMethod(this, [this] { TakeQueue(); }, Qt::QueuedConnection);
    }
    if (closed_ || lagging_) return;
    if (!taken_cv_.wait_for(lock, kHandOverWait, [&] { return taken_ >= number || closed_; })) lagging_ = true;
  }

  // GUI thread: every line taken so far goes into the pane now.
  void Flush() {
    TakeQueue();
    flush_timer_.stop();
    since_flush_.restart();
    if (batch_.isEmpty()) return;
    const QString text = batch_.join(QLatin1Char('\n'));
    batch_.clear();
    append_(text);
  }

  // No producer waits any more (the window is going away).
  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    taken_cv_.notify_all();
  }

 private:
  // GUI thread: takes the queued lines over and lets their producers go on.
  void TakeQueue() {
    std::deque<QString> lines;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines.swap(queue_);
      taken_ = posted_;
      take_scheduled_ = false;
      lagging_ = false;
    }
    taken_cv_.notify_all();
    if (lines.empty()) return;
    for (QString& line : lines) batch_.push_back(std::move(line));
    ScheduleFlush();
  }

  void ScheduleFlush() {
    if (flush_timer_.isActive()) return;
    flush_timer_.start(static_cast<int>(std::max<qint64>(0, kFlushEveryMs - since_flush_.elapsed())));
  }

  std::function<void(const QString&)> append_;
  // Shared with the producing threads.
  std::mutex mutex_;
  std::condition_variable taken_cv_;
  std::deque<QString> queue_;
  uint64_t posted_ = 0;  // lines queued by other threads so far
  uint64_t taken_ = 0;   // of those, the lines the GUI thread has taken
  bool take_scheduled_ = false;
  bool lagging_ = false;  // a wait ran out: producers go on without waiting until the next take
  bool closed_ = false;
  // The GUI thread's own.
  QStringList batch_;  // taken, not yet in the pane
  QTimer flush_timer_;
  QElapsedTimer since_flush_;
};

// ---- Texts ----------------------------------------------------------------------

namespace {

constexpr int kClientWidth = 727;
constexpr int kClientHeight = 550;
constexpr double kCdX = 176.4;   // KB/s of 1x on a CD, for display
constexpr double kDvdX = 1385.0; // KB/s of 1x on a DVD
constexpr int kCdJobX = 177;     // KB/s of 1x on a CD, for a job's speed
constexpr int kDvdJobX = 1385;
constexpr int kCdSpeedStep = 176;
constexpr int kDvdSpeedStep = 700;

// Speeds are shown and asked on the CD scale for CD kinds and also when no
// disc (or an unknown one) is in: kinds below DVD-ROM in the kind table.
bool UsesCdScale(TDiscKind kind) { return kind < dkDvdRom; }

const QString kAspiFailure = QStringLiteral("Erreur d'initialisation ASPI, Laissez un message sur ");

struct ToolDef {
  const char* name;     // objectName of the button
  const char* caption;
  const char* hint;
};

// The toolbar's buttons in order; a null caption is a groove between groups.
constexpr ToolDef kTools[] = {
    {"bQErase", "Effacer.R", " Suppression rapide du contenu du CD."},
    {"bCErase", "Effacer.C", "Suppression du contenu du CD ou DVD et formatage. "},
    {nullptr, nullptr, nullptr},
    {"bCSaveISO", "C.ISO", "Créer une image ISO avec les fichiers de la liste. "},
    {"bCBurnISO", "G.ISO", "Graver un fichier ISO sélectionné. Il ne peut n'y avoir qu'une image ISO par CD/DVD. "},
    {nullptr, nullptr, nullptr},
    {"bTopo", "Topo", "Affiche les caractéristiques du lecteur/graveur."},
    {"bContent", "Contenu", "Contenu du média. Extraire les fichiers de n'importe quelle session. "},
    {"bOptions", "Options", "Modifier les options d'écriture sur le CD/DVD."},
    {nullptr, nullptr, nullptr},
    {"bLoad", "Charger", "Charger le média (CD/DVD)."},
    {"bEject", "Ejecter", "Ejecter le média."},
    {"bReady", "Prêt?", "L'unité CD/DVD est-elle prête? Réponse sur le log. "},
    {nullptr, nullptr, nullptr},
    {"bCBurn", "Graver/Vérifier",
     "Graver la liste des fichiers ou , en second choix, Vérifier l'espace disponible seulement.  "},
};

struct BalloonDef {
  const char* button;
  const char* title;
  const char* text;
};

constexpr BalloonDef kBalloons[] = {
    {"bQErase", "Effacer rapidement le CD/DVD?",
     "N'efface que la table des matières (TOC) du média. Les données sont conservées mais le PC peut en faire ce "
     "qu'il veut. C'est l'option recommandée"},
    {"bCErase", "Effacer complètement le CD/DVD?",
     "Le contenu du média est supprimé en profondeur, L'opération dure plusieurs minutes (jusqu'à 30 min. ou "
     "plus). Le disque est complètement vidé et les données irrécupérables."},
    {"bCSaveISO", "Créer une image (fichier) ISO ",
     "Opération qui conciste à créer une image ISO à partir des fichiersde la liste à graver. Vous devez "
     "enregistrer cette image sous le nomxxxx.iso. Consultez l'aide pour une définition de l'image ISO."},
    {"bCBurnISO", "Graver une image (fichier) ISO ",
     "Opération qui conciste à graver une image ISO déjà enregistrée.Une fenêtre sera affichée pour la sélection "
     "du fichier parmi ceuxdisponibles. Consultez l'aide pour une définition de l'image ISO. \nIl ne peut y avoir "
     "qu'une image ISO par CD/DVD. En graver plus d'une par CD/DVD provoque une erreur."},
    {"bTopo", "Affiche les caractéristiques du graveur ",
     "Montre les principales caractéristiques, comme les habilités.à lire ou à  graver sur différents medium et "
     "aussi les vitesses de lecture et de gravure maximales, CD et DVD."},
    {"bContent", "Affiche le contenu du CD/DVD ",
     "Montre le contenu du média et des sessions gravées. Indique la Taille et l'Espace libre, si le média est "
     "Ouvert/Fermé ou Finalisé.  \nPermer d'explorer le contenu du média et d'extraire des fichiers."},
    {"bOptions", "Modifier les options de gravage",
     "Par exemple pour Finaliser le gravage, pour mettre en mode TEST,pour gérer les Sessions, basculer le Bit "
     "d'Archivage des fichiers pour faire des Sauvegardes incrémentielles, pour Afficher les fichiers avant la "
     "gravure."},
    {"bCBurn", "Graver la liste des fichiers ou Vérifier",
     "Appuyez pour graver les fichiers de la liste. Si l'option [Montrer les fichiers Avant le gravage] n'est pas "
     "cochée parmi les Options, le gravage s'effectu directement. Sinon il est possible d'explorer les fichiers à "
     "graver et le contenu du média.\nAppuyez sur le sous-menu [Vérifier] pour seulement explorer les fichiers à "
     "graver et voir l'espace restant sur le média."},
};

QIcon ToolIcon(const char* name) {
  QStyle* style = QApplication::style();
  const std::string_view n = name;
  QStyle::StandardPixmap pixmap = QStyle::SP_FileIcon;
  if (n == "bQErase") pixmap = QStyle::SP_TrashIcon;
  if (n == "bCErase") pixmap = QStyle::SP_DialogDiscardButton;
  if (n == "bCSaveISO") pixmap = QStyle::SP_DialogSaveButton;
  if (n == "bCBurnISO") pixmap = QStyle::SP_DriveCDIcon;
  if (n == "bTopo") pixmap = QStyle::SP_MessageBoxInformation;
  if (n == "bContent") pixmap = QStyle::SP_FileDialogContentsView;
  if (n == "bOptions") pixmap = QStyle::SP_FileDialogDetailedView;
  if (n == "bLoad") pixmap = QStyle::SP_ArrowDown;
  if (n == "bEject") pixmap = QStyle::SP_ArrowUp;
  if (n == "bReady") pixmap = QStyle::SP_MessageBoxQuestion;
  if (n == "bCBurn") pixmap = QStyle::SP_DriveDVDIcon;
  return style->standardIcon(pixmap);
}

// Why the emulated back end could not be built, for the start-up message.
std::string& EmulatorError() {
  static std::string error;
  return error;
}

}  // namespace

void SetHint(QWidget* widget, const QString& hint) {
  widget->setStatusTip(hint.section(QLatin1Char('|'), 0, 0));
  widget->setToolTip(QString());
}

void SetHint(QAction* action, const QString& hint) {
  action->setStatusTip(hint.section(QLatin1Char('|'), 0, 0));
  action->setToolTip(QString());
}

QString VersionText() {
  // Four decimal parts: major, minor, release, build.
  QStringList parts = QStringLiteral(ZAMO_VERSION).split(QLatin1Char('.'), Qt::SkipEmptyParts);
  while (parts.size() < 4) parts << QStringLiteral("0");
  return parts.mid(0, 4).join(QLatin1Char('.'));
}

QUrl HelpUrl() {
  InitHelpResources();
  // A help folder installed beside the program wins; otherwise the help held
  // in the program is written to the user's cache folder, since a browser
  // needs files it can open.
  const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/help/index.html");
  if (QFileInfo::exists(beside)) return QUrl::fromLocalFile(beside);
  const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
  const QString folder =
      (cache.isEmpty() ? QDir::tempPath() + QStringLiteral("/zamo") : cache) + QStringLiteral("/help");
  QDir().mkpath(folder);
  const QDir resources(QStringLiteral(":/help"));
  for (const QString& name : resources.entryList(QDir::Files)) {
    QFile source(resources.filePath(name));
    const QString target = folder + QLatin1Char('/') + name;
    if (!source.open(QIODevice::ReadOnly)) continue;
    const QByteArray content = source.readAll();
    QFile existing(target);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == content) continue;
    existing.close();
    QFile out(target);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) out.write(content);
  }
  return QUrl::fromLocalFile(folder + QStringLiteral("/index.html"));
}

bool OpenHelp() { return QDesktopServices::openUrl(HelpUrl()); }

bool TForm1::CapabilitiesAllowBurn(uint32_t capabilities) {
  return (capabilities & (capWriteCdR | capWriteDvdR | capWriteDvdRam)) != 0;
}

// ---- Creating the window ----------------------------------------------------------

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent),
      log_sink_(std::make_unique<LogSink>([this](const QString& text) {
        if (Memo1_ != nullptr) Memo1_->appendPlainText(text);
      })),
      veskb(nullptr) {
  setObjectName(QStringLiteral("Form1"));
  // The emulated recorders of ZAMO_EMULATED_DRIVES are the loadable back end.
  transport::SetLibraryLoader(
      [](const std::string& config) { return emu::CreateEmulatedBackEnd(config, &EmulatorError()); });

  // The component's settings chosen at design time; the settings file
  // overrides several of them at start-up.
  veskb.UnderrunProtection = true;
  veskb.DoDebug = true;
  veskb.PerformOPC = true;
  veskb.FinalizeDisc = false;
  veskb.TestWrite = false;
  veskb.ReplaceFile = false;
  veskb.WritePostGap = true;
  veskb.SetCacheSize(8392704);
  veskb.ReadSpeed = 0;
  WireComponent();

  // Hints go to the status bar; tooltips are off for the whole program.
  qApp->installEventFilter(this);

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  BuildTopBar(central);
  BuildToolBar(central);
  auto* vertical = new QSplitter(Qt::Vertical, central);
  vertical->setObjectName(QStringLiteral("logSplitter"));
  vertical->setChildrenCollapsible(false);
  auto* centre = new QSplitter(Qt::Horizontal, vertical);
  centre->setObjectName(QStringLiteral("centreSplitter"));
  BuildCentre(centre);
  BuildLogPane(vertical);
  vertical->setStretchFactor(0, 3);
  vertical->setStretchFactor(1, 1);
  vertical->setSizes({320, 130});
  column->addWidget(top_bar_);
  column->addWidget(tbrMain_);
  column->addWidget(vertical, 1);
  setCentralWidget(central);
  BuildMenus();
  BuildStatusBar();
  ConnectJobs();

  // Closing the disc never carries over from one run to the next.
  ResetCloseDisc(SettingsFilePath(), veskb, [this](const std::string& line) { Log(line); });

  SetSkinOn(true);

  setWindowTitle(QStringLiteral("ZAMO  v.") + VersionText() + QStringLiteral("    Gravure sur CD/DVD"));
  setWindowIcon(ProgramIcon());
  // 727 × 550 pixels of client area, wider when the toolbar's captions need
  // it in the desktop's font (no button should hide behind its overflow).
  resize(std::max(kClientWidth, tbrMain_->sizeHint().width()), kClientHeight + menuBar()->sizeHint().height());
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

TForm1::~TForm1() {
  qApp->removeEventFilter(this);
  // No thread waits for a line any more. The handlers stay: the component,
  // destroyed before the sink, stops its threads first.
  log_sink_->Close();
}

void TForm1::WireComponent() {
  LogSink* sink = log_sink_.get();
  veskb.OnDebugMessage = [sink](TObject*, const std::string& message, uint8_t) {
    sink->Post(QString::fromStdString(message));
  };
  // Calls the component runs "on the user-interface thread" are posted to
  // the log sink, which lives there.
  veskb.Dispatcher = [sink](std::function<void()> call) {
    QMetaObject::invokeMethod(sink, [call = std::move(call)] { call(); }, Qt::QueuedConnection);
  };
  // A job's start waits on the GUI thread for the read-ahead cache to fill:
  // the window repaints meanwhile (user input waits, as in the other steps
  // of a job's preparation, so nothing else starts).
  veskb.WhileStarting = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
  veskb.OnFinalizingTrack = [this](TObject*) { Log(">>> FERMETURE DE LA SESSION..."); };
  veskb.OnWriteDone = [this](TObject*, const std::string& error) { veskbWriteDone(error); };
  veskb.OnEraseDone = [this](TObject*, bool with_error) { veskbEraseDone(with_error); };
  // The checks on each file and folder while a compilation is built; the
  // size label shows the running total.
  add_checks_ = std::make_unique<TAddChecks>(
      veskb, [this](const std::string& line) { Log(line); },
      [this](const std::string& text) {
        if (lSize_ != nullptr) lSize_->setText(QString::fromStdString(text));
      });
  add_checks_->Connect();
}

void TForm1::Log(const std::string& line) {
  veskb.DebugMessage(line, line.starts_with(">>> ") ? kMsgInfo : kMsgStatus);
}

void TForm1::BuildTopBar(QWidget* parent) {
  top_bar_ = new QWidget(parent);
  top_bar_->setObjectName(QStringLiteral("topBar"));
  auto* row = new QHBoxLayout(top_bar_);
  row->setContentsMargins(6, 4, 6, 4);
  drive_label_ = new QLabel(QStringLiteral(" Disque :"), top_bar_);
  drive_label_->setObjectName(QStringLiteral("lDrive"));
  SetHint(drive_label_, QStringLiteral("Lecteur disponible."));

  cbDrives_ = new QComboBox(top_bar_);
  cbDrives_->setObjectName(QStringLiteral("cbDrives"));
  cbDrives_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  cbDrives_->setMinimumContentsLength(44);
  cbDrives_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  SetHint(cbDrives_, QStringLiteral("Dispositif lecture/écriture CD/DVD installé. "));
  connect(cbDrives_, &QComboBox::currentIndexChanged, this, [this](int) { cbDrivesChange(); });

  // The speed list is filled each time it opens, for the disc then in the drive.
  class SpeedBox : public QComboBox {
   public:
    SpeedBox(QWidget* parent, TForm1* form) : QComboBox(parent), form_(form) {}
    void showPopup() override {
      form_->FillSpeedList();
      QComboBox::showPopup();
    }

   private:
    TForm1* form_;
  };
  cbSpeed_ = new SpeedBox(top_bar_, this);
  cbSpeed_->setObjectName(QStringLiteral("cbSpeed"));
  cbSpeed_->addItem(QStringLiteral("Max"));
  cbSpeed_->setMinimumContentsLength(18);
  cbSpeed_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  SetHint(cbSpeed_, QStringLiteral("Vitesse d'écriture sur le CD/DVD"));

  help_link_ = new QLabel(QStringLiteral("<a href=\"help\">Aide et support</a>"), top_bar_);
  help_link_->setObjectName(QStringLiteral("lHelpLink"));
  help_link_->setTextFormat(Qt::RichText);
  SetHint(help_link_, QStringLiteral("Support ou aide"));
  connect(help_link_, &QLabel::linkActivated, this, [] { OpenHelp(); });

  row->addWidget(drive_label_);
  row->addWidget(cbDrives_, 1);
  row->addWidget(cbSpeed_);
  row->addStretch();
  row->addWidget(help_link_);
}

void TForm1::BuildToolBar(QWidget* parent) {
  tbrMain_ = new QToolBar(parent);
  tbrMain_->setObjectName(QStringLiteral("tbrMain"));
  tbrMain_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  tbrMain_->setIconSize(QSize(24, 24));
  for (const ToolDef& tool : kTools) {
    if (tool.name == nullptr) {
      tbrMain_->addSeparator();
      continue;
    }
    auto* action = new QAction(ToolIcon(tool.name), QString::fromUtf8(tool.caption), tbrMain_);
    action->setObjectName(QString::fromUtf8(tool.name) + QStringLiteral("Action"));
    SetHint(action, QString::fromUtf8(tool.hint));
    auto* button = new QToolButton(tbrMain_);
    button->setObjectName(QString::fromUtf8(tool.name));
    button->setDefaultAction(action);
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    SetHint(button, QString::fromUtf8(tool.hint));
    tbrMain_->addWidget(button);
  }
  auto button = [this](const char* name) { return tbrMain_->findChild<QToolButton*>(QString::fromUtf8(name)); };

  // Graver/Vérifier: its drop-down part holds the space check.
  burn_button_ = button("bCBurn");
  auto* verify_menu = new QMenu(burn_button_);
  QAction* verify = verify_menu->addAction(QStringLiteral("Vérifier seulement"));
  verify->setObjectName(QStringLiteral("verifyOnlyAction"));
  burn_button_->setMenu(verify_menu);
  burn_button_->setPopupMode(QToolButton::MenuButtonPopup);

  for (const BalloonDef& balloon : kBalloons) {
    AttachBalloon(button(balloon.button), QString::fromUtf8(balloon.title), QString::fromUtf8(balloon.text));
  }

  connect(button("bLoad")->defaultAction(), &QAction::triggered, this, [this] { bLoadClick(); });
  connect(button("bEject")->defaultAction(), &QAction::triggered, this, [this] { bEjectClick(); });
  connect(button("bReady")->defaultAction(), &QAction::triggered, this, [this] { bReadyClick(); });

  connect(button("bTopo")->defaultAction(), &QAction::triggered, this, [this] { ShowCapabilities(); });
  connect(button("bOptions")->defaultAction(), &QAction::triggered, this, [this] { ShowOptions(); });
  // The jobs' buttons are connected with the menus' (ConnectJobs).
}

void TForm1::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("MainMenu1"));
  auto add = [](QMenu* menu, const char* name, const char* text) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setObjectName(QString::fromUtf8(name));
    return action;
  };

  QMenu* file = bar->addMenu(QStringLiteral("&Fichier"));
  file->setObjectName(QStringLiteral("mFile"));
  connect(add(file, "mQuit", "Sortir"), &QAction::triggered, this, &QWidget::close);

  BuildExplorerMenu();

  QMenu* burn = bar->addMenu(QStringLiteral("Gravure"));
  burn->setObjectName(QStringLiteral("mBurn"));
  for (auto [name, text] : {std::pair{"mBurnList", "Graver"},
                            {"mVerifyOnly", "Vérifier la capacité seulement"},
                            {"mDriveProperties", "Propriétés du CD/DVD"},
                            {"mOptions", "Options"},
                            {"mDiscContent", "Contenu du CD/DVD"},
                            {"mSaveIso", "Créer une image ISO"},
                            {"mBurnIso", "Graver une image ISO"},
                            {"mQuickErase", "Effacer rapidement"},
                            {"mFullErase", "Effacer minutieusement"}}) {
    add(burn, name, text);
  }
  // The jobs' entries are connected with the toolbar's (ConnectJobs).
  connect(burn->findChild<QAction*>(QStringLiteral("mDriveProperties")), &QAction::triggered, this,
          [this] { ShowCapabilities(); });
  connect(burn->findChild<QAction*>(QStringLiteral("mOptions")), &QAction::triggered, this,
          [this] { ShowOptions(); });

  QMenu* network = bar->addMenu(QStringLiteral("Postes en Réseau"));
  network->setObjectName(QStringLiteral("mNetwork"));
  QAction* connect_share = add(network, "mNetConnect", "Se connecter à un poste en réseau");
  QAction* disconnect_share = add(network, "mNetDisconnect", "Se déconnecter d'un poste en réseau");
  connect(connect_share, &QAction::triggered, this, [this] { OpenNetworkPlaces(); });
  connect(disconnect_share, &QAction::triggered, this, [this] { OpenNetworkPlaces(); });
  // Whether a file manager can show the network is asked when the menu opens.
  connect(network, &QMenu::aboutToShow, this, [connect_share, disconnect_share] {
    const bool available = !QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty() &&
                           !QStandardPaths::findExecutable(QStringLiteral("gio")).isEmpty();
    for (QAction* action : {connect_share, disconnect_share}) {
      action->setEnabled(available);
      SetHint(action, available ? QStringLiteral("Ouvre les emplacements réseau dans le gestionnaire de fichiers.")
                                : QStringLiteral("Aucun gestionnaire de fichiers ne peut afficher le réseau sur "
                                                 "ce système (xdg-open et gio sont absents)."));
    }
  });

  QMenu* help = bar->addMenu(QStringLiteral("Aide"));
  help->setObjectName(QStringLiteral("mHelp"));
  connect(add(help, "mAbout", "À Propos && Mise à jour..."), &QAction::triggered, this, [this] { ShowAbout(); });
  connect(add(help, "mHelpFile", "Aide"), &QAction::triggered, this, [] { OpenHelp(); });
}

// The shell browser's settings; the check marks show its states.
void TForm1::BuildExplorerMenu() {
  auto add = [](QMenu* menu, const char* name, const char* text) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setObjectName(QString::fromUtf8(name));
    return action;
  };
  TShellBrowser* browser = shell_browser_;
  explorer_menu_ = menuBar()->addMenu(QStringLiteral("Explorateur"));
  explorer_menu_->setObjectName(QStringLiteral("mExplorer"));
  QMenu* root = explorer_menu_->addMenu(QStringLiteral("&Racine >>"));
  root->setObjectName(QStringLiteral("mRoot"));
  connect(add(root, "mRootDrives", "Disques"), &QAction::triggered, browser, &TShellBrowser::ShowDrives);
  connect(add(root, "mRootDesktop", "Bureau"), &QAction::triggered, browser, &TShellBrowser::ShowDesktop);
  connect(add(root, "mRootDocuments", "Mes Documents"), &QAction::triggered, browser, &TShellBrowser::ShowDocuments);
  connect(add(root, "mRootChoose", "&Choisir..."), &QAction::triggered, browser, &TShellBrowser::ChooseFolder);
  QMenu* options = explorer_menu_->addMenu(QStringLiteral("&Options"));
  options->setObjectName(QStringLiteral("mBrowserOptions"));
  QAction* auto_refresh = add(options, "mAutoRefresh", "&Actualiser automatique");
  QAction* desktop_menu = add(options, "mShellMenu", "Menu Contextuel Windows");
  QAction* hidden = add(options, "mShowHidden", "Montrer les Fichiers cachés");
  for (QAction* action : {auto_refresh, desktop_menu, hidden}) action->setCheckable(true);
  auto_refresh->setChecked(browser->AutoRefresh());
  desktop_menu->setChecked(browser->DesktopMenu());
  hidden->setChecked(browser->ShowHidden());
  connect(auto_refresh, &QAction::toggled, browser, &TShellBrowser::SetAutoRefresh);
  connect(desktop_menu, &QAction::toggled, browser, &TShellBrowser::SetDesktopMenu);
  connect(hidden, &QAction::toggled, browser, &TShellBrowser::SetShowHidden);
  connect(add(explorer_menu_, "mRefreshAll", "Tout actualiser"), &QAction::triggered, browser,
          &TShellBrowser::RefreshAll);
}

void TForm1::BuildCentre(QSplitter* splitter) {
  shell_browser_ = new TShellBrowser(TShellBrowser::TRole::kFileSource, splitter);
  shell_browser_->setObjectName(QStringLiteral("ShellBrowser"));
  centre_tabs_ = new QTabWidget(splitter);
  centre_tabs_->setObjectName(QStringLiteral("centreTabs"));
  // The path box's state goes to the settings file at each click.
  file_list_ = new TFileList(
      veskb,
      [this](Qt::CheckState state) {
        options_.SavePath = state;
        WriteSavePath(SettingsFilePath(), state, [this](const std::string& line) { Log(line); });
      },
      centre_tabs_);
  file_list_->setObjectName(QStringLiteral("FileList"));
  computer_view_ = new TShellBrowser(TShellBrowser::TRole::kComputer, centre_tabs_);
  computer_view_->setObjectName(QStringLiteral("ComputerView"));
  centre_tabs_->addTab(file_list_, QStringLiteral("Fichiers à graver"));
  centre_tabs_->addTab(computer_view_, QStringLiteral("Poste de Travail"));
  splitter->setStretchFactor(0, 2);
  splitter->setStretchFactor(1, 3);
  splitter->setSizes({290, 437});

  // Their texts for the status bar; a drop being measured is shown at once,
  // since the walk that follows holds the thread.
  const auto show = [this](const QString& text) {
    panelbottom_->showMessage(text);
    panelbottom_->repaint();
  };
  connect(file_list_, &TFileList::statusMessage, this, show);
  connect(shell_browser_, &TShellBrowser::statusMessage, this, show);
  connect(computer_view_, &TShellBrowser::statusMessage, this, show);
  connect(file_list_->PrintAction(), &QAction::triggered, this, [this] { PrintList(); });
}

void TForm1::AddPaths(const QStringList& paths) {
  // A path relative to the folder the program was started in is made whole.
  QStringList whole;
  for (const QString& path : paths) whole << QDir::cleanPath(QDir::current().absoluteFilePath(path));
  if (!whole.isEmpty()) file_list_->AddPaths(whole);
}

void TForm1::BuildLogPane(QSplitter* splitter) {
  Memo1_ = new QPlainTextEdit(splitter);
  Memo1_->setObjectName(QStringLiteral("Memo1"));
  Memo1_->setReadOnly(true);
  Memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1_->setUndoRedoEnabled(false);
  Memo1_->setMinimumHeight(60);
  SetHint(Memo1_, QStringLiteral("Log"));

  auto* clear = new QAction(QStringLiteral("Vider le Log"), this);
  clear->setObjectName(QStringLiteral("ClearLogAction"));
  clear->setShortcut(QKeySequence(Qt::Key_F8));
  clear->setShortcutContext(Qt::WindowShortcut);
  connect(clear, &QAction::triggered, this, [this] { ClearLog(); });
  addAction(clear);
  Memo1_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(Memo1_, &QWidget::customContextMenuRequested, this, [this, clear](const QPoint& at) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("LogMenu"));
    menu.addAction(clear);
    menu.exec(Memo1_->mapToGlobal(at));
  });

  auto* copy_all = new QAction(this);
  copy_all->setObjectName(QStringLiteral("CopyLogAction"));
  copy_all->setShortcut(QKeySequence(Qt::Key_F5));
  copy_all->setShortcutContext(Qt::WindowShortcut);
  connect(copy_all, &QAction::triggered, this, [this] { CopyLogToClipboard(); });
  addAction(copy_all);
}

void TForm1::BuildStatusBar() {
  panelbottom_ = new QStatusBar(this);
  panelbottom_->setObjectName(QStringLiteral("panelbottom"));
  setStatusBar(panelbottom_);

  pcd_ = new QProgressBar(panelbottom_);
  pcd_->setObjectName(QStringLiteral("pcd"));
  pcd_->setFixedWidth(140);
  pcd_->setTextVisible(false);
  pcd_->hide();
  SetHint(pcd_, QStringLiteral("Progression"));

  lSize_ = new QLabel(QStringLiteral("Dim."), panelbottom_);
  lSize_->setObjectName(QStringLiteral("lSize"));
  lSize_->setMinimumWidth(60);
  SetHint(lSize_, QStringLiteral("Progression écriture en nombre de bytes"));

  bAbort_ = new QPushButton(QStringLiteral(" Annuler"), panelbottom_);
  bAbort_->setObjectName(QStringLiteral("bAbort"));
  QFont bold = bAbort_->font();
  bold.setBold(true);
  bAbort_->setFont(bold);
  QPalette red = bAbort_->palette();
  red.setColor(QPalette::ButtonText, Qt::red);
  bAbort_->setPalette(red);
  bAbort_->hide();
  SetHint(bAbort_, QStringLiteral("Mettre fin aux opérations d'écriture. Voir Aide. "));

  pBuf_ = new QProgressBar(panelbottom_);
  pBuf_->setObjectName(QStringLiteral("pBuf"));
  pBuf_->setRange(0, 100);
  pBuf_->setValue(0);
  pBuf_->setFixedWidth(60);
  pBuf_->setTextVisible(false);
  SetHint(pBuf_, QStringLiteral("Zone tampon en écriture"));

  pHBuf_ = new QProgressBar(panelbottom_);
  pHBuf_->setObjectName(QStringLiteral("pHBuf"));
  pHBuf_->setRange(0, 100);
  pHBuf_->setValue(0);
  pHBuf_->setFixedWidth(60);
  pHBuf_->setTextVisible(false);
  SetHint(pHBuf_, QStringLiteral(" Progression zone tampon"));

  for (QWidget* widget : std::initializer_list<QWidget*>{pcd_, lSize_, bAbort_, pBuf_, pHBuf_}) {
    panelbottom_->addPermanentWidget(widget);
  }
}

// ---- Start-up -------------------------------------------------------------------

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_once_ || event->spontaneous()) return;
  shown_once_ = true;
  FormShow();
}

void TForm1::FormShow() {
  Log(">>> " + windowTitle().toStdString());
  // Configured emulated recorders are what the user asked for: the
  // pass-through back end is only tried first without them (as zamo-cli).
  const char* emulated = std::getenv("ZAMO_EMULATED_DRIVES");
  veskb.InitializeASPI(emulated == nullptr || *emulated == '\0', std::string());
  transport_ready_ = veskb.ASPIInitialized();
  if (!transport_ready_) {
    UpdateJobControls();
    // After the window is on the screen, so that the message lies over it.
    QTimer::singleShot(0, this, [this] { ShowTransportFailure(); });
    return;
  }
  if (!veskb.Devices.empty()) {
    {
      const QSignalBlocker quiet(cbDrives_);
      for (const std::string& line : veskb.Devices) cbDrives_->addItem(QString::fromStdString(line));
      cbDrives_->setCurrentIndex(0);
    }
    cbDrivesChange();
  }
  LoadSettings(SettingsFilePath(), options_, veskb);
  file_list_->SetPathState(options_.SavePath);
  Log(" ");
  TSCSIDevice::SetReleaseHandles(true);
}

void TForm1::ShowTransportFailure() {
  QString text = kAspiFailure + HelpUrl().toString();
  text += QStringLiteral(
      "\n\nAucun graveur de CD/DVD n'a été trouvé. Sans graveur, des graveurs émulés peuvent le remplacer : "
      "ZAMO_EMULATED_DRIVES=\"cd-r:/tmp/cd.img;dvd+rw:/tmp/dvd.img\" (voir l'aide, chapitre « Graveurs émulés »).");
  if (!EmulatorError().empty()) text += QStringLiteral("\n\n") + QString::fromStdString(EmulatorError());
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kAppTitle), text, QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("transportFailureBox"));
  box.exec();
}

void TForm1::cbDrivesChange() {
  const QString line = cbDrives_->currentText();
  veskb.SelectDevice(line.toStdString());
  SetHint(cbDrives_, line);
  const std::string node = veskb.GetDevicePath();
  drive_label_->setText(node.empty() ? QStringLiteral("  Disque :")
                                     : QStringLiteral("Disque ") + QString::fromStdString(node) + QLatin1Char(':'));
  drive_can_burn_ = CapabilitiesAllowBurn(veskb.Capabilities);
  UpdateJobControls();
}

// ---- Speeds -----------------------------------------------------------------------

void TForm1::FillSpeedList() {
  const bool cd = UsesCdScale(veskb.GetDiscType());
  const int kept = cbSpeed_->currentIndex();
  // "#,##0": the thousands are always grouped, with the locale's separator.
  QLocale locale;
  locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
  QStringList entries{QStringLiteral("Max")};
  int speed = veskb.GetMaxWriteSpeed();
  while (speed > 0) {
    veskb.SetWriteSpeed(static_cast<uint16_t>(speed));
    const int reached = veskb.GetCurrentWriteSpeed();
    const QString x = cd ? locale.toString(reached / kCdX, 'f', 0) : locale.toString(reached / kDvdX, 'f', 1);
    const QString entry = x + QStringLiteral("X (") + locale.toString(reached) + QStringLiteral(" KB/s)");
    if (!entries.contains(entry)) entries << entry;
    speed -= cd ? kCdSpeedStep : kDvdSpeedStep;
  }
  const QSignalBlocker quiet(cbSpeed_);
  cbSpeed_->clear();
  cbSpeed_->addItems(entries);
  cbSpeed_->setCurrentIndex(kept >= 0 && kept < cbSpeed_->count() ? kept : 0);
}

int TForm1::SpeedTextToKBs(const QString& text) {
  if (text.isEmpty() || text == QStringLiteral("Max")) return 0;
  const int x = text.indexOf(QLatin1Char('X'));
  bool ok = false;
  const double number = QLocale().toDouble(text.left(x < 0 ? text.size() : x).trimmed(), &ok);
  // A text that is no number asks for nothing in particular: the maximum.
  if (!ok) return 0;
  const int factor = UsesCdScale(veskb.GetDiscType()) ? kCdJobX : kDvdJobX;
  return static_cast<int>(std::lround(number * factor));
}

// ---- Tray and readiness -----------------------------------------------------------

void TForm1::bLoadClick() {
  if (veskb.LoadEject(false)) Log(">>> MÉDIA CHARGÉ: - OK.");
}

void TForm1::bEjectClick() { Log(EjectMedium() ? ">>> MÉDIA ÉJECTÉ: - OK." : ">>> MÉDIA ÉJECTÉ: - ÉCHEC."); }

bool TForm1::EjectMedium() {
  // The drive may take up to 300 s to write its cache out. The flush also
  // takes the unit attention a disc loaded since the last command left,
  // which would otherwise refuse the eject.
  veskb.SynchronizeCache(300000, false);
  veskb.PreventAllowRemoval(true);
  return veskb.LoadEject(true);
}

void TForm1::bReadyClick() {
  Log(veskb.TestUnitReady(5000) ? ">>> L'UNITÉ MEDIA/GRAVEUR EST PRÊTE"
                                : ">>> L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE ");
}

void TForm1::OpenNetworkPlaces() {
  QProcess::startDetached(QStringLiteral("xdg-open"), {QStringLiteral("network:///")});
}

void TForm1::ShowCapabilities() {
  TForm2 window(veskb, this);
  window.exec();
}

void TForm1::ShowOptions() {
  // The dialog shows the application options (EjectDisc, ShowFiles and
  // ImportSession among them) and the component's, and writes the file.
  TfrmSettings dialog(options_, veskb, SettingsFilePath(), this);
  dialog.exec();
}

void TForm1::PrintList() {
  // The printer is kept, so that the user's choice of printer stays.
  if (!printer_) printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  PrintListview(PrintListOf(file_list_->Box()), *printer_, this);
}

void TForm1::ShowAbout() {
  TAboutBox box(this);
  box.exec();
}

// ---- Log --------------------------------------------------------------------------

void TForm1::CopyLogToClipboard() {
  log_sink_->Flush();
  Memo1_->selectAll();
  QGuiApplication::clipboard()->setText(Memo1_->toPlainText());
}

void TForm1::ClearLog() {
  log_sink_->Flush();  // what was logged before the key goes too
  Memo1_->clear();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::ToolTip:
      return true;  // hints go to the status bar instead
    case QEvent::StatusTip: {
      // Hints of the program's other windows show in this status bar too.
      auto* widget = qobject_cast<QWidget*>(watched);
      if (widget != nullptr && widget->isWindow() && widget != this && panelbottom_ != nullptr) {
        panelbottom_->showMessage(static_cast<QStatusTipEvent*>(event)->tip());
      }
      break;
    }
    default:
      break;
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace zamo
