// The main window over emulated recorders: start-up and its log, the
// recorder and speed lists, the burn button's rule, a transport that cannot
// start, the log pane's keys, log lines from many threads, the tray and
// readiness jobs, balloons, hints and the about box.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/about_box.h"
#include "app/balloon.h"
#include "app/capabilities_window.h"
#include "app/file_list.h"
#include "app/list_printer.h"
#include "app/options_dialog.h"
#include "app/main_window.h"
#include "app/shell_browser.h"
#include "app/skin.h"
#include "burner/drive/transport.h"
#include "tests/app/main_window_fixture.h"
#include "tests/app/modal.h"
#include "tests/support/temp_dir.h"

// QString in failure messages as text (internal: other suites may print it too).
static void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace zamo {
namespace {

using test::WaitFor;
using test::WhenModal;

class MainWindowTest : public test::MainWindowFixture {
 protected:
  void TearDown() override {
    MainWindowFixture::TearDown();
    QLocale::setDefault(QLocale::c());
  }

  void Start(const std::vector<std::string>& drives) { ShowWindow(drives); }
  QPlainTextEdit* Memo() { return Child<QPlainTextEdit>("Memo1"); }
  QString LastLine() { return LogLines().constLast(); }
  QToolButton* Tool(const char* name) { return Child<QToolButton>(name); }
  void ChooseDrive(int index) { Child<QComboBox>("cbDrives")->setCurrentIndex(index); }
  QStringList SpeedEntries() {
    auto* speed = Child<QComboBox>("cbSpeed");
    speed->showPopup();
    speed->hidePopup();
    QStringList entries;
    for (int i = 0; i < speed->count(); ++i) entries << speed->itemText(i);
    return entries;
  }

};

// ---- Start-up -----------------------------------------------------------------

TEST_F(MainWindowTest, StartUpCaptionLogAndRecorderList) {
  Start({"cd-r", "dvd+rw,model=DVD WRITER"});
  const QString caption = QStringLiteral("ZAMO  v.") + VersionText() + QStringLiteral("    Gravure sur CD/DVD");
  EXPECT_EQ(form_->windowTitle(), caption);
  EXPECT_TRUE(VersionText().startsWith(QStringLiteral(ZAMO_VERSION) + QLatin1Char('.')));
  EXPECT_EQ(VersionText().count(QLatin1Char('.')), 3);

  const QStringList lines = LogLines();
  ASSERT_GE(lines.size(), 2);
  EXPECT_EQ(lines.first(), QStringLiteral(">>> ") + caption);
  EXPECT_EQ(lines.last(), QStringLiteral(" "));  // the separator closes the start-up
  EXPECT_TRUE(lines.contains(QStringLiteral(">>> ZAMOEMU")));  // the transport, said with DoDebug on
  EXPECT_TRUE(transport::ReleaseHandles.load());

  auto* drives = Child<QComboBox>("cbDrives");
  ASSERT_EQ(drives->count(), 2);
  EXPECT_EQ(drives->itemText(0), QStringLiteral("0:0:0,emu0: ZAMO    VIRTUAL RECORDER1.00"));
  EXPECT_EQ(drives->itemText(1), QStringLiteral("0:1:0,emu1: ZAMO    DVD WRITER      1.00"));
  EXPECT_EQ(drives->currentIndex(), 0);
  EXPECT_EQ(form_->Burner().DeviceString, drives->itemText(0).toStdString());
  EXPECT_EQ(Child<QLabel>("lDrive")->text(), QStringLiteral("Disque emu0:"));
  EXPECT_EQ(drives->statusTip(), drives->itemText(0));  // the hint follows the choice

  ChooseDrive(1);
  EXPECT_EQ(form_->Burner().DeviceString, drives->itemText(1).toStdString());
  EXPECT_EQ(Child<QLabel>("lDrive")->text(), QStringLiteral("Disque emu1:"));
  EXPECT_EQ(drives->statusTip(), drives->itemText(1));

  EXPECT_EQ(Child<QComboBox>("cbSpeed")->currentText(), QStringLiteral("Max"));
  EXPECT_TRUE(Child<QPushButton>("bAbort")->isHidden());
  EXPECT_TRUE(Child<QWidget>("pcd")->isHidden());
  EXPECT_EQ(Child<QLabel>("lSize")->text(), QStringLiteral("Dim."));
}

// With no transport the bars stay disabled and the message points to the help.
TEST_F(MainWindowTest, TransportFailingAtStartUp) {
  for (const char* emulated : {"", "bogus-kind:/nowhere.img"}) {
    SCOPED_TRACE(emulated);
    if (*emulated) {
      setenv("ZAMO_EMULATED_DRIVES", emulated, 1);
    } else {
      unsetenv("ZAMO_EMULATED_DRIVES");
    }
    transport::SetPassThroughFactory([] { return std::unique_ptr<TAspiBackEnd>(); });
    QString message, caption;
    WhenModal<QWidget>([&](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      ASSERT_NE(box, nullptr);
      message = box->text();
      caption = box->windowTitle();
      box->accept();
    });
    form_ = std::make_unique<TForm1>();
    form_->show();
    ASSERT_TRUE(WaitFor([&] { return !message.isEmpty(); }));
    EXPECT_FALSE(form_->TransportReady());
    EXPECT_TRUE(message.startsWith(QStringLiteral("Erreur d'initialisation ASPI, Laissez un message sur ") +
                                   HelpUrl().toString()))
        << message.toStdString() << "\n" << HelpUrl().toString().toStdString();
    EXPECT_TRUE(QFileInfo::exists(HelpUrl().toLocalFile())) << HelpUrl().toString().toStdString();
    EXPECT_EQ(caption, QString::fromUtf8(kAppTitle));
    if (*emulated) {
      EXPECT_TRUE(message.contains(QStringLiteral("bogus-kind"))) << message.toStdString();
    }
    EXPECT_FALSE(Child<QWidget>("topBar")->isEnabled());
    EXPECT_FALSE(Child<QToolBar>("tbrMain")->isEnabled());
    EXPECT_EQ(Child<QComboBox>("cbDrives")->count(), 0);
    // The start-up stopped: no separator line.
    EXPECT_EQ(LogLines(), QStringList{QStringLiteral(">>> ") + form_->windowTitle()});
    form_.reset();
  }
}

// ---- Speeds ---------------------------------------------------------------------

TEST_F(MainWindowTest, SpeedListOnACdAndADvdKeepsTheChosenIndex) {
  QLocale::setDefault(QLocale::c());
  Start({"cd-r", "dvd+rw"});
  const QStringList cd = {"Max",
                          "48X (8,467 KB/s)",
                          "40X (7,056 KB/s)",
                          "32X (5,645 KB/s)",
                          "24X (4,234 KB/s)",
                          "16X (2,822 KB/s)",
                          "8X (1,411 KB/s)",
                          "4X (706 KB/s)"};
  EXPECT_EQ(SpeedEntries(), cd);
  auto* speed = Child<QComboBox>("cbSpeed");
  speed->setCurrentIndex(5);
  EXPECT_EQ(SpeedEntries(), cd);  // opened again: the same entries
  EXPECT_EQ(speed->currentIndex(), 5);

  ChooseDrive(1);
  const QStringList dvd = {"Max", "8.0X (11,080 KB/s)", "6.0X (8,310 KB/s)", "4.0X (5,540 KB/s)"};
  EXPECT_EQ(SpeedEntries(), dvd);
  EXPECT_EQ(speed->currentIndex(), 0);  // index 5 is gone: "Max"
  speed->setCurrentIndex(2);
  ChooseDrive(0);
  EXPECT_EQ(SpeedEntries(), cd);
  EXPECT_EQ(speed->currentText(), QStringLiteral("40X (7,056 KB/s)"));  // the index, not the text, is kept
}

TEST_F(MainWindowTest, SpeedListUsesTheLocalesSeparators) {
  QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
  Start({"dvd+rw"});
  const QString group = QLocale().groupSeparator();
  EXPECT_EQ(SpeedEntries(), (QStringList{"Max", "8,0X (11" + group + "080 KB/s)", "6,0X (8" + group + "310 KB/s)",
                                         "4,0X (5" + group + "540 KB/s)"}));
}

// The speed sent for a job: 177 KB/s per X on a CD (not the 176.4 shown),
// 1385 on a DVD, the number read with the locale's decimal separator.
TEST_F(MainWindowTest, SpeedTextToKBs) {
  struct Case {
    QLocale locale;
    int drive;
    QString text;
    int kbs;
  };
  Start({"cd-r", "dvd+rw"});
  const Case cases[] = {
      {QLocale::c(), 0, QStringLiteral("16X (2,822 KB/s)"), 2832},
      {QLocale::c(), 0, QStringLiteral("48X (8,467 KB/s)"), 8496},
      {QLocale::c(), 0, QStringLiteral("Max"), 0},
      {QLocale::c(), 0, QString(), 0},
      {QLocale(QLocale::French), 0, QStringLiteral("16X (2 822 KB/s)"), 2832},
      {QLocale(QLocale::French), 1, QStringLiteral("8,0X (11 080 KB/s)"), 11080},
      {QLocale::c(), 1, QStringLiteral("8.0X (11,080 KB/s)"), 11080},
      {QLocale::c(), 1, QStringLiteral("6.0X (8,310 KB/s)"), 8310},
      {QLocale::c(), 1, QStringLiteral("Max"), 0},
  };
  for (const Case& c : cases) {
    QLocale::setDefault(c.locale);
    ChooseDrive(c.drive);
    EXPECT_EQ(form_->SpeedTextToKBs(c.text), c.kbs) << c.text.toStdString() << " " << c.locale.name().toStdString();
  }
}

// ---- The burn button's rule -----------------------------------------------------

TEST_F(MainWindowTest, BurnRuleFollowsTheDrivesCapabilities) {
  struct Case {
    const char* drive;
    bool can_burn;
  };
  const Case cases[] = {
      {"cd-r", true},  {"dvd+r,writes=cd-r", true},     {"dvd+r,writes=dvd-r", true},
      {"dvd+r,writes=dvd-ram", true}, {"dvd+r,writes=dvd+r", false}, {"dvd+rw,writes=dvd+r/dvd+rw/dvd+r-dl", false},
      {"cd-r,writes=none", false},
  };
  std::vector<std::string> drives;
  for (const Case& c : cases) drives.push_back(c.drive);
  Start(drives);
  ASSERT_EQ(Child<QComboBox>("cbDrives")->count(), static_cast<int>(std::size(cases)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    ChooseDrive(static_cast<int>(i));
    EXPECT_EQ(form_->DriveCanBurn(), cases[i].can_burn) << cases[i].drive;
    // The button and the menu's "Graver" burn only on such a drive.
    EXPECT_EQ(Tool("bCBurn")->isEnabled(), cases[i].can_burn) << cases[i].drive;
    EXPECT_EQ(Child<QAction>("mBurnList")->isEnabled(), cases[i].can_burn) << cases[i].drive;
    EXPECT_TRUE(Child<QAction>("mVerifyOnly")->isEnabled()) << cases[i].drive;
  }
}

// The toolbar's buttons in their order, every job available once idle.
TEST_F(MainWindowTest, ToolbarButtonsAndJobEntries) {
  Start({"cd-r"});
  const QStringList captions = {"Effacer.R", "Effacer.C", "C.ISO",   "G.ISO",  "Topo",           "Contenu",
                                "Options",   "Charger",   "Ejecter", "Prêt?", "Graver/Vérifier"};
  QStringList shown;
  for (QAction* action : Child<QToolBar>("tbrMain")->actions()) {
    if (auto* button = qobject_cast<QToolButton*>(Child<QToolBar>("tbrMain")->widgetForAction(action))) {
      shown << button->text();
      EXPECT_TRUE(button->isEnabled()) << button->text().toStdString();
    }
  }
  EXPECT_EQ(shown, captions);
  ASSERT_NE(Tool("bCBurn")->menu(), nullptr);
  EXPECT_EQ(Tool("bCBurn")->menu()->actions().value(0)->text(), QStringLiteral("Vérifier seulement"));
  EXPECT_TRUE(Tool("bCBurn")->menu()->actions().value(0)->isEnabled());
  for (const char* entry : {"mBurnList", "mVerifyOnly", "mDiscContent", "mSaveIso", "mBurnIso", "mQuickErase",
                            "mFullErase", "mOptions", "mDriveProperties"}) {
    EXPECT_TRUE(Child<QAction>(entry)->isEnabled()) << entry;
  }
}

// "Topo" and "Propriétés du CD/DVD" show the chosen drive's capabilities.
TEST_F(MainWindowTest, TopoOpensTheCapabilitiesWindowOfTheChosenDrive) {
  Start({"cd-r", "dvd+r,writes=dvd+r/dvd+rw"});
  ChooseDrive(1);
  for (const char* how : {"toolbar", "menu"}) {
    QString shown;
    WhenModal<QWidget>([&](QWidget* modal) {
      if (qobject_cast<TForm2*>(modal) != nullptr) {
        for (QLabel* label : modal->findChildren<QLabel*>()) shown += label->text() + QLatin1Char('\n');
      }
      modal->close();
    });
    if (std::string(how) == "toolbar") {
      Click("bTopo");
    } else {
      Child<QAction>("mDriveProperties")->trigger();
    }
    EXPECT_TRUE(shown.contains(QStringLiteral("emu1"))) << how << ": " << shown.toStdString();
  }
}

// "Options" opens the options dialog with the window's application options.
TEST_F(MainWindowTest, OptionsOpensTheDialogWithTheApplicationOptions) {
  Start({"cd-r"});
  for (const char* how : {"toolbar", "menu"}) {
    const bool on = std::string(how) == "toolbar";
    form_->AppOptions().EjectDisc = on;
    form_->AppOptions().ShowFiles = !on;
    form_->AppOptions().ImportSession = on;
    std::vector<bool> ticked;
    WhenModal<QWidget>([&](QWidget* modal) {
      if (qobject_cast<TfrmSettings*>(modal) != nullptr) {
        for (const char* box : {"cEject", "cShowFiles", "cImportSession"}) {
          auto* check = modal->findChild<QCheckBox*>(QString::fromUtf8(box));
          ticked.push_back(check != nullptr && check->isChecked());
        }
      }
      modal->close();  // cancelled: nothing changes
    });
    if (on) {
      Click("bOptions");
    } else {
      Child<QAction>("mOptions")->trigger();
    }
    EXPECT_EQ(ticked, (std::vector<bool>{on, !on, on})) << how;
    EXPECT_EQ(form_->AppOptions().EjectDisc, on) << how;
  }
}

// ---- Log pane -------------------------------------------------------------------

TEST_F(MainWindowTest, F5CopiesTheWholeLogAndF8ClearsIt) {
  Start({"cd-r"});
  form_->Log(">>> une ligne");
  form_->Log("une autre");
  form_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form_.get()));
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(Child<QComboBox>("cbDrives"), Qt::Key_F5);  // anywhere in the window
  const QString copied = QGuiApplication::clipboard()->text();
  EXPECT_EQ(copied, Memo()->toPlainText());
  EXPECT_TRUE(copied.startsWith(QStringLiteral(">>> ZAMO  v.")));
  EXPECT_TRUE(copied.endsWith(QStringLiteral("\n>>> une ligne\nune autre")));

  QTest::keyClick(form_.get(), Qt::Key_F8);
  EXPECT_TRUE(Memo()->toPlainText().isEmpty());
  auto* clear = Child<QAction>("ClearLogAction");
  EXPECT_EQ(clear->text(), QStringLiteral("Vider le Log"));
  EXPECT_EQ(clear->shortcut(), QKeySequence(Qt::Key_F8));
}

// Lines from other threads keep their order, none is lost, and a thread
// logging while the GUI thread waits for it does not hang either of them.
TEST_F(MainWindowTest, LinesFromManyThreadsKeepTheirOrder) {
  Start({"cd-r"});
  form_->Log("début");
  constexpr int kThreads = 3, kLines = 10000;
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) form_->Log("T" + std::to_string(t) + " " + std::to_string(i));
      ++done;
    });
  }
  int gui = 0;
  while (done.load() < kThreads) {
    form_->Log("G " + std::to_string(gui++));
    QCoreApplication::processEvents();
  }
  for (std::thread& thread : threads) thread.join();
  form_->Log("fin");

  const QStringList lines = LogLines();
  std::vector<int> next(kThreads, 0);
  int next_gui = 0;
  bool in_order = true;
  for (const QString& line : lines.mid(lines.indexOf(QStringLiteral("début")) + 1)) {
    if (line == QStringLiteral("fin")) break;
    const QStringList parts = line.split(QLatin1Char(' '));
    if (parts.size() != 2) continue;
    const int n = parts[1].toInt();
    if (parts[0] == QStringLiteral("G")) {
      in_order &= n == next_gui++;
    } else {
      const int t = parts[0].mid(1).toInt();
      in_order &= n == next[t]++;
    }
  }
  EXPECT_TRUE(in_order);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines) << "thread " << t;
  EXPECT_EQ(next_gui, gui);
  EXPECT_EQ(lines.last(), QStringLiteral("fin"));
}

// A thread's Log returns once the GUI thread has taken its line: while the
// GUI thread is busy the thread waits, and goes on when it runs its events.
TEST_F(MainWindowTest, ThreadWaitsUntilTheGuiTakesItsLine) {
  Start({"cd-r"});
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> started{false};
  Clock::time_point returned;
  std::thread worker([&] {
    started = true;
    form_->Log("du fil");
    returned = Clock::now();
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // busy: no events run
  const Clock::time_point resumed = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return LogLines().constLast() == QStringLiteral("du fil"); }));
  worker.join();
  EXPECT_GE(returned, resumed);
}

TEST_F(MainWindowTest, GuiWaitingForALoggingThreadDoesNotHang) {
  Start({"cd-r"});
  form_->Log("début");
  constexpr int kLines = 2000;
  const auto start = std::chrono::steady_clock::now();
  std::thread worker([&] {
    for (int i = 0; i < kLines; ++i) form_->Log("W " + std::to_string(i));
  });
  worker.join();  // the GUI thread waits without running events
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  form_->Log("fin");  // from the GUI thread: after every waiting line
  const QStringList lines = LogLines();
  const int first = lines.indexOf(QStringLiteral("début"));
  ASSERT_EQ(lines.size(), first + kLines + 2);
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(lines[first + 1 + i], QStringLiteral("W %1").arg(i));
  EXPECT_EQ(lines.last(), QStringLiteral("fin"));
}

TEST_F(MainWindowTest, SynchronizedCallsRunOnTheGuiThread) {
  Start({"cd-r"});
  std::atomic<QThread*> ran_on{nullptr};
  std::thread worker([&] { form_->Burner().Synchronize([&] { ran_on = QThread::currentThread(); }); });
  worker.join();
  ASSERT_TRUE(WaitFor([&] { return ran_on.load() != nullptr; }));
  EXPECT_EQ(ran_on.load(), QCoreApplication::instance()->thread());
}

// ---- Tray and readiness ---------------------------------------------------------

TEST_F(MainWindowTest, LoadEjectAndReadyLogTheirOutcome) {
  Start({"cd-r,spinup=0", "cd-r,ioerrorop=1B:EIO"});
  Click("bReady");
  EXPECT_EQ(LastLine(), QStringLiteral(">>> L'UNITÉ MEDIA/GRAVEUR EST PRÊTE"));
  Click("bEject");
  EXPECT_EQ(LastLine(), QStringLiteral(">>> MÉDIA ÉJECTÉ: - OK."));
  Click("bReady");
  EXPECT_EQ(LastLine(), QStringLiteral(">>> L'UNITÉ MEDIA/GRAVEUR N'EST PAS PRÊTE "));
  Click("bLoad");
  EXPECT_EQ(LastLine(), QStringLiteral(">>> MÉDIA CHARGÉ: - OK."));
  // The first command after a load learns that the medium changed (unit
  // attention, as from a real drive); the next one finds the unit ready.
  Click("bReady");
  Click("bReady");
  EXPECT_EQ(LastLine(), QStringLiteral(">>> L'UNITÉ MEDIA/GRAVEUR EST PRÊTE"));

  // A drive whose tray commands fail: the eject says so, the load says nothing.
  ChooseDrive(1);
  Click("bEject");
  EXPECT_EQ(LastLine(), QStringLiteral(">>> MÉDIA ÉJECTÉ: - ÉCHEC."));
  const int lines = LogLines().size();
  Click("bLoad");
  EXPECT_FALSE(LogLines().mid(lines).join(QLatin1Char('\n')).contains(QStringLiteral("CHARGÉ")));
}

// Files and folders named on the command line reach the list as a drop
// brings them: whole paths, a folder with "/" and its size.
TEST_F(MainWindowTest, ArgumentsGoToTheFileList) {
  test::MakeTree(dir_.path() + "/Photos", {{"a.jpg", "12345"}, {"b/c.jpg", "678"}});
  test::WriteFile(dir_ / "notes.txt", "abc");
  Start({"cd-r"});
  const QString previous = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(dir_.path()));
  form_->AddPaths({QStringLiteral("Photos"), QStringLiteral("./notes.txt")});
  QDir::setCurrent(previous);
  const std::vector<TListEntry> entries = form_->FileList()->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Path, dir_.path() + "/Photos/");
  EXPECT_EQ(entries[0].Bytes, 8);
  EXPECT_EQ(entries[1].Path, dir_.path() + "/notes.txt");
  EXPECT_EQ(entries[1].Bytes, 3);
}

// "Postes en Réseau" opens the file manager's network view through
// xdg-open, or says why it cannot.
TEST_F(MainWindowTest, NetworkPlacesNeedAFileManager) {
  Start({"cd-r"});
  const QByteArray path = qgetenv("PATH");
  auto* menu = Child<QMenu>("mNetwork");
  QAction* connect_share = Child<QAction>("mNetConnect");
  QAction* disconnect_share = Child<QAction>("mNetDisconnect");

  test::MakeTree(dir_.path() + "/empty", {{"nothing", ""}});
  qputenv("PATH", QByteArray::fromStdString(dir_ / "empty"));
  emit menu->aboutToShow();
  EXPECT_FALSE(connect_share->isEnabled());
  EXPECT_FALSE(disconnect_share->isEnabled());
  EXPECT_TRUE(connect_share->statusTip().contains(QStringLiteral("xdg-open")))
      << connect_share->statusTip().toStdString();

  // Stand-ins that note how they were called.
  const std::string bin = dir_ / "bin";
  test::WriteFile(bin + "/xdg-open", "#!/bin/sh\necho \"$@\" >> '" + (dir_ / "opened") + "'\n");
  test::WriteFile(bin + "/gio", "#!/bin/sh\n");
  QFile::setPermissions(QString::fromStdString(bin + "/xdg-open"), QFile::ReadOwner | QFile::ExeOwner);
  QFile::setPermissions(QString::fromStdString(bin + "/gio"), QFile::ReadOwner | QFile::ExeOwner);
  qputenv("PATH", QByteArray::fromStdString(bin));
  emit menu->aboutToShow();
  EXPECT_TRUE(connect_share->isEnabled());
  EXPECT_TRUE(disconnect_share->isEnabled());
  connect_share->trigger();
  const bool opened = WaitFor([&] { return QFileInfo(QString::fromStdString(dir_ / "opened")).size() > 0; });
  qputenv("PATH", path);
  ASSERT_TRUE(opened);
  EXPECT_EQ(test::ReadFile(dir_ / "opened"), "network:///\n");
}

// ---- Balloons, hints, about box, skin ---------------------------------------------

TEST_F(MainWindowTest, RightClickOpensTheButtonsBalloon) {
  Start({"cd-r"});
  QToolButton* erase = Tool("bQErase");  // disabled: its balloon still explains it
  QTest::mouseClick(erase, Qt::RightButton);
  auto* balloon = qobject_cast<TBalloon*>(QApplication::activePopupWidget());
  ASSERT_NE(balloon, nullptr);
  EXPECT_EQ(balloon->Title(), QStringLiteral("Effacer rapidement le CD/DVD?"));
  EXPECT_TRUE(balloon->Text().startsWith(QStringLiteral("N'efface que la table des matières (TOC)")));
  EXPECT_EQ(balloon->width(), TBalloon::kWidth);
  EXPECT_EQ(balloon->Tip(), erase->mapToGlobal(QPoint(erase->width() / 2, erase->height())));
  balloon->close();

  QTest::mouseClick(Tool("bCBurnISO"), Qt::RightButton);
  balloon = qobject_cast<TBalloon*>(QApplication::activePopupWidget());
  ASSERT_NE(balloon, nullptr);
  EXPECT_TRUE(balloon->Text().contains(QStringLiteral("l'image ISO. \nIl ne peut y avoir")));
  balloon->close();

  QTest::mouseClick(Tool("bLoad"), Qt::RightButton);  // no balloon of its own
  EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
}

TEST_F(MainWindowTest, HintsGoToTheStatusBarNotToTooltips) {
  Start({"cd-r"});
  auto* speed = Child<QComboBox>("cbSpeed");
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QCoreApplication::sendEvent(speed, &enter);
  EXPECT_EQ(Child<QStatusBar>("panelbottom")->currentMessage(), QStringLiteral("Vitesse d'écriture sur le CD/DVD"));
  EXPECT_TRUE(speed->toolTip().isEmpty());

  // A hint of another window shows in the main window's status bar too.
  TAboutBox about(form_.get());
  auto* check = about.findChild<QPushButton*>(QStringLiteral("bCheckUpdate"));
  ASSERT_NE(check, nullptr);
  QCoreApplication::sendEvent(check, &enter);
  EXPECT_TRUE(Child<QStatusBar>("panelbottom")->currentMessage().contains(QStringLiteral("paquets du système")));
}

TEST_F(MainWindowTest, AboutBoxNeverClaimsAnUpdateCheck) {
  Start({"cd-r"});
  QString caption, texts;
  bool check_enabled = true;
  WhenModal<QWidget>([&](QWidget* modal) {
    caption = modal->windowTitle();
    for (QLabel* label : modal->findChildren<QLabel*>()) texts += label->text() + QLatin1Char('\n');
    if (auto* check = modal->findChild<QPushButton*>(QStringLiteral("bCheckUpdate"))) {
      check_enabled = check->isEnabled();
    }
    QTest::mouseClick(modal->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
  });
  Child<QAction>("mAbout")->trigger();
  EXPECT_EQ(caption, QStringLiteral("A Propos "));
  EXPECT_TRUE(texts.contains(QStringLiteral("Graveur de données ZAMO\n")));
  EXPECT_TRUE(texts.contains(QStringLiteral("Version de fichier: ") + VersionText() + QLatin1Char('\n')));
  EXPECT_FALSE(texts.contains(QStringLiteral("Aucune mise à jour disponible")));
  EXPECT_FALSE(check_enabled);
}

TEST_F(MainWindowTest, SkinSwitchesEveryWindowAtOnce) {
  Start({"cd-r"});
  ASSERT_TRUE(SkinOn());  // switched on when the window is made
  QWidget other;
  other.show();
  const QColor skin = form_->palette().color(QPalette::Window);
  EXPECT_EQ(other.palette().color(QPalette::Window), skin);
  SetSkinOn(false);
  EXPECT_FALSE(SkinOn());
  EXPECT_NE(form_->palette().color(QPalette::Window), skin);
  EXPECT_EQ(other.palette().color(QPalette::Window), form_->palette().color(QPalette::Window));
  SetSkinOn(true);
  EXPECT_EQ(other.palette().color(QPalette::Window), skin);
}

// ---- Every window, whole ------------------------------------------------------------

// The texts of a window's labels and buttons that do not fit their widget.
QStringList ClippedTexts(QWidget* window) {
  QStringList clipped;
  for (QWidget* widget : window->findChildren<QWidget*>()) {
    if (!widget->isVisible()) continue;
    QString text;
    auto* label = qobject_cast<QLabel*>(widget);
    if (label != nullptr && !label->wordWrap() && label->pixmap().isNull()) {
      text = label->text();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget); button != nullptr && !button->text().isEmpty()) {
      text = button->text();
    } else {
      continue;
    }
    const QSize hint = widget->sizeHint();
    if (widget->width() + 1 < hint.width() || widget->height() + 1 < hint.height()) {
      clipped << QStringLiteral("%1 \"%2\" (%3x%4 < %5x%6)")
                     .arg(widget->objectName(), text)
                     .arg(widget->width())
                     .arg(widget->height())
                     .arg(hint.width())
                     .arg(hint.height());
    }
  }
  return clipped;
}

// Renders each window as the user sees it and checks that no text is cut.
// With ZAMO_SCREENSHOTS_DIR set (scripts/screenshots.sh, under Xvfb) the
// pictures are kept there as PNG files.
TEST_F(MainWindowTest, EveryWindowShowsItsTextsWhole) {
  test::MakeTree(dir_.path() + "/Photos", {{"Plage.jpg", std::string(300000, 'p')}, {"Soir.jpg", "s"}});
  test::WriteFile(dir_ / "Lisez-moi.txt", "Bonjour");
  Start({"cd-r", "dvd+rw,model=DVD WRITER"});
  form_->AddPaths({QString::fromStdString(dir_ / "Photos"), QString::fromStdString(dir_ / "Lisez-moi.txt")});
  form_->Log(">>> L'UNITÉ MEDIA/GRAVEUR EST PRÊTE");
  ASSERT_TRUE(form_->ShellBrowser()->ShowFolder(QString::fromStdString(dir_.path())));
  QCoreApplication::processEvents();
  const char* out = std::getenv("ZAMO_SCREENSHOTS_DIR");
  const auto keep = [out](QWidget* window, const char* name) {
    QCoreApplication::processEvents();
    const QPixmap picture = window->grab();
    EXPECT_FALSE(picture.isNull()) << name;
    if (out != nullptr && *out != '\0') {
      EXPECT_TRUE(picture.save(QDir(QString::fromUtf8(out)).filePath(QString::fromUtf8(name) + ".png"))) << name;
    }
    EXPECT_EQ(ClippedTexts(window), QStringList()) << name;
  };

  keep(form_.get(), "main_window");
  TAboutBox about(form_.get());
  about.show();
  keep(&about, "about_box");
  about.close();
  TForm2 capabilities(form_->Burner(), form_.get());
  capabilities.show();
  keep(&capabilities, "capabilities_window");
  capabilities.close();
  TfrmSettings options(form_->AppOptions(), form_->Burner(), dir_ / "Zamo.ini", form_.get());
  options.show();
  keep(&options, "options_dialog");
  options.close();
  TForm3 title(form_.get());
  title.show();
  keep(&title, "print_title");
  title.close();

  QTest::mouseClick(Tool("bCBurn"), Qt::RightButton);
  auto* balloon = qobject_cast<TBalloon*>(QApplication::activePopupWidget());
  ASSERT_NE(balloon, nullptr);
  keep(balloon, "balloon");
  balloon->close();
}

}  // namespace
}  // namespace zamo
