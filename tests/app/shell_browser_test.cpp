// shell_browser_test.cpp: the shell browser the user drags files from: the
// 22 filter kinds on a folder of sample files, a folder of 2,000 images in
// the thumbnail view that never holds the window, the volumes, the
// "Explorateur" menu's functions, and its drags feeding the file list.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QImage>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "app/file_list.h"
#include "app/shell_browser.h"
#include "tests/app/drop_events.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

// Runs the event loop until `done` holds, for `ms` at most.
bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QTest::qWait(10);
  }
  return true;
}

// The names the browser's view shows, in any order.
std::set<std::string> Shown(const TShellBrowser& browser) {
  std::set<std::string> names;
  const QAbstractItemView* view = browser.CurrentView();
  const QModelIndex root = view->rootIndex();
  for (int row = 0; row < view->model()->rowCount(root); ++row)
    names.insert(view->model()->index(row, 0, root).data().toString().toStdString());
  return names;
}

QToolButton* Button(const TShellBrowser& browser, const char* name) {
  return browser.findChild<QToolButton*>(QLatin1String(name));
}

// ---- Filter kinds ------------------------------------------------------------

const std::set<std::string> kSamples = {
    "lisezmoi.txt", "journal.log", "read.me", "SHOUT.TXT", "index.dat", "boot.ini", "lettre.doc", "notes.rtf",
    "guide.pdf", "a.zip", "b.rar", "c.cab", "app.ico", "p.jpg", "p.bmp", "p.gif", "p.png", "p.tif", "p.wmf",
    "clip.avi", "d.eps", "d.psd", "d.psp", "s.pps", "s.ppt", "m.eml", "m.ost", "m.pst", "x.xla", "x.xls", "x.xlt",
    "son.wav", "r.ram", "r.ra", "v.qt", "v.mpg", "v.mpeg", "s.mp3", "v.mov", "s.mid", "t.cda", "s.aif", "v.divx",
    "v.wmv", "f.swf", "s.wma", "w.htm", "w.html", "w.php", "w.php3", "base.mdb", "autre.xyz", "sansext",
    "x.ram,y.ra", "pas.txt.bak"};

struct FilterCase {
  const char* name;
  int kind;                       // index in the filter box
  const char* mask;               // what the box shows, as stored
  std::set<std::string> shown;    // the files it shows (folders only with "*.*")
};

class ShellFilterTest : public ::testing::TestWithParam<FilterCase> {
 protected:
  static void SetUpTestSuite() {
    samples_ = new test::TempDir;
    for (const std::string& name : kSamples) test::WriteFile(*samples_ / name, name);
    test::MakeTree(samples_->path(), {{"dossier/dedans.txt", "x"}});
  }
  static void TearDownTestSuite() {
    delete samples_;
    samples_ = nullptr;
  }
  static test::TempDir* samples_;
};
test::TempDir* ShellFilterTest::samples_ = nullptr;

TEST_P(ShellFilterTest, AKindPutsItsMaskInTheBoxAndShowsOnlyItsFiles) {
  TShellBrowser browser(TShellBrowser::TRole::kFileSource);
  browser.resize(400, 500);
  browser.show();
  ASSERT_TRUE(browser.ShowFolder(QString::fromStdString(samples_->path())));
  ASSERT_TRUE(WaitFor([&] { return Shown(browser).count("sansext") == 1; })) << "the folder is listed";
  QComboBox* box = browser.FilterBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(box->currentText(), QStringLiteral("*.*"));
  EXPECT_EQ(box->count(), 22);
  EXPECT_EQ(box->maxVisibleItems(), 15);

  // Chosen from the keyboard, as a user steps through the kinds.
  box->setFocus();
  if (GetParam().kind == 0) {
    QTest::keyClick(box, Qt::Key_Down);
    QTest::keyClick(box, Qt::Key_Up);
  }
  for (int i = 0; i < GetParam().kind; ++i) QTest::keyClick(box, Qt::Key_Down);
  EXPECT_EQ(box->currentText().toStdString(), GetParam().mask) << "the mask exactly as stored";
  EXPECT_EQ(browser.FilterMask().toStdString(), GetParam().mask);

  std::set<std::string> expected = GetParam().shown;
  const bool everything = GetParam().kind == 0;
  if (everything) {
    expected = kSamples;
    expected.insert({"dossier", ".."});  // folders and the parent's entry
  }
  EXPECT_TRUE(WaitFor([&] { return Shown(browser) == expected; }, 3000));
  EXPECT_EQ(Shown(browser), expected);
  const QColor base = browser.CurrentView()->palette().color(QPalette::Base);
  EXPECT_EQ(base, everything ? QColor(Qt::white) : QColor(255, 255, 223)) << "a filtered view is tinted";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ShellFilterTest,
    ::testing::Values(
        FilterCase{"Tous", 0, "*.*", {}},
        FilterCase{"Texte", 1, "*.txt;*.log;*.me", {"lisezmoi.txt", "journal.log", "read.me", "SHOUT.TXT"}},
        FilterCase{"Dat", 2, "*.dat", {"index.dat"}},
        FilterCase{"Ini", 3, "*.ini ", {"boot.ini"}},
        FilterCase{"Doc", 4, "*.doc ", {"lettre.doc"}},
        FilterCase{"Rtf", 5, "*.rtf", {"notes.rtf"}},
        FilterCase{"Pdf", 6, "*.pdf", {"guide.pdf"}},
        FilterCase{"Archives", 7, "*.zip;*.rar;*.cab", {"a.zip", "b.rar", "c.cab"}},
        FilterCase{"Icones", 8, "*.ico", {"app.ico"}},
        FilterCase{"Images", 9, "*.jpg;*.bmp;*.gif;*.png;*.tif;*.wmf;*.avi",
                   {"p.jpg", "p.bmp", "p.gif", "p.png", "p.tif", "p.wmf", "clip.avi"}},
        FilterCase{"Photoshop", 10, "*.eps;*.psd", {"d.eps", "d.psd"}},
        FilterCase{"PaintShop", 11, "*.psp", {"d.psp"}},
        FilterCase{"PowerPoint", 12, "*.pps;*.ppt", {"s.pps", "s.ppt"}},
        FilterCase{"Outlook", 13, "*.eml;*.ost;*.pst", {"m.eml", "m.ost", "m.pst"}},
        FilterCase{"Macros", 14, "*.xla ", {"x.xla"}},
        FilterCase{"Tableur", 15, "*.xls", {"x.xls"}},
        FilterCase{"Modele", 16, "*.xlt", {"x.xlt"}},
        // The comma does not separate: "*.ram,*.ra" is one pattern.
        FilterCase{"MediaTous", 17,
                   "*.wav;*.ram,*.ra;*.qt;*.mpg;*.mpeg;*.mp3;*.mov;*.mid;*.cda;*.avi;*.aif;*.divx;*.wmv;*.swf;",
                   {"son.wav", "x.ram,y.ra", "v.qt", "v.mpg", "v.mpeg", "s.mp3", "v.mov", "s.mid", "t.cda",
                    "clip.avi", "s.aif", "v.divx", "v.wmv", "f.swf"}},
        FilterCase{"Son", 18, "*.wav;*.mp3;*.mid;*.cda;*.wma", {"son.wav", "s.mp3", "s.mid", "t.cda", "s.wma"}},
        FilterCase{"Flash", 19, "*.swf", {"f.swf"}},
        FilterCase{"Navigateur", 20, "*.htm;*.html;*.php;*.php3", {"w.htm", "w.html", "w.php", "w.php3"}},
        FilterCase{"Access", 21, "*.mdb", {"base.mdb"}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Thumbnails ----------------------------------------------------------------

TEST(ShellThumbnails, AFolderOf2000ImagesShowsAtOnceAndMakesOnlyWhatIsOnScreen) {
  test::TempDir dir;
  QImage red(320, 240, QImage::Format_RGB32);
  red.fill(QColor(255, 0, 0));
  ASSERT_TRUE(red.save(QString::fromStdString(dir / "model.png")));
  const std::string png = test::ReadFile(dir / "model.png");
  ASSERT_EQ(unlink((dir / "model.png").c_str()), 0);
  for (int i = 0; i < 2000; ++i) test::WriteFile(dir / ("photo" + std::to_string(10000 + i) + ".png"), png);

  TShellBrowser browser(TShellBrowser::TRole::kFileSource);
  browser.resize(480, 360);
  browser.show();
  QTest::mouseClick(Button(browser, "bThumbnails"), Qt::LeftButton);
  ASSERT_EQ(browser.View(), TShellBrowser::TView::kThumbnails);

  // A 10 ms timer measures how long the window goes without serving events.
  QElapsedTimer clock;
  qint64 last = 0, longest_gap = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longest_gap = std::max(longest_gap, clock.elapsed() - last);
    last = clock.elapsed();
  });
  clock.start();
  ticker.start(10);
  ASSERT_TRUE(browser.ShowFolder(QString::fromStdString(dir.path())));
  ASSERT_TRUE(WaitFor([&] { return Shown(browser).size() == 2001; }, 10000));  // and ".."
  ASSERT_TRUE(WaitFor([&] { return browser.ThumbnailsMade() >= 4; }, 10000)) << "the items on screen get theirs";
  QTest::qWait(500);
  EXPECT_LT(longest_gap, 400) << "the window served its events while the folder and thumbnails loaded";
  const int made = browser.ThumbnailsMade();
  EXPECT_LT(made, 100) << "only the items on screen are made";

  // The thumbnails are on the screen: red previews among the icons.
  const QImage shot = browser.CurrentView()->viewport()->grab().toImage();
  if (qEnvironmentVariableIsSet("ZAMO_PICTURES")) shot.save(qEnvironmentVariable("ZAMO_PICTURES") + "/thumbnails.png");
  int red_pixels = 0;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x) red_pixels += shot.pixelColor(x, y) == QColor(255, 0, 0) ? 1 : 0;
  EXPECT_GT(red_pixels, 4 * 80 * 60) << "at least four previews drawn";

  // Scrolling to the end makes the last ones.
  QScrollBar* bar = browser.CurrentView()->verticalScrollBar();
  bar->setValue(bar->maximum());
  EXPECT_TRUE(WaitFor([&] { return browser.ThumbnailsMade() > made; }, 10000));
  EXPECT_LT(browser.ThumbnailsMade(), 300);
}

// ---- Volumes, menu functions -----------------------------------------------------

TEST(ShellBrowser, TheComputerViewListsTheMountedVolumesAndOpensThem) {
  TShellBrowser computer(TShellBrowser::TRole::kComputer);
  computer.resize(400, 300);
  computer.show();
  EXPECT_TRUE(computer.ShowingDrives()) << "the computer's volumes at start";
  EXPECT_EQ(computer.View(), TShellBrowser::TView::kLargeIcons);
  EXPECT_EQ(computer.FilterBox(), nullptr);
  EXPECT_FALSE(computer.CurrentView()->dragEnabled()) << "for browsing only";
  EXPECT_TRUE(Shown(computer).count("Système (/)") == 1);
  EXPECT_EQ(computer.FolderBox()->currentText(), QStringLiteral("Poste de travail"));

  // Activating the system volume opens it; "Retour à l'origine" comes back.
  QAbstractItemView* view = computer.CurrentView();
  QModelIndex system;
  for (int row = 0; row < view->model()->rowCount(); ++row)
    if (view->model()->index(row, 0).data().toString() == QStringLiteral("Système (/)"))
      system = view->model()->index(row, 0);
  ASSERT_TRUE(system.isValid());
  emit view->activated(system);
  EXPECT_EQ(computer.CurrentFolder(), QStringLiteral("/"));
  QTest::mouseClick(Button(computer, "bOrigin"), Qt::LeftButton);
  EXPECT_TRUE(computer.ShowingDrives());

  TShellBrowser source(TShellBrowser::TRole::kFileSource);
  source.ShowDrives();
  EXPECT_TRUE(Shown(source).count("Système (/)") == 1) << "\"Disques\" shows the same volumes";
}

TEST(ShellBrowser, DesktopDocumentsAndAChosenFolderAreShown) {
  test::TempDir dir;
  test::MakeTree(dir.path(), {{"Bureau/b.txt", "b"}, {"Documents/d.txt", "d"}, {"Choisi/c.txt", "c"}, {"config/", ""}});
  test::WriteFile(dir / "config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + dir / "Bureau\"\nXDG_DOCUMENTS_DIR=\"" +
                                                     dir / "Documents\"\n");
  const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(dir / "config"));
  TShellBrowser browser(TShellBrowser::TRole::kFileSource);
  browser.ShowDesktop();
  EXPECT_EQ(browser.CurrentFolder().toStdString(), dir / "Bureau");
  browser.ShowDocuments();
  EXPECT_EQ(browser.CurrentFolder().toStdString(), dir / "Documents");
  EXPECT_EQ(browser.FolderBox()->currentText().toStdString(), dir / "Documents");
  // The folder box holds the folders above: one step up with the keyboard.
  browser.FolderBox()->setFocus();
  QTest::keyClick(browser.FolderBox(), Qt::Key_Up);
  EXPECT_EQ(browser.CurrentFolder().toStdString(), dir.path());
  EXPECT_EQ(browser.FolderBox()->itemText(0), QStringLiteral("Poste de travail"));

  // A desktop folder that does not exist: the home folder instead.
  test::WriteFile(dir / "config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"" + dir / "Absent\"\n");
  browser.ShowDesktop();
  EXPECT_EQ(browser.CurrentFolder(), QDir::homePath());
  qputenv("XDG_CONFIG_HOME", saved);

  // "&Choisir...": the folder chooser's answer is shown.
  const QString chosen = QString::fromStdString(dir / "Choisi");
  QTimer::singleShot(300, [chosen] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return;
    dialog->setDirectory(chosen);
    QMetaObject::invokeMethod(dialog, "accept");  // the "Choisir" button
  });
  browser.ChooseFolder();
  EXPECT_EQ(browser.CurrentFolder(), chosen);
}

TEST(ShellBrowser, HiddenFilesAndAutomaticRefreshFollowTheirSwitches) {
  test::TempDir dir;
  test::MakeTree(dir.path(), {{"visible.txt", "v"}, {".cache/x", "x"}, {".cache.txt", "h"}});
  TShellBrowser browser(TShellBrowser::TRole::kFileSource);
  browser.show();
  ASSERT_TRUE(browser.ShowFolder(QString::fromStdString(dir.path())));
  ASSERT_TRUE(WaitFor([&] { return Shown(browser).count("visible.txt") == 1; }));
  EXPECT_EQ(Shown(browser), (std::set<std::string>{"..", "visible.txt"}));
  browser.SetShowHidden(true);
  EXPECT_TRUE(WaitFor([&] { return Shown(browser).size() == 4; })) << "hidden files and folders shown";
  EXPECT_EQ(Shown(browser), (std::set<std::string>{"..", "visible.txt", ".cache", ".cache.txt"}));
  browser.SetShowHidden(false);

  // On at start: a new file appears by itself.
  EXPECT_TRUE(browser.AutoRefresh());
  test::WriteFile(dir / "nouveau.txt", "n");
  EXPECT_TRUE(WaitFor([&] { return Shown(browser).count("nouveau.txt") == 1; }, 8000));
  // Off: it waits for "Tout actualiser".
  browser.SetAutoRefresh(false);
  test::WriteFile(dir / "plus-tard.txt", "p");
  QTest::qWait(2500);
  EXPECT_EQ(Shown(browser).count("plus-tard.txt"), 0u);
  browser.RefreshAll();
  EXPECT_TRUE(WaitFor([&] { return Shown(browser).count("plus-tard.txt") == 1; }));
  EXPECT_EQ(browser.CurrentFolder().toStdString(), dir.path());
}

TEST(ShellBrowser, ItsSelectionDraggedOntoTheFileListBecomesEntries) {
  test::TempDir dir;
  test::MakeTree(dir.path(), {{"a.txt", "aaa"}, {"b.txt", "bb"}, {"photos/p.jpg", std::string(5000, 'p')}});
  TShellBrowser browser(TShellBrowser::TRole::kFileSource);
  browser.show();
  QSignalSpy status(&browser, &TShellBrowser::statusMessage);
  ASSERT_TRUE(browser.ShowFolder(QString::fromStdString(dir.path())));
  ASSERT_TRUE(WaitFor([&] { return Shown(browser).size() == 4; }));
  QAbstractItemView* view = browser.CurrentView();
  ASSERT_TRUE(view->dragEnabled());
  EXPECT_EQ(view->model()->supportedDragActions(), Qt::CopyAction) << "a drag never moves (deletes) the files";
  // The three entries after "..", as a user picks them.
  for (int row = 1; row <= 3; ++row)
    view->selectionModel()->select(view->model()->index(row, 0, view->rootIndex()), QItemSelectionModel::Select);
  ASSERT_EQ(browser.SelectedPaths().size(), 3);
  ASSERT_FALSE(status.isEmpty());
  EXPECT_EQ(status.last()[0].toString(), QStringLiteral("3 item(s) sélectionnés."));

  // What the view hands to a drag, dropped on the list.
  std::unique_ptr<QMimeData> mime(view->model()->mimeData(view->selectionModel()->selectedIndexes()));
  TVeskBurner burner{nullptr};
  TFileList list(burner, {});
  list.show();
  ASSERT_TRUE(test::DragAndDrop(list.Box()->viewport(), *mime).dropped);
  std::map<std::string, int64_t> entries;
  for (const TListEntry& entry : list.Entries()) entries[entry.Path] = entry.Bytes;
  EXPECT_EQ(entries, (std::map<std::string, int64_t>{{dir / "a.txt", 3}, {dir / "b.txt", 2}, {dir / "photos/", 5000}}));
}

TEST(ShellBrowser, TheProgramsOwnMenuOffersInfoAndSelectAll) {
  test::TempDir dir;
  test::MakeTree(dir.path(), {{"a.txt", "a"}, {"b.txt", "b"}});
  TShellBrowser browser(TShellBrowser::TRole::kFileSource);
  browser.show();
  ASSERT_TRUE(browser.ShowFolder(QString::fromStdString(dir.path())));
  ASSERT_TRUE(WaitFor([&] { return Shown(browser).size() == 3; }));
  EXPECT_TRUE(browser.DesktopMenu()) << "the desktop's menu at start";
  QAbstractItemView* view = browser.CurrentView();

  auto open_menu_and = [&](const std::function<void(QMenu*)>& act) {
    QStringList texts;
    QTimer::singleShot(200, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) return;
      for (QAction* action : menu->actions())
        if (!action->isSeparator()) texts << action->text();
      act(menu);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, view->viewport()->rect().center(),
                            view->viewport()->mapToGlobal(view->viewport()->rect().center()));
    QApplication::sendEvent(view->viewport(), &event);
    return texts;
  };
  EXPECT_EQ(open_menu_and([](QMenu* menu) { menu->close(); }),
            (QStringList{"Ouvrir", "Ouvrir le dossier contenant", "Propriétés"}));

  browser.SetDesktopMenu(false);
  const QStringList own = open_menu_and([](QMenu* menu) { menu->actions().at(1)->trigger(); menu->close(); });
  EXPECT_EQ(own, (QStringList{"Info! ", "Tout sélectionner"}));
  EXPECT_EQ(browser.SelectedPaths().size(), 3);

  QString message;
  QTimer::singleShot(400, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      message = box->text();
      box->accept();
    }
  });
  open_menu_and([](QMenu* menu) { menu->actions().at(0)->trigger(); menu->close(); });
  EXPECT_EQ(message, QStringLiteral("Aucune aide contextuelle disponible."));
}

}  // namespace
}  // namespace zamo
