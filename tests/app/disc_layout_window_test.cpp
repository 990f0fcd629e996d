// The disc layout window over emulated recorders: a compilation made of a
// burnt session imported from the disc plus new files, shown as the tree and
// the grid's exact texts; files and folders deleted there are absent from
// the session burnt afterwards (read back by xorriso); the root stays; a
// folder row only explains; F5 rebuilds; the gauge's figures and colour at
// and past a nearly full CD-R's capacity; the window drawn whole.
#include "app/disc_layout_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QDateTime>
#include <QDir>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <functional>
#include <string>

#include "app/disc_fill_gauge.h"
#include "burner/platform/file_attributes.h"
#include "tests/app/modal.h"
#include "tests/support/burner_job.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/peer_tools.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::WhenModal;

// Seconds since the epoch of a local date and time.
int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
  return QDateTime(QDate(year, month, day), QTime(hour, minute, second)).toSecsSinceEpoch();
}

class DiscLayoutWindowTest : public test::BurnerJobTest {
 protected:
  // Session 1 on a blank CD-R, then the compilation a burn with the last
  // session imported builds: that session's files, then the new ones.
  void BuildTwoSessions() {
    test::MakeTree(dir_ / "s1", {{"Ancien/Lettre.txt", test::Bytes(1234, 1)},
                                 {"Ancien/Sous/Photo.jpg", test::Bytes(70000, 2)},
                                 {"Racine.txt", "12345"}});
    test::SetModifiedTime(dir_ / "s1/Racine.txt", LocalSeconds(2021, 3, 4, 15, 7, 9));
    test::SetModifiedTime(dir_ / "s1/Ancien/Lettre.txt", LocalSeconds(2008, 7, 1, 0, 0, 1));
    test::SetModifiedTime(dir_ / "s1/Ancien/Sous/Photo.jpg", LocalSeconds(1999, 12, 31, 23, 59, 58));
    LoadEmulated("cd-r");
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    ASSERT_GT(burner_.AddFolder("\\", dir_ / "s1", false, false, true, faAnyFile, "*"), 0);
    ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
    ASSERT_EQ(error_, "") << Log();

    test::MakeTree(dir_ / "s2", {{"Nouveau/Note.txt", test::Bytes(300, 3)},
                                 {"Nouveau/Plans/Plan.pdf", test::Bytes(4096, 4)},
                                 {"Zeta.txt", "1234567"}});
    test::SetModifiedTime(dir_ / "s2/Zeta.txt", LocalSeconds(2024, 11, 20, 8, 5, 0));
    ASSERT_TRUE(burner_.ClearCompilation(600000, 20000));
    burner_.SessionToImport = 0;  // imported once, here, as the main window's jobs do
    ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << Log();
    ASSERT_GT(burner_.AddFolder("\\", dir_ / "s2", false, false, true, faAnyFile, "*"), 0);
    ASSERT_TRUE(burner_.RemoveEmptyDirs());
  }

  // Opens the window over the compilation and runs `inside` in its modal
  // loop, then closes it (bounded: the window closes itself after 60 s).
  int Open(const std::function<void(TfrmDiscLayout&)>& inside) {
    TfrmDiscLayout window(burner_, nullptr);
    WhenModal<TfrmDiscLayout>([&inside](TfrmDiscLayout* shown) {
      inside(*shown);
      if (shown->isVisible()) shown->reject();
    });
    QTimer::singleShot(60000, &window, [&window] {
      ADD_FAILURE() << "the window was still open after 60 s";
      window.done(-1);
    });
    return window.Open();
  }

  static QTreeWidget* Tree(TfrmDiscLayout& w) { return w.findChild<QTreeWidget*>(QStringLiteral("tvFolders")); }
  static QTableView* Grid(TfrmDiscLayout& w) { return w.findChild<QTableView*>(QStringLiteral("sgFiles")); }
  static TCDSize* Gauge(TfrmDiscLayout& w) { return w.findChild<TCDSize*>(QStringLiteral("CDSize1")); }

  // The tree as indented captions, depth first.
  static QStringList TreeLines(QTreeWidget* tree) {
    QStringList lines;
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int depth) {
      lines << QString(depth * 2, QLatin1Char(' ')) + item->text(0);
      for (int i = 0; i < item->childCount(); ++i) walk(item->child(i), depth + 1);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i) walk(tree->topLevelItem(i), 0);
    return lines;
  }
  // The grid's rows, their three cells joined by "|".
  static QStringList GridRows(QTableView* grid) {
    QStringList rows;
    const QAbstractItemModel* model = grid->model();
    for (int r = 0; r < model->rowCount(); ++r) {
      QStringList cells;
      for (int c = 0; c < model->columnCount(); ++c) cells << model->index(r, c).data().toString();
      rows << cells.join(QLatin1Char('|'));
    }
    return rows;
  }
  // The node at `path` below the root ({} for the root itself).
  static QTreeWidgetItem* Node(QTreeWidget* tree, const QStringList& path) {
    QTreeWidgetItem* item = tree->topLevelItem(0);
    for (const QString& name : path) {
      QTreeWidgetItem* next = nullptr;
      for (int i = 0; item != nullptr && i < item->childCount() && next == nullptr; ++i) {
        if (item->child(i)->text(0) == name) next = item->child(i);
      }
      item = next;
    }
    return item;
  }
  // A click on the node at `path`, as the user makes it.
  static void ClickNode(QTreeWidget* tree, const QStringList& path) {
    QTreeWidgetItem* item = Node(tree, path);
    ASSERT_NE(item, nullptr) << path.join(QLatin1Char('/')).toStdString();
    tree->scrollToItem(item);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(item).center());
    ASSERT_EQ(tree->currentItem(), item);
  }
  // A click on the grid row whose name is `name`.
  static void ClickRow(QTableView* grid, const QString& name) {
    const QAbstractItemModel* model = grid->model();
    for (int r = 0; r < model->rowCount(); ++r) {
      if (model->index(r, 0).data().toString() != name) continue;
      grid->scrollTo(model->index(r, 0));
      QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->visualRect(model->index(r, 0)).center());
      ASSERT_EQ(grid->currentIndex().row(), r);
      return;
    }
    FAIL() << "no row " << name.toStdString();
  }
  // A key pressed while `widget` has the focus. Its shortcuts go to the focus
  // widget of the active window: the window is made active first (on a
  // loaded machine it may not be yet when the test starts pressing keys).
  static void Press(QWidget* widget, Qt::Key key) {
    widget->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(widget->window(), 5000));
    widget->setFocus();
    QTest::keyClick(widget, key);
  }
};

const QString kRootDate = QStringLiteral("03-04-2021 15:07:09");
const QString kZetaDate = QStringLiteral("11-20-2024 08:05:00");

// The root's rows once Racine.txt is deleted.
QStringList RootRowsLeft() {
  return {"Ancien| < DIR > |", "Nouveau| < DIR > |", "Zeta.txt|        7|" + kZetaDate};
}

TEST_F(DiscLayoutWindowTest, ShowsTheImportedSessionAndTheNewFiles) {
  BuildTwoSessions();
  if (HasFatalFailure()) return;
  const int result = Open([](TfrmDiscLayout& w) {
    EXPECT_EQ(w.windowTitle(),
              QStringLiteral("Explorateur ZAMO Média  - Fichiers déjà compris dans la session + ceux de la liste"));
    EXPECT_LE(w.width(), 625);
    QTreeWidget* tree = Tree(w);
    QTableView* grid = Grid(w);
    ASSERT_NE(tree, nullptr);
    ASSERT_NE(grid, nullptr);
    // Imported folders first (the session's order), then the list's.
    EXPECT_EQ(TreeLines(tree), QStringList({"CDROOT", "  Ancien", "    Sous", "  Nouveau", "    Plans"}));
    EXPECT_EQ(tree->currentItem(), Node(tree, {}));
    EXPECT_EQ(tree->statusTip(), QStringLiteral("Parcourir les dossiers."));

    QStringList heads;
    for (int c = 0; c < 3; ++c) heads << grid->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_EQ(heads, QStringList({"Nom", "Taille", "    Date & Heure "}));
    EXPECT_EQ(grid->horizontalHeader()->defaultSectionSize(), 150);
    EXPECT_EQ(GridRows(grid), QStringList({"Ancien| < DIR > |", "Racine.txt|        5|" + kRootDate,
                                           "Nouveau| < DIR > |", "Zeta.txt|        7|" + kZetaDate}));
    // Sizes line up on the right.
    EXPECT_EQ(grid->model()->index(1, 1).data(Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask,
              Qt::AlignRight);

    ClickNode(tree, {"Ancien", "Sous"});
    EXPECT_EQ(GridRows(grid), QStringList({"Photo.jpg|    70000|12-31-1999 23:59:58"}));
    ClickNode(tree, {"Ancien"});
    EXPECT_EQ(GridRows(grid), QStringList({"Sous| < DIR > |", "Lettre.txt|     1234|07-01-2008 00:00:01"}));

    // Both context menus offer the same two entries, with their keys.
    for (QWidget* control : {static_cast<QWidget*>(tree), static_cast<QWidget*>(grid)}) {
      EXPECT_EQ(control->contextMenuPolicy(), Qt::ActionsContextMenu);
      ASSERT_EQ(control->actions().size(), 2);
      EXPECT_EQ(control->actions()[0]->text(), QStringLiteral("Supprimer"));
      EXPECT_EQ(control->actions()[0]->shortcut(), QKeySequence(Qt::Key_Delete));
      EXPECT_EQ(control->actions()[1]->text(), QStringLiteral("Actualiser"));
      EXPECT_EQ(control->actions()[1]->shortcut(), QKeySequence(Qt::Key_F5));
    }
    auto* close = w.findChild<QAbstractButton*>(QStringLiteral("bClose"));
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->text(), QStringLiteral("Fermer"));
    EXPECT_EQ(close->statusTip(), QStringLiteral("Appuyer sur 'Fermer' ou 'X' pour continuer. "));
    QStringList texts;
    for (const QLabel* label : w.findChildren<QLabel*>()) texts << label->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("Supprimer : ")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Menu au clic droit de la souris - ou DEL - F5 pour rafraichir.  ")));
    QTest::mouseClick(close, Qt::LeftButton);
  });
  EXPECT_EQ(result, QDialog::Accepted);  // "Fermer", not the window's own close
}

TEST_F(DiscLayoutWindowTest, DeletedFilesAndFoldersAreNotBurnt) {
  REQUIRE_TOOLS("xorriso");
  BuildTwoSessions();
  if (HasFatalFailure()) return;
  Open([](TfrmDiscLayout& w) {
    QTreeWidget* tree = Tree(w);
    QTableView* grid = Grid(w);
    // A file of the imported session and one of the list, from the grid.
    ClickRow(grid, QStringLiteral("Racine.txt"));
    Press(grid, Qt::Key_Delete);
    EXPECT_EQ(GridRows(grid), RootRowsLeft());
    EXPECT_EQ(grid->currentIndex().row(), 1);  // the row that moved up
    ClickNode(tree, {"Nouveau"});
    ClickRow(grid, QStringLiteral("Note.txt"));
    Press(grid, Qt::Key_Delete);
    EXPECT_EQ(GridRows(grid), QStringList({"Plans| < DIR > |"}));
    // A folder of the imported session and one of the list, from the tree.
    ClickNode(tree, {"Ancien", "Sous"});
    Press(tree, Qt::Key_Delete);
    EXPECT_EQ(TreeLines(tree), QStringList({"CDROOT", "  Ancien", "  Nouveau", "    Plans"}));
    EXPECT_EQ(tree->currentItem(), Node(tree, {}));  // rebuilt, the root selected and shown
    EXPECT_EQ(GridRows(grid), RootRowsLeft());
    ClickNode(tree, {"Nouveau", "Plans"});
    Press(tree, Qt::Key_Delete);
    EXPECT_EQ(TreeLines(tree), QStringList({"CDROOT", "  Ancien", "  Nouveau"}));
    // An empty folder: one empty row.
    ClickNode(tree, {"Nouveau"});
    EXPECT_EQ(GridRows(grid), QStringList({"||"}));
    Press(grid, Qt::Key_Delete);  // on the empty row: nothing
    EXPECT_EQ(TreeLines(tree), QStringList({"CDROOT", "  Ancien", "  Nouveau"}));
  });
  EXPECT_EQ(burner_.FileCount(), 4);  // entries left: Ancien, Lettre.txt, Nouveau, Zeta.txt

  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  ASSERT_EQ(error_, "") << Log();
  const test::Extraction disc = test::Extract("xorriso", image_, dir_ / "read-back", burner_.SessionStart);
  ASSERT_TRUE(disc.ok) << disc.log;
  EXPECT_TRUE(test::SameTree(disc.tree, {{"Ancien/", ""},
                                         {"Ancien/Lettre.txt", test::Bytes(1234, 1)},
                                         {"Nouveau/", ""},
                                         {"Zeta.txt", "1234567"}}));
}

TEST_F(DiscLayoutWindowTest, TheRootStaysAndAFolderRowOnlyExplains) {
  BuildTwoSessions();
  if (HasFatalFailure()) return;
  const int files = burner_.FileCount(), dirs = burner_.DirectoryCount();
  Open([](TfrmDiscLayout& w) {
    QTreeWidget* tree = Tree(w);
    QTableView* grid = Grid(w);
    const QStringList tree_lines = TreeLines(tree), rows = GridRows(grid);
    ClickNode(tree, {});
    Press(tree, Qt::Key_Delete);
    EXPECT_EQ(TreeLines(tree), tree_lines);
    EXPECT_EQ(GridRows(grid), rows);

    QString said;
    WhenModal<QMessageBox>([&said](QMessageBox* box) {
      said = box->text();
      box->accept();
    });
    ClickRow(grid, QStringLiteral("Nouveau"));
    Press(grid, Qt::Key_Delete);
    EXPECT_EQ(said, QStringLiteral("Nouveau est un dossier. Utiliser l'arborescence (à gauche) pour le supprimer."));
    EXPECT_EQ(GridRows(grid), rows);
    EXPECT_EQ(TreeLines(tree), tree_lines);
  });
  EXPECT_EQ(burner_.FileCount(), files);
  EXPECT_EQ(burner_.DirectoryCount(), dirs);
}

TEST_F(DiscLayoutWindowTest, F5RebuildsFromTheCompilation) {
  BuildTwoSessions();
  if (HasFatalFailure()) return;
  Open([this](TfrmDiscLayout& w) {
    QTreeWidget* tree = Tree(w);
    QTableView* grid = Grid(w);
    ClickNode(tree, {"Ancien", "Sous"});
    // The compilation changes behind the window: F5 on the tree shows it.
    ASSERT_NE(burner_.AddDirByName(burner_.RootDir, "Ajouté", faDirectory), nullptr);
    ASSERT_TRUE(burner_.DeleteByName("\\", "Zeta.txt"));
    Press(tree, Qt::Key_F5);
    EXPECT_EQ(TreeLines(tree), QStringList({"CDROOT", "  Ancien", "    Sous", "  Nouveau", "    Plans", "  Ajouté"}));
    EXPECT_EQ(tree->currentItem(), Node(tree, {}));
    EXPECT_EQ(GridRows(grid), QStringList({"Ancien| < DIR > |", "Racine.txt|        5|" + kRootDate,
                                           "Nouveau| < DIR > |", "Ajouté| < DIR > |"}));
    // And F5 on the grid.
    ClickNode(tree, {"Nouveau", "Plans"});
    ASSERT_TRUE(burner_.DeleteByName("\\", "Racine.txt"));
    ClickRow(grid, QStringLiteral("Plan.pdf"));
    Press(grid, Qt::Key_F5);
    EXPECT_EQ(tree->currentItem(), Node(tree, {}));
    EXPECT_EQ(GridRows(grid), QStringList({"Ancien| < DIR > |", "Nouveau| < DIR > |", "Ajouté| < DIR > |"}));
  });
}

// The gauge over a CD-R whose next session starts at 701 MB of a 702.85 MB
// disc, with one new file: its figures, and the usage bar's colour in the
// gauge and on screen.
struct GaugeCase {
  const char* name;
  int file_mib;
  int mem_shaded;  // MB: 701 + the session's size rounded
  bool over_burn;
};

class DiscLayoutGauge : public DiscLayoutWindowTest, public ::testing::WithParamInterface<GaugeCase> {};

TEST_P(DiscLayoutGauge, UsageBarTurnsRedOnlyPastTheCapacity) {
  constexpr uint32_t kFree = 359849 - 701 * 512;  // the next writable address at exactly 701 MB
  test::NearlyFullCd(dir_ / "disc.img", kFree);
  LoadEmulated("cd-r");
  test::WriteFile(dir_ / "Film.bin", std::string(static_cast<size_t>(GetParam().file_mib) * 1048576, 'f'));
  ASSERT_TRUE(burner_.ClearCompilation(600000, 20000));
  ASSERT_EQ(burner_.AddFile("\\", dir_ / "Film.bin", false), 1);
  int over_burn_events = 0;
  Open([&over_burn_events](TfrmDiscLayout& w) {
    TCDSize* gauge = Gauge(w);
    ASSERT_NE(gauge, nullptr);
    EXPECT_EQ(gauge->MaxCDSize(), 703);  // 359849 blocks: 702.85 MB
    EXPECT_EQ(gauge->MaxMemory(), 802);
    EXPECT_EQ(gauge->MemShaded(), GetParam().mem_shaded);
    EXPECT_EQ(gauge->MemBarColour(), QColor(Qt::black));
    EXPECT_EQ(gauge->OverBurnColour(), QColor(255, 0, 0));
    EXPECT_EQ(gauge->TickColour(), QColor(Qt::gray));
    EXPECT_EQ(gauge->ProgressGap(), 10);
    EXPECT_EQ(gauge->statusTip(), QStringLiteral("Espace total disponible et espace utilisé"));
    gauge->OnOverBurn = [&over_burn_events] { ++over_burn_events; };
    // Along the middle row of the usage bar: its colour between the scale's
    // ticks, never the other one.
    const QImage drawn = gauge->grab().toImage();
    const QColor expected = GetParam().over_burn ? QColor(255, 0, 0) : QColor(Qt::black);
    const QColor other = GetParam().over_burn ? QColor(Qt::black) : QColor(255, 0, 0);
    const int bar_end = gauge->MemShaded() * gauge->width() / gauge->MaxMemory();
    int right = 0, wrong = 0;
    for (int x = 3; x < bar_end - 1; ++x) {
      const QColor pixel = drawn.pixelColor(x, (10 + gauge->height() / 2 - 10) / 2);
      right += pixel == expected;
      wrong += pixel == other;
    }
    EXPECT_GT(right, bar_end * 3 / 4);
    EXPECT_EQ(wrong, 0);
  });
  EXPECT_EQ(over_burn_events > 0, GetParam().over_burn);  // drawn red, the event comes (the window sets none)
}

INSTANTIATE_TEST_SUITE_P(NearlyFullCd, DiscLayoutGauge,
                         ::testing::Values(GaugeCase{"AtTheCapacity", 2, 703, false},
                                           GaugeCase{"OneMbPast", 3, 704, true}),
                         [](const auto& p) { return std::string(p.param.name); });

// The window as the user sees it, kept as a picture when ZAMO_SCREENSHOTS_DIR
// is set (scripts/screenshots.sh); no text of it is cut.
TEST_F(DiscLayoutWindowTest, DrawnWhole) {
  BuildTwoSessions();
  if (HasFatalFailure()) return;
  Open([](TfrmDiscLayout& w) {
    ClickNode(Tree(w), {"Nouveau"});
    QCoreApplication::processEvents();
    const QPixmap picture = w.grab();
    ASSERT_FALSE(picture.isNull());
    if (const char* out = std::getenv("ZAMO_SCREENSHOTS_DIR"); out != nullptr && *out != '\0') {
      EXPECT_TRUE(picture.save(QDir(QString::fromUtf8(out)).filePath(QStringLiteral("disc_layout_window.png"))));
    }
    for (QWidget* widget : w.findChildren<QWidget*>()) {
      auto* label = qobject_cast<QLabel*>(widget);
      auto* button = qobject_cast<QAbstractButton*>(widget);
      if (label == nullptr && button == nullptr) continue;
      EXPECT_GE(widget->width() + 1, widget->sizeHint().width()) << widget->objectName().toStdString();
      EXPECT_GE(widget->height() + 1, widget->sizeHint().height()) << widget->objectName().toStdString();
    }
    // The grid's three columns fit beside the tree, the dates whole.
    QTableView* grid = Grid(w);
    EXPECT_LE(grid->horizontalHeader()->length(), grid->viewport()->width());
    EXPECT_GT(grid->columnWidth(2), grid->fontMetrics().horizontalAdvance(QStringLiteral("12-31-1999 23:59:58")));
  });
}

}  // namespace
}  // namespace zamo
