// The main window's jobs over emulated recorders, driven as a user drives
// them (buttons, menus, the boxes and file dialogs answered once their own
// loop runs): two sessions burnt and read back by xorriso, the space check
// at the free space and one block past it, the space check alone with an
// import, image files saved (quick and threaded) and burnt, erasing with its
// progress, the DVD-RAM exception, abort in the middle of a slow burn, a
// write error and its box, archive attributes, eject after success, the job
// states' controls, and closing the window during a job.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/disc_layout_window.h"
#include "app/file_list.h"
#include "app/main_window.h"
#include "app/session_chooser.h"
#include "app/shell_browser.h"
#include "burner/drive/transport.h"
#include "burner/platform/str_format.h"
#include "burner/writing/cache_thread.h"
#include "tests/app/main_window_fixture.h"
#include "tests/app/modal.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/peer_tools.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::WaitFor;
using test::WhenModal;
using JobState = TForm1::TJobState;

// A message box the window showed, as the user saw it.
struct Box {
  QString name, caption, text, informative;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Answers the message boxes that come one after the other: each must have
// the object name given and is answered by the button of the text given
// (each waited for 10 s at most, `tries` × 10 ms). What they showed goes to
// `seen`. An answer still waiting when `test` has gone (the test ended)
// does nothing.
void AnswerBoxesOf(std::weak_ptr<int> test, std::vector<std::pair<QString, QString>> answers, std::vector<Box>* seen,
                   int tries = 1000, int level = QThread::currentThread()->loopLevel() + 1) {
  if (answers.empty()) return;
  WhenModal<QMessageBox>(
      [answers, seen, test, tries, level](QMessageBox* box) {
        if (test.expired()) return;
        seen->push_back({box->objectName(), box->windowTitle(), box->text(), box->informativeText(), box->icon()});
        EXPECT_EQ(box->objectName(), answers.front().first) << box->text().toStdString();
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons()) {
          if (button->text() == answers.front().second) chosen = button;
        }
        if (chosen == nullptr) {
          ADD_FAILURE() << "no button " << answers.front().second.toStdString() << " in " << box->text().toStdString();
          box->reject();
          return;
        }
        chosen->click();
        AnswerBoxesOf(test, {answers.begin() + 1, answers.end()}, seen, tries, level);
      },
      tries, level);
}

// The file dialog's answer: `path` chosen, or cancelled when empty.
void AnswerFileDialog(const std::string& path) {
  WhenModal<QFileDialog>([path](QFileDialog* dialog) {
    if (path.empty()) {
      dialog->reject();
      return;
    }
    // Typed in the name box, as a user does: selectFile of a file not there
    // yet may leave the name out while the dialog still lists its folder.
    if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
      name->setText(QString::fromStdString(path));
    } else {
      dialog->selectFile(QString::fromStdString(path));
    }
    static_cast<QDialog*>(dialog)->accept();  // the file dialog's own checks run
    EXPECT_FALSE(dialog->isVisible()) << "the file dialog refused " << path;
    if (dialog->isVisible()) dialog->reject();  // the test goes on rather than hang
  });
}

// Closes the disc layout window once shown, noting the names of the root's rows.
void CloseLayoutWindow(QStringList* root_names) {
  WhenModal<TfrmDiscLayout>([root_names](TfrmDiscLayout* window) {
    if (auto* grid = window->findChild<QTableView*>(QStringLiteral("sgFiles")); grid != nullptr && root_names) {
      for (int row = 0; row < grid->model()->rowCount(); ++row)
        *root_names << grid->model()->index(row, 0).data().toString().trimmed();
    }
    window->reject();
  });
}

// The first block of each recorded track of an emulated disc, from its state file.
std::vector<uint32_t> TrackStarts(const std::string& image) {
  std::ifstream state(image + ".state");
  std::vector<uint32_t> starts;
  for (std::string line; std::getline(state, line);) {
    std::istringstream fields(line);
    std::string word, state_word;
    int number = 0;
    uint32_t start = 0;
    if (fields >> word >> number >> state_word >> start && word == "track" && state_word == "complete")
      starts.push_back(start);
  }
  return starts;
}

bool TrayOpen(const std::string& image) {
  return test::ReadFile(image + ".state").find("tray open") != std::string::npos;
}

bool Archived(const std::string& path) { return getxattr(path.c_str(), "user.zamo.archived", nullptr, 0) >= 0; }

class JobsTest : public test::MainWindowFixture {
 protected:
  void TearDown() override {
    alive_.reset();
    MainWindowFixture::TearDown();
  }

  // The window over the emulated recorders of `drives`: "KIND[,options]"
  // on a disc of the test's folder (Image(i)), or "KIND:IMAGE[,options]".
  // The options a job reads are set as each test wants them, whatever
  // another test left in the settings file.
  void Start(const std::vector<std::string>& drives) {
    ShowWindow(drives);
    form_->AppOptions() = TAppOptions{};
    TVeskBurner& b = form_->Burner();
    b.TestWrite = false;
    b.FinalizeDisc = false;
    b.Bootable = false;
    b.JolietFileSystem = true;
    b.IdVolume = "ESSAI";
    form_->FileList()->SetPathState(Qt::Unchecked);
  }
  std::string Image(int i) const { return dir_ / ("disc" + std::to_string(i) + ".img"); }

  QAction* Action(const char* name) { return Child<QAction>(name); }
  QProgressBar* Bar(const char* name) { return Child<QProgressBar>(name); }
  // The lines logged since `from` lines.
  QStringList LinesFrom(int from) { return LogLines().mid(from); }
  // Whether `lines` hold `wanted` in this order (other lines between them).
  static ::testing::AssertionResult InOrder(const QStringList& lines, const QStringList& wanted) {
    int at = 0;
    for (const QString& line : wanted) {
      const int found = lines.indexOf(line, at);
      if (found < 0)
        return ::testing::AssertionFailure() << "no \"" << line.toStdString() << "\" after line " << at << " in:\n"
                                             << lines.join(QLatin1Char('\n')).toStdString();
      at = found + 1;
    }
    return ::testing::AssertionSuccess();
  }
  static bool HasLineStarting(const QStringList& lines, const QString& start) {
    for (const QString& line : lines) {
      if (line.startsWith(start)) return true;
    }
    return false;
  }

  // Waits (bounded) until no job runs, then for the lines it logged.
  ::testing::AssertionResult WaitForIdle(int ms = 60000) {
    TVeskBurner& b = form_->Burner();
    const bool idle =
        WaitFor([&] { return form_->JobState() == JobState::kIdle && !b.JobRunning() && !b.Erasing(); }, ms);
    QTest::qWait(60);
    if (idle) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the job still runs after " << ms << " ms";
  }

  void AddToList(const std::vector<std::string>& paths) {
    QStringList list;
    for (const std::string& path : paths) list << QString::fromStdString(path);
    form_->AddPaths(list);
  }

  // Burns the list, confirming; the boxes shown are added to `seen`.
  void BurnList(std::vector<Box>* seen, std::vector<std::pair<QString, QString>> more = {}) {
    std::vector<std::pair<QString, QString>> answers = {{"burnConfirmBox", "Oui"}};
    answers.insert(answers.end(), more.begin(), more.end());
    AnswerBoxes(answers, seen);
    Click("bCBurn");
  }

  // The entries that start a job, which no job may share the drive with.
  std::vector<QAction*> JobEntries() {
    std::vector<QAction*> entries;
    for (const char* name : {"mBurnList", "mVerifyOnly", "mSaveIso", "mBurnIso", "mQuickErase", "mFullErase",
                             "mOptions", "verifyOnlyAction", "Vrifier1"})
      entries.push_back(Action(name));
    return entries;
  }
  void ExpectJobEntries(bool enabled) {
    for (QAction* entry : JobEntries()) EXPECT_EQ(entry->isEnabled(), enabled) << entry->objectName().toStdString();
  }

  // The boxes' answers of this test (AnswerBoxesOf).
  void AnswerBoxes(std::vector<std::pair<QString, QString>> answers, std::vector<Box>* seen, int tries = 1000) {
    AnswerBoxesOf(alive_, std::move(answers), seen, tries);
  }

  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

// ---- Burning the list ---------------------------------------------------------------

// A blank CD-R gets the list, then a second session keeps the first one's
// files (the last session imported): xorriso reads each session back whole.
TEST_F(JobsTest, TwoSessionsOnACdRReadBackByXorriso) {
  REQUIRE_TOOLS("xorriso");
  test::MakeTree(dir_ / "un", {{"premier.txt", "premier"}, {"photo.bin", test::RandomBytes(300000, 1)}});
  test::MakeTree(dir_ / "deux", {{"second.txt", "second"}, {"grand.bin", test::RandomBytes(1500000, 2)}});
  test::WriteFile(dir_ / "seul.txt", "un fichier seul");
  Start({"cd-r"});
  AddToList({dir_ / "un", dir_ / "seul.txt"});

  // While the confirmation is asked, no other job can start.
  QString caption, question;
  bool entries_held = true;
  WhenModal<QMessageBox>([&](QMessageBox* box) {
    caption = box->windowTitle();
    question = box->text();
    for (QAction* entry : JobEntries()) entries_held &= !entry->isEnabled();
    box->button(QMessageBox::Yes)->click();
  });
  Click("bCBurn");
  EXPECT_TRUE(entries_held);
  EXPECT_EQ(form_->JobState(), JobState::kWriting);
  EXPECT_TRUE(Child<QPushButton>("bAbort")->isVisible());
  ASSERT_TRUE(WaitForIdle());
  EXPECT_EQ(caption, QStringLiteral("Confirmation de la gravure"));
  EXPECT_TRUE(question.startsWith(QStringLiteral("Taille des fichiers à graver: "))) << question.toStdString();
  EXPECT_FALSE(question.contains(QStringLiteral("trop petit")));
  const QStringList first = LogLines();
  const QString device = QString::fromStdString(form_->Burner().DeviceString);
  EXPECT_TRUE(InOrder(first, {">>> LECTURE DES FICHIERS - OK.", ">>> Veillez patienter ... Gravure " + device,
                              ">>> FERMETURE DE LA SESSION...", ">>> ÉCRITURE TERMINÉE: - SUCCÈS", " "}));
  // The job's end: controls back, its figures shown whole, the compilation emptied.
  EXPECT_TRUE(Child<QToolBar>("tbrMain")->isEnabled());
  EXPECT_TRUE(Child<QWidget>("topBar")->isEnabled());
  EXPECT_FALSE(Child<QPushButton>("bAbort")->isVisible());
  EXPECT_FALSE(Bar("pcd")->isVisible());
  const QStringList sizes = Child<QLabel>("lSize")->text().chopped(3).split(QLatin1Char('/'));
  ASSERT_EQ(sizes.size(), 2) << Child<QLabel>("lSize")->text().toStdString();
  EXPECT_EQ(sizes[0], sizes[1]);
  EXPECT_EQ(form_->Burner().FileCount(), 0);

  form_->FileList()->Clear();
  AddToList({dir_ / "deux"});
  form_->AppOptions().SessionNo = -1;
  std::vector<Box> boxes;
  BurnList(&boxes);
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(InOrder(LinesFrom(first.size()), {">>> ÉCRITURE TERMINÉE: - SUCCÈS", " "}));

  const std::vector<uint32_t> starts = TrackStarts(Image(0));
  ASSERT_EQ(starts.size(), 2u) << test::ReadFile(Image(0) + ".state");
  std::map<std::string, std::string> one = test::ReadTree(dir_ / "un");
  one["seul.txt"] = "un fichier seul";
  std::map<std::string, std::string> both = one;
  for (const auto& [path, bytes] : test::ReadTree(dir_ / "deux")) both[path] = bytes;
  const test::Extraction session1 = test::Extract("xorriso", Image(0), dir_ / "lu1");
  ASSERT_TRUE(session1.ok) << session1.log;
  EXPECT_TRUE(test::SameTree(session1.tree, one));
  const test::Extraction session2 = test::Extract("xorriso", Image(0), dir_ / "lu2", starts[1]);
  ASSERT_TRUE(session2.ok) << session2.log;
  EXPECT_TRUE(test::SameTree(session2.tree, both));
}

// "Montrer les fichiers avant la gravure": the layout window comes before the
// confirmation, and what the user deletes there is not burnt.
TEST_F(JobsTest, FilesShownBeforeTheBurnCanBeLeftOut) {
  REQUIRE_TOOLS("xorriso");
  test::MakeTree(dir_ / "src", {{"garder.txt", "garder"}, {"enlever.txt", "enlever"}});
  Start({"cd-r"});
  form_->AppOptions().ShowFiles = true;
  AddToList({dir_ / "src"});
  QStringList order;
  WhenModal<TfrmDiscLayout>([&](TfrmDiscLayout* window) {
    order << QStringLiteral("layout");
    auto* grid = window->findChild<QTableView*>(QStringLiteral("sgFiles"));
    ASSERT_NE(grid, nullptr);
    for (int row = 0; row < grid->model()->rowCount(); ++row) {
      if (grid->model()->index(row, 0).data().toString().trimmed() == QStringLiteral("enlever.txt"))
        grid->setCurrentIndex(grid->model()->index(row, 0));
    }
    window->findChild<QAction*>(QStringLiteral("miGridDelete"))->trigger();
    window->reject();
  });
  std::vector<Box> boxes;
  BurnList(&boxes);
  for (const Box& box : boxes) order << box.name;
  EXPECT_EQ(order, (QStringList{"layout", "burnConfirmBox"}));
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(LogLines().contains(QStringLiteral(">>> ÉCRITURE TERMINÉE: - SUCCÈS")));
  const test::Extraction back = test::Extract("xorriso", Image(0), dir_ / "lu");
  ASSERT_TRUE(back.ok) << back.log;
  EXPECT_TRUE(test::SameTree(back.tree, {{"garder.txt", "garder"}}));
}

// An empty list: the box, then the burn stops and the image save says nothing more.
TEST_F(JobsTest, EmptyListStopsTheBurnAndTheImageSave) {
  Start({"cd-r"});
  std::vector<Box> boxes;
  AnswerBoxes({{"emptyListBox", "OK"}}, &boxes);
  Click("bCBurn");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QStringLiteral("La liste à graver doit contenir au moins un fichier"));
  EXPECT_EQ(boxes[0].caption, QString::fromUtf8(kAppTitle));
  QStringList lines = LogLines();
  EXPECT_EQ(lines.mid(lines.size() - 2),
            (QStringList{">>> LECTURE DES FICHIERS - OK.", ">>> RIEN À GRAVER, ABANDON ..."}));

  AnswerFileDialog(dir_ / "vide.iso");
  AnswerBoxes({{"emptyListBox", "OK"}}, &boxes);
  Click("bCSaveISO");
  EXPECT_EQ(boxes.size(), 2u);
  EXPECT_EQ(LogLines(), lines);
  EXPECT_FALSE(test::PathExists(dir_ / "vide.iso"));
  EXPECT_FALSE(Child<QTimer>("Timer1")->isActive());
  ExpectJobEntries(true);
}

// ---- The space check ------------------------------------------------------------------

// A compilation exactly as large as the free space passes; one block more
// warns with both sizes, and a burn confirmed anyway fails and says so.
TEST_F(JobsTest, SpaceCheckAtTheFreeSpaceAndOneBlockMore) {
  test::MakeTree(dir_ / "src", {{"a.bin", test::RandomBytes(700000, 3)}, {"b.txt", "b"}});
  Start({"cd-r:" + test::NearlyFullCd(dir_ / "mesure.img", 100000)});
  AddToList({dir_ / "src"});
  CloseLayoutWindow(nullptr);
  Action("mVerifyOnly")->trigger();
  const int64_t sectors = form_->Burner().ImageSectors();
  ASSERT_GT(sectors, 300);

  form_.reset();
  transport::AspiUnload();
  Start({"cd-r:" + test::NearlyFullCd(dir_ / "juste.img", static_cast<uint32_t>(sectors)),
         "cd-r:" + test::NearlyFullCd(dir_ / "court.img", static_cast<uint32_t>(sectors - 1))});
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  CloseLayoutWindow(nullptr);
  AnswerBoxes({{"spaceWarningBox", "OK"}}, &boxes);
  Action("mVerifyOnly")->trigger();
  EXPECT_EQ(form_->Burner().ImageSectors(), sectors);
  EXPECT_TRUE(boxes.empty()) << boxes[0].text.toStdString();

  Child<QComboBox>("cbDrives")->setCurrentIndex(1);
  CloseLayoutWindow(nullptr);
  Child<QToolButton>("bCBurn")->menu()->actions().value(0)->trigger();  // "Vérifier seulement"
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("ESPACE INSUFFISANT"));
  EXPECT_EQ(boxes[0].icon, QMessageBox::Critical);
  EXPECT_EQ(boxes[0].text.toStdString(), "Espace disque insuffisant\nEspace disponible sur le disque: " +
                                             FormatWholeMb((sectors - 1) * 2048) +
                                             "\nEspace requis pour cette gravure: " + FormatMb(sectors * 2048));

  // Burnt all the same: the confirmation says the disc is too small, and
  // the drive's refusal is a failure with its box.
  const int from = LogLines().size();
  boxes.clear();
  AnswerBoxes({{"spaceWarningBox", "OK"}, {"burnConfirmBox", "Oui"}, {"jobFailureBox", "OK"}}, &boxes, 3000);
  Click("bCBurn");
  ASSERT_TRUE(WaitForIdle());
  ASSERT_TRUE(WaitFor([&] { return boxes.size() == 3; })) << LinesFrom(from).join(QLatin1Char('\n')).toStdString();
  EXPECT_TRUE(boxes[1].text.contains(QStringLiteral("Le disque est trop petit"))) << boxes[1].text.toStdString();
  const QStringList lines = LinesFrom(from);
  EXPECT_TRUE(lines.contains(QStringLiteral(">>> ÉCRITURE: - ÉCHEC"))) << lines.join(QLatin1Char('\n')).toStdString();
  EXPECT_FALSE(HasLineStarting(lines, QStringLiteral(">>> ÉCRITURE TERMINÉE")))
      << lines.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(boxes[2].text, QStringLiteral("La gravure a échoué."));
  EXPECT_TRUE(boxes[2].informative.contains(QStringLiteral("trop petit"))) << boxes[2].informative.toStdString();
}

// With an empty list and a session to import, the space check shows the
// disc's previous content alone.
TEST_F(JobsTest, VerifyWithAnEmptyListShowsTheImportedSession) {
  test::MakeTree(dir_ / "src", {{"ancien.txt", "ancien"}, {"autre.bin", test::Bytes(5000)}});
  const test::RunResult burnt = test::Run(test::CliOn("cd-r:" + Image(0), {"burn", dir_ / "src"}));
  ASSERT_EQ(burnt.status, 0) << test::Describe(burnt);
  Start({"cd-r"});
  form_->AppOptions().SessionNo = -1;
  std::vector<Box> boxes;
  QStringList shown;
  AnswerBoxes({{"emptyListBox", "OK"}}, &boxes);
  CloseLayoutWindow(&shown);
  const int from = LogLines().size();
  Action("Vrifier1")->trigger();  // the list menu's "Vérifier..."
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(shown, (QStringList{"ancien.txt", "autre.bin"}));
  EXPECT_TRUE(InOrder(LinesFrom(from), {">>> LECTURE DES FICHIERS/DOSSIERS - OK.", ">>> VÉRIFICATION SEULEMENT"}));
  EXPECT_EQ(form_->Burner().FileCount(), 2);
  EXPECT_FALSE(Child<QTimer>("Timer1")->isActive());
}

// "Contenu" and "Contenu du CD/DVD" show the disc's sessions.
TEST_F(JobsTest, ContentOpensTheSessionChooser) {
  Start({"cd-r"});
  for (const char* how : {"toolbar", "menu"}) {
    bool shown = false;
    WhenModal<TfrmSessions>([&](TfrmSessions* window) {
      shown = true;
      window->reject();
    });
    if (std::string(how) == "toolbar") {
      Click("bContent");
    } else {
      Action("mDiscContent")->trigger();
    }
    EXPECT_TRUE(shown) << how;
  }
  ExpectJobEntries(true);
}

// ---- Image files -----------------------------------------------------------------------

class JobsImageSaveTest : public JobsTest, public ::testing::WithParamInterface<bool> {};

// The list saved as an image file, in one pass or through the writer
// threads: the log, the size it says, and every file read back by xorriso.
TEST_P(JobsImageSaveTest, SavedImageReadsBack) {
  REQUIRE_TOOLS("xorriso");
  const bool quick = GetParam();
  test::MakeTree(dir_ / "src", {{"a.txt", "aaa"}, {"b.bin", test::RandomBytes(900000, 4)}});
  test::WriteFile(dir_ / "c.txt", "c");
  Start({"cd-r"});
  form_->AppOptions().QuickSaveISO = quick;
  AddToList({dir_ / "src", dir_ / "c.txt"});
  const std::string iso = dir_ / "sortie.iso";
  AnswerFileDialog(iso);
  const int from = LogLines().size();
  Click("bCSaveISO");
  ASSERT_TRUE(WaitForIdle());
  const QStringList lines = LinesFrom(from);
  EXPECT_TRUE(InOrder(lines, {">>> AJOUT DES FICHIERS À .ISO OK.", ">>> DÉBUT DE LA CRÉATION DU FICHIER .ISO",
                              ">>> ÉCRITURE TERMINÉE: - SUCCÈS"}));
  const int64_t iso_bytes = QFileInfo(QString::fromStdString(iso)).size();
  const QString size_line = QString::fromStdString(">>> Taille du fichier " + iso + ": " + FormatMb(iso_bytes));
  EXPECT_TRUE(lines.contains(size_line)) << size_line.toStdString() << "\n"
                                         << lines.join(QLatin1Char('\n')).toStdString();
  EXPECT_FALSE(Bar("pcd")->isVisible());
  EXPECT_TRUE(Child<QToolBar>("tbrMain")->isEnabled());

  std::map<std::string, std::string> expected = test::ReadTree(dir_ / "src");
  expected["c.txt"] = "c";
  const test::Extraction back = test::Extract("xorriso", iso, dir_ / "lu");
  ASSERT_TRUE(back.ok) << back.log;
  EXPECT_TRUE(test::SameTree(back.tree, expected));
}

INSTANTIATE_TEST_SUITE_P(Modes, JobsImageSaveTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                           return std::string(param_info.param ? "Quick" : "Threaded");
                         });

// "G.ISO" burns an image file from the disc's start; the menu's "Graver une
// image ISO" opens the same file dialog.
TEST_F(JobsTest, ImageFileBurnt) {
  REQUIRE_TOOLS("xorriso");
  test::MakeTree(dir_ / "src", {{"x.txt", "xxx"}, {"y/z.bin", test::RandomBytes(400000, 5)}});
  const std::string iso = dir_ / "image.iso";
  const test::RunResult made = test::Run({test::ZamoCli(), "mkiso", "-o", iso, dir_ / "src"});
  ASSERT_EQ(made.status, 0) << test::Describe(made);
  Start({"cd-r"});
  const int from = LogLines().size();
  bool dialog_shown = false;
  WhenModal<QFileDialog>([&](QFileDialog* dialog) {
    dialog_shown = dialog->objectName() == QStringLiteral("OpenDialog1");
    dialog->reject();
  });
  Action("mBurnIso")->trigger();
  EXPECT_TRUE(dialog_shown);
  EXPECT_EQ(LinesFrom(from), QStringList());  // cancelled: nothing written, no line

  AnswerFileDialog(iso);
  Click("bCBurnISO");
  EXPECT_TRUE(Child<QPushButton>("bAbort")->isVisible());
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(InOrder(LinesFrom(from),
                      {">>> DÉBUT ÉCRITURE IMAGE .ISO SUR " + QString::fromStdString(form_->Burner().DeviceString),
                       ">>> ÉCRITURE TERMINÉE: - SUCCÈS", " "}));
  const test::Extraction back = test::Extract("xorriso", Image(0), dir_ / "lu");
  ASSERT_TRUE(back.ok) << back.log;
  EXPECT_TRUE(test::SameTree(back.tree, test::ReadTree(dir_ / "src")));
}

// ---- Erasing ---------------------------------------------------------------------------

struct EraseCase {
  const char* kind;
  bool quick;
};

class JobsEraseTest : public JobsTest, public ::testing::WithParamInterface<EraseCase> {};

// A recorded CD-RW or DVD-RW erased quickly or completely: the warning
// asked, the job's state, the progress bar rising to the end, the lines,
// and a blank disc.
TEST_P(JobsEraseTest, ErasesWithItsProgress) {
  const EraseCase c = GetParam();
  test::MakeTree(dir_ / "src", {{"a.txt", "a"}});
  const test::RunResult burnt = test::Run(test::CliOn(std::string(c.kind) + ":" + Image(0), {"burn", dir_ / "src"}));
  ASSERT_EQ(burnt.status, 0) << test::Describe(burnt);
  Start({std::string(c.kind) + ",blank=1,fullblank=1,spinup=0"});
  TVeskBurner& burner = form_->Burner();
  ASSERT_NE(burner.GetDiscStatus(), 0);
  // The erase thread asks the drive for its progress every few seconds:
  // asked 20 times as often, a blank of one second shows its way.
  burner.Sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms / 20)); };
  std::vector<int> values;
  QObject::connect(Bar("pcd"), &QProgressBar::valueChanged, [&values](int value) { values.push_back(value); });

  std::vector<Box> boxes;
  // A failure's box, were it to come, is answered too (and counted).
  AnswerBoxes({{"eraseWarningBox", "Oui"}, {"jobFailureBox", "OK"}}, &boxes);
  const int from = LogLines().size();
  Click(c.quick ? "bQErase" : "bCErase");
  ASSERT_GE(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("Suppression. Désirez-vous poursuivre ?"));
  EXPECT_EQ(boxes[0].text, c.quick ? QStringLiteral("Les données du média vont être rapidement effacées")
                                   : QStringLiteral("Les données du média vont être minitieusement effacées (demande "
                                                    "beaucoup de temps)"));
  // Erasing: the toolbar and the job entries wait, the recorder bar stays.
  EXPECT_EQ(form_->JobState(), JobState::kErasing);
  EXPECT_FALSE(Child<QToolBar>("tbrMain")->isEnabled());
  EXPECT_TRUE(Child<QWidget>("topBar")->isEnabled());
  EXPECT_TRUE(form_->ShellBrowser()->FolderBox()->isEnabled());
  EXPECT_TRUE(Bar("pcd")->isVisible());
  ExpectJobEntries(false);
  ASSERT_TRUE(WaitForIdle());

  EXPECT_TRUE(InOrder(LinesFrom(from), {">>> SUPPRESSION: - RÉUSSIE", " "}));
  QTest::qWait(50);
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(Bar("pcd")->maximum(), 100);
  ASSERT_GE(values.size(), 3u);
  EXPECT_EQ(values.back(), 0);  // then hidden
  EXPECT_EQ(values[values.size() - 2], 100);
  bool rising = true, between = false;
  for (size_t i = 1; i + 1 < values.size(); ++i) {
    rising &= values[i] >= values[i - 1];
    between |= values[i] > 0 && values[i] < 100;
  }
  EXPECT_TRUE(rising) << ::testing::PrintToString(values);
  EXPECT_TRUE(between) << ::testing::PrintToString(values);
  EXPECT_FALSE(Bar("pcd")->isVisible());
  EXPECT_TRUE(Child<QToolBar>("tbrMain")->isEnabled());
  ExpectJobEntries(true);
  EXPECT_EQ(burner.GetDiscStatus(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, JobsEraseTest,
                         ::testing::Values(EraseCase{"cd-rw", true}, EraseCase{"cd-rw", false},
                                           EraseCase{"dvd-rw", true}, EraseCase{"dvd-rw", false}),
                         [](const ::testing::TestParamInfo<EraseCase>& param_info) {
                           const EraseCase& c = param_info.param;
                           return test::KindTestName(c.kind) + (c.quick ? "Quick" : "Full");
                         });

// A DVD-RAM the drive does not call erasable is still erased quickly
// (overwritten), never completely; a CD-R is erased neither way.
TEST_F(JobsTest, DvdRamQuickEraseOnlyAndCdRNever) {
  Start({"dvd-ram,erasable=0", "cd-r"});
  ASSERT_FALSE(form_->Burner().IsDiscErasable());
  std::vector<Box> boxes;
  AnswerBoxes({{"notErasableBox", "OK"}}, &boxes);
  Click("bCErase");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, QStringLiteral("Média non effaçable"));

  const int from = LogLines().size();
  AnswerBoxes({{"eraseWarningBox", "Oui"}}, &boxes);
  Action("mQuickErase")->trigger();
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(InOrder(LinesFrom(from), {">>> SUPPRESSION: - RÉUSSIE", " "}));

  Child<QComboBox>("cbDrives")->setCurrentIndex(1);
  for (const char* tool : {"bQErase", "bCErase"}) {
    boxes.clear();
    AnswerBoxes({{"notErasableBox", "OK"}}, &boxes);
    Click(tool);
    EXPECT_EQ(boxes.size(), 1u) << tool;
  }
  EXPECT_EQ(form_->JobState(), JobState::kIdle);
}

// ---- A job that goes wrong ------------------------------------------------------------

// A slow burn (4x) stopped in its middle: the window as it stands then,
// every job held back while it runs, the failure lines, the controls back
// and no success anywhere. The picture is kept with ZAMO_SCREENSHOTS_DIR.
TEST_F(JobsTest, AbortInTheMiddleOfASlowBurn) {
  test::MakeTree(dir_ / "src", {{"gros.bin", test::RandomBytes(8 << 20, 6)}, {"petit.txt", "p"}});
  Start({"cd-r,speed=4x"});
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  BurnList(&boxes);
  ASSERT_TRUE(WaitFor([&] { return Bar("pcd")->value() > 100 && Child<QProgressBar>("pHBuf")->value() > 0; }, 30000));
  EXPECT_EQ(form_->JobState(), JobState::kWriting);
  EXPECT_FALSE(Child<QToolBar>("tbrMain")->isEnabled());
  EXPECT_FALSE(Child<QWidget>("topBar")->isEnabled());
  EXPECT_FALSE(form_->ShellBrowser()->FolderBox()->isEnabled());
  EXPECT_TRUE(Child<QPushButton>("bAbort")->isVisible());
  EXPECT_TRUE(Child<QLabel>("lSize")->text().endsWith(QStringLiteral(" MB")));
  EXPECT_EQ(Child<QProgressBar>("pHBuf")->maximum(), 2 << 20);  // the drive's buffer
  ExpectJobEntries(false);
  const int lines_before = LogLines().size();
  for (QAction* entry : JobEntries()) entry->trigger();  // refused: no box, no line
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(LogLines().size(), lines_before);

  if (const char* out = std::getenv("ZAMO_SCREENSHOTS_DIR"); out != nullptr && *out != '\0') {
    QCoreApplication::processEvents();
    EXPECT_TRUE(form_->grab().save(QDir(QString::fromUtf8(out)).filePath(QStringLiteral("main_window_burning.png"))));
  }

  QTest::mouseClick(Child<QPushButton>("bAbort"), Qt::LeftButton);
  EXPECT_FALSE(Child<QPushButton>("bAbort")->isVisible());
  ASSERT_TRUE(WaitForIdle(30000));
  const QStringList lines = LogLines();
  EXPECT_TRUE(lines.contains(QStringLiteral(">>> ÉCRITURE: - ÉCHEC")));
  EXPECT_TRUE(HasLineStarting(lines, QStringLiteral(">>> OPÉRATION TERMINÉE PAR L'USAGER")))
      << lines.join(QLatin1Char('\n')).toStdString();
  EXPECT_FALSE(HasLineStarting(lines, QStringLiteral(">>> ÉCRITURE TERMINÉE")));
  EXPECT_TRUE(Child<QToolBar>("tbrMain")->isEnabled());
  EXPECT_TRUE(Child<QWidget>("topBar")->isEnabled());
  EXPECT_TRUE(form_->ShellBrowser()->FolderBox()->isEnabled());
  EXPECT_FALSE(Bar("pcd")->isVisible());
  ExpectJobEntries(true);
  QTest::qWait(100);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // the user knows why: no box
  EXPECT_EQ(boxes.size(), 1u);
}

// A write error the drive reports: the failure lines, a box that says why
// in plain words and what to try, and no eject.
TEST_F(JobsTest, WriteErrorGivesTheFailureLinesAndABox) {
  test::MakeTree(dir_ / "src", {{"a.bin", test::RandomBytes(600000, 7)}});
  Start({"cd-r,writeerror=200:3/0C/00"});
  form_->AppOptions().EjectDisc = true;
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  const int from = LogLines().size();
  BurnList(&boxes, {{"jobFailureBox", "OK"}});
  ASSERT_TRUE(WaitForIdle());
  ASSERT_TRUE(WaitFor([&] { return boxes.size() == 2; }));
  EXPECT_TRUE(InOrder(LinesFrom(from),
                      {">>> ÉCRITURE: - ÉCHEC", ">>> ERREUR D'ÉCRITURE [ERREUR DISQUE (WRITE ERROR)]", " "}));
  EXPECT_EQ(boxes[1].caption, QString::fromUtf8(kAppTitle));
  EXPECT_EQ(boxes[1].text, QStringLiteral("La gravure a échoué."));
  EXPECT_TRUE(boxes[1].informative.contains(QStringLiteral("vitesse plus lente")))
      << boxes[1].informative.toStdString();
  EXPECT_TRUE(boxes[1].informative.contains(QStringLiteral("autre disque")));
  EXPECT_TRUE(boxes[1].informative.contains(QStringLiteral("Message du graveur : ERREUR D'ÉCRITURE [ERREUR DISQUE")));
  EXPECT_FALSE(TrayOpen(Image(0)));
  ExpectJobEntries(true);
}

// ---- After success only ------------------------------------------------------------------

// Incremental copy: a failed burn leaves the files as they were, a
// successful one marks them recorded.
TEST_F(JobsTest, ArchiveAttributesClearedAfterSuccessOnly) {
  {
    const std::string probe = dir_ / "probe";
    test::WriteFile(probe, "");
    if (setxattr(probe.c_str(), "user.zamo.probe", "1", 1, 0) != 0) GTEST_SKIP() << "no user extended attributes";
  }
  test::MakeTree(dir_ / "src", {{"a.bin", test::RandomBytes(600000, 8)}, {"b.txt", "b"}, {"c.txt", "c"}});
  Start({"cd-r,writeerror=200:3/0C/00", "cd-r"});
  form_->AppOptions().ArchiveFiles = true;
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  BurnList(&boxes, {{"jobFailureBox", "OK"}});
  ASSERT_TRUE(WaitForIdle());
  ASSERT_TRUE(WaitFor([&] { return boxes.size() == 2; }));
  for (const char* name : {"a.bin", "b.txt", "c.txt"}) EXPECT_FALSE(Archived(dir_ / "src/" + name)) << name;

  Child<QComboBox>("cbDrives")->setCurrentIndex(1);
  BurnList(&boxes);
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(LogLines().contains(QStringLiteral(">>> ÉCRITURE TERMINÉE: - SUCCÈS")));
  for (const char* name : {"a.bin", "b.txt", "c.txt"}) EXPECT_TRUE(Archived(dir_ / "src/" + name)) << name;
}

// "Ejecter le média après écriture": the tray opens after a burn and after
// an image file is saved.
TEST_F(JobsTest, EjectAfterABurnAndAnImageSave) {
  test::MakeTree(dir_ / "src", {{"a.txt", "a"}});
  Start({"cd-r,spinup=0"});
  form_->AppOptions().EjectDisc = true;
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  BurnList(&boxes);
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(LogLines().contains(QStringLiteral(">>> ÉCRITURE TERMINÉE: - SUCCÈS")));
  EXPECT_TRUE(TrayOpen(Image(0)));

  Click("bLoad");
  ASSERT_FALSE(TrayOpen(Image(0)));
  AnswerFileDialog(dir_ / "a.iso");
  Click("bCSaveISO");
  ASSERT_TRUE(WaitForIdle());
  EXPECT_TRUE(test::PathExists(dir_ / "a.iso"));
  EXPECT_TRUE(TrayOpen(Image(0)));
}

// ---- Closing during a job ---------------------------------------------------------------

// "Non" keeps the window and its job; "Oui" stops the job, waits for its
// end and closes: no writing thread outlives the window.
TEST_F(JobsTest, ClosingDuringABurnAsksFirst) {
  test::MakeTree(dir_ / "src", {{"gros.bin", test::RandomBytes(8 << 20, 9)}});
  Start({"cd-r,speed=4x"});
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  BurnList(&boxes);
  ASSERT_TRUE(WaitFor([&] { return Bar("pcd")->value() > 0; }, 30000));

  AnswerBoxes({{"closeDuringJobBox", "Non"}}, &boxes);
  EXPECT_FALSE(form_->close());
  EXPECT_TRUE(form_->isVisible());
  EXPECT_EQ(form_->JobState(), JobState::kWriting);
  EXPECT_TRUE(form_->Burner().JobRunning());

  AnswerBoxes({{"closeDuringJobBox", "Oui"}}, &boxes);
  EXPECT_TRUE(form_->close());
  EXPECT_FALSE(form_->isVisible());
  EXPECT_EQ(form_->JobState(), JobState::kIdle);
  EXPECT_FALSE(form_->Burner().JobRunning());
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_TRUE(boxes[1].text.startsWith(QStringLiteral("Une gravure est en cours.")));
  const QStringList lines = LogLines();
  EXPECT_TRUE(lines.contains(QStringLiteral(">>> ÉCRITURE: - ÉCHEC")));
  EXPECT_FALSE(HasLineStarting(lines, QStringLiteral(">>> ÉCRITURE TERMINÉE")));
  QTest::qWait(100);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // no failure box after the window went
}

// A close that comes while a burn's start waits for the read-ahead cache
// (the start runs the window's events between its polls): "Oui" stops the
// start, and the window closes once the start has returned, at once rather
// than after the close's bound, with no job left running. The window never
// closes from inside the start.
TEST_F(JobsTest, ClosingWhileABurnStartsClosesOnceTheStartReturns) {
  test::MakeTree(dir_ / "src", {{"gros.bin", test::RandomBytes(40 << 20, 10)}});
  Start({"cd-r"});
  TVeskBurner& b = form_->Burner();
  b.SetCacheSize(64 << 20);  // primed only once the whole 40 MiB are read
  AddToList({dir_ / "src"});
  std::vector<Box> boxes;
  bool asked_in_start = false, closed_in_start = false;
  std::chrono::steady_clock::time_point asked;
  QTimer closer;
  closer.setInterval(0);
  QObject::connect(&closer, &QTimer::timeout, [&] {
    // Only inside the start: the job runs and its cache is not primed yet.
    if (!b.JobRunning() || b.CacheThread == nullptr || b.CacheThread->Primed()) return;
    closer.stop();
    asked_in_start = true;
    asked = std::chrono::steady_clock::now();
    form_->close();
    closed_in_start = !form_->isVisible();
  });
  closer.start();
  BurnList(&boxes, {{"closeDuringJobBox", "Oui"}});
  closer.stop();
  ASSERT_TRUE(asked_in_start) << "the start ended before a close could be asked in it";
  EXPECT_FALSE(closed_in_start);
  EXPECT_TRUE(WaitFor([&] { return !form_->isVisible(); }, 10000));
  const auto took = std::chrono::steady_clock::now() - asked;
  EXPECT_LT(took, std::chrono::milliseconds(TForm1::kCloseWaitMs / 10));
  EXPECT_EQ(form_->JobState(), JobState::kIdle);
  EXPECT_FALSE(b.JobRunning());
  EXPECT_EQ(b.CacheThread, nullptr);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].name, QStringLiteral("closeDuringJobBox"));
  const QStringList lines = LogLines();
  EXPECT_TRUE(lines.contains(QStringLiteral(">>> ÉCRITURE: - ÉCHEC")));
  EXPECT_TRUE(HasLineStarting(lines, QStringLiteral(">>> OPÉRATION TERMINÉE PAR L'USAGER")));
  EXPECT_TRUE(TrackStarts(Image(0)).empty()) << "nothing recorded";
  QTest::qWait(100);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);  // no failure box after the window went
}

}  // namespace
}  // namespace zamo
