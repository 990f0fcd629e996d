// The disc explorer over an emulated CD-R holding two sessions the component
// recorded: the folder tree and the grid of each session, the gauge, a file
// extracted by a double click, every file of a folder extracted at once
// (questions before replacing, an unreadable file that does not stop the
// rest, the closing count), a folder double-clicked; and the disc windows
// drawn as pictures.
#include "app/disc_explorer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include <cmath>
#include <cstdlib>

#include "app/disc_fill_gauge.h"
#include "app/session_chooser.h"
#include "tests/app/burnt_disc.h"
#include "tests/support/same_bytes.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::WhenModal;

using Rows = std::vector<std::pair<QString, QString>>;

class DiscExplorerTest : public test::BurntDiscTest {
 protected:
  // Two sessions: the second adds a folder, a big file and a photo to the
  // first one's "Photos".
  void SetUp() override {
    test::MakeTree(dir_ / "un", {{"Lisez-moi.txt", "Bonjour\n"},
                                 {"Photos/plage.jpg", test::RandomBytes(300000, 1)},
                                 {"Photos/Vacances/soir.jpg", test::RandomBytes(5000, 2)},
                                 {"Documents/rapport annuel.pdf", test::RandomBytes(123457, 3)},
                                 {"Lot/a.txt", "nouveau a"},
                                 {"Lot/b.txt", "nouveau b"},
                                 {"Lot/c.bin", test::RandomBytes(10000, 4)},
                                 {"Lot/d.txt", "nouveau d"},
                                 {"Lot/sous/e.txt", "e"}});
    test::MakeTree(dir_ / "deux", {{"Notes/idées.txt", "à faire"},
                                   {"grand.bin", test::RandomBytes(1500000, 5)},
                                   {"Photos/nouvelle.jpg", test::RandomBytes(7000, 6)}});
  }

  void BurnBoth() {
    LoadEmulated("cd-r");
    BurnSession(dir_ / "un");
    BurnSession(dir_ / "deux");
  }

  // Imports `session` into the emptied compilation, as the chooser does.
  void Import(int session) {
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    ASSERT_TRUE(burner_.ImportSessionTree(session, burner_.RootDir)) << Log();
  }

  // Opens the explorer on the compilation, runs `act` on it, then closes it.
  void Explore(const std::function<void(TfrmTree*)>& act) {
    WhenModal<TfrmTree>([&](TfrmTree* tree) {
      act(tree);
      QTest::keyClick(tree, Qt::Key_Escape);
    });
    TfrmTree(burner_, nullptr).Open();
  }

  static QTreeWidget* Tree(TfrmTree* w) { return w->findChild<QTreeWidget*>(QStringLiteral("tvFolders")); }
  static QTableWidget* Grid(TfrmTree* w) { return w->findChild<QTableWidget*>(QStringLiteral("sgFiles")); }

  // The tree's captions, depth first, indented two spaces a level.
  static QStringList TreeLines(TfrmTree* w) {
    QStringList lines;
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* item, int depth) {
      lines << QString(depth * 2, QLatin1Char(' ')) + item->text(0);
      for (int i = 0; i < item->childCount(); ++i) walk(item->child(i), depth + 1);
    };
    for (int i = 0; i < Tree(w)->topLevelItemCount(); ++i) walk(Tree(w)->topLevelItem(i), 0);
    return lines;
  }
  static Rows GridRows(TfrmTree* w) {
    Rows rows;
    QTableWidget* grid = Grid(w);
    for (int r = 0; r < grid->rowCount(); ++r) {
      const auto cell = [&](int c) { return grid->item(r, c) ? grid->item(r, c)->text() : QString(); };
      rows.emplace_back(cell(0), cell(1));
    }
    return rows;
  }
  // The rows the grid must show for the folder `path` of the compilation:
  // its entries in the folder's child order, numbered, each with its size
  // cell from `sizes`, which must name every entry.
  Rows Expected(const std::string& path, const std::map<QString, QString>& sizes) {
    const TDEntry* dir = burner_.FindDir(path);
    EXPECT_NE(dir, nullptr) << path;
    Rows rows;
    std::map<QString, QString> left = sizes;
    for (const TFEntry* child = dir ? dir->FirstChild : nullptr; child != nullptr; child = child->Next) {
      const QString name = QString::fromStdString(child->LongName);
      rows.emplace_back(QStringLiteral("%1 %2").arg(rows.size() + 1, 2).arg(name), left.count(name) ? left[name] : "?");
      left.erase(name);
    }
    EXPECT_TRUE(left.empty()) << "missing in the compilation: " << left.begin()->first.toStdString();
    return rows;
  }
  // The tree the window must show: the folders of the compilation below the
  // root, depth first in each folder's child order; `folders` must be them all.
  QStringList ExpectedTree(QStringList folders) {
    QStringList lines{"CDROOT"};
    std::function<void(const TDEntry*, const QString&, int)> walk = [&](const TDEntry* dir, const QString& path,
                                                                        int depth) {
      for (const TFEntry* child = dir->FirstChild; child != nullptr; child = child->Next) {
        if ((child->Attr & faDirectory) == 0) continue;
        const QString name = QString::fromStdString(child->LongName);
        lines << QString(depth * 2, QLatin1Char(' ')) + name;
        EXPECT_TRUE(folders.removeOne(path + name)) << "unexpected folder " << (path + name).toStdString();
        walk(child->Dir, path + name + "/", depth + 1);
      }
    };
    walk(burner_.RootDir, "", 1);
    EXPECT_TRUE(folders.isEmpty()) << "missing folders: " << folders.join(", ").toStdString();
    return lines;
  }

  // Selects the folder of the tree with this caption, as a click does.
  static void ChooseFolder(TfrmTree* w, const QString& caption) {
    const QList<QTreeWidgetItem*> found = Tree(w)->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
    ASSERT_EQ(found.size(), 1) << caption.toStdString();
    Tree(w)->scrollToItem(found.front());
    QTest::mouseClick(Tree(w)->viewport(), Qt::LeftButton, {}, Tree(w)->visualItemRect(found.front()).center());
    ASSERT_EQ(Tree(w)->currentItem(), found.front());
  }
  static int RowOf(TfrmTree* w, const QString& name) {
    QTableWidget* grid = Grid(w);
    for (int r = 0; r < grid->rowCount(); ++r) {
      if (grid->item(r, 0) && grid->item(r, 0)->text().mid(3) == name) return r;
    }
    ADD_FAILURE() << "no row " << name.toStdString();
    return -1;
  }
  static void DoubleClickRow(TfrmTree* w, int row) {
    QTableWidget* grid = Grid(w);
    grid->scrollToItem(grid->item(row, 0));
    // As the mouse does it: press, release, the double click, release.
    const QPoint at = grid->visualItemRect(grid->item(row, 0)).center();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, at);
  }
  static void ClickStatusPanel(TfrmTree* w) {
    auto* panel = w->findChild<QWidget*>(QStringLiteral("pStatus"));
    QTest::mouseClick(panel, Qt::LeftButton, {}, QPoint(panel->width() - 5, panel->height() / 2));
  }
  // Answers the next file chooser: `path` typed into its name box, then
  // accepted; the name it proposed is kept in `proposed`, the folder it
  // opened on in `folder`.
  static void AnswerChooser(const QString& path, QString* proposed = nullptr, QString* folder = nullptr) {
    WhenModal<QFileDialog>([path, proposed, folder](QFileDialog* chooser) {
      if (folder != nullptr) *folder = chooser->directory().absolutePath();
      auto* name = chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      if (name == nullptr) {
        ADD_FAILURE() << "the chooser has no name box";
        chooser->reject();
        return;
      }
      if (proposed != nullptr) *proposed = name->text();
      name->setText(path);
      static_cast<QDialog*>(chooser)->accept();
    });
  }
};

TEST_F(DiscExplorerTest, SecondSessionShowsTheFilesOfBothSessions) {
  BurnBoth();
  Import(2);
  Explore([this](TfrmTree* w) {
    EXPECT_EQ(w->windowTitle(), "Explorateur ZAMO Média");
    EXPECT_LE(w->width(), 625);
    EXPECT_EQ(TreeLines(w), ExpectedTree({"Documents", "Lot", "Lot/sous", "Notes", "Photos", "Photos/Vacances"}));
    EXPECT_EQ(Tree(w)->currentItem()->text(0), "CDROOT");
    EXPECT_EQ(Grid(w)->horizontalHeaderItem(0)->text(), "Nom fichier");
    EXPECT_EQ(Grid(w)->horizontalHeaderItem(1)->text(), "Taille");
    EXPECT_EQ(Grid(w)->columnWidth(0), 377);
    EXPECT_EQ(Grid(w)->columnWidth(1), 101);
    EXPECT_EQ(GridRows(w), Expected("\\", {{"Documents", " < DIR > "},
                                           {"Lisez-moi.txt", "        8"},
                                           {"Lot", " < DIR > "},
                                           {"Notes", " < DIR > "},
                                           {"Photos", " < DIR > "},
                                           {"grand.bin", "  1500000"}}));
    ChooseFolder(w, "Photos");
    EXPECT_EQ(GridRows(w), Expected("\\PHOTOS", {{"Vacances", " < DIR > "},
                                                 {"nouvelle.jpg", "     7000"},
                                                 {"plage.jpg", "   300000"}}));
    ChooseFolder(w, "Notes");
    EXPECT_EQ(GridRows(w), Expected("\\NOTES", {{"idées.txt", "        8"}}));  // "à faire": 8 bytes of UTF-8
  });
}

TEST_F(DiscExplorerTest, FirstSessionShowsOnlyItsOwnFilesAndTheGaugeTheDisc) {
  BurnBoth();
  Import(1);
  Explore([this](TfrmTree* w) {
    EXPECT_EQ(TreeLines(w), ExpectedTree({"Documents", "Lot", "Lot/sous", "Photos", "Photos/Vacances"}));
    EXPECT_EQ(GridRows(w), Expected("\\", {{"Documents", " < DIR > "},
                                           {"Lisez-moi.txt", "        8"},
                                           {"Lot", " < DIR > "},
                                           {"Photos", " < DIR > "}}));
    ChooseFolder(w, "Photos");
    EXPECT_EQ(GridRows(w), Expected("\\PHOTOS", {{"Vacances", " < DIR > "}, {"plage.jpg", "   300000"}}));
    ChooseFolder(w, "Vacances");
    EXPECT_EQ(GridRows(w), Expected("\\PHOTOS\\VACANCES", {{"soir.jpg", "     5000"}}));

    // 80 minutes: 702.83 MB, the scale 100 MB longer; the used part ends
    // where the next session would start.
    auto* gauge = w->findChild<TCDSize*>(QStringLiteral("cdSize"));
    ASSERT_NE(gauge, nullptr);
    EXPECT_EQ(gauge->MaxCDSize(), 703);
    EXPECT_EQ(gauge->MaxMemory(), 802);
    EXPECT_EQ(gauge->MemShaded(), std::lround(NextTrackStart() * 2048.0 / 1048576));
    EXPECT_EQ(gauge->MemBarColour(), QColor(Qt::black));
    EXPECT_EQ(gauge->TickColour(), QColor(128, 128, 128));
    EXPECT_EQ(gauge->ProgressGap(), 10);
  });
}

// An import that reads nothing (no disc) leaves the root alone: one node and
// one empty row, which a double click ignores.
TEST_F(DiscExplorerTest, EmptySessionShowsTheRootAndOneEmptyRow) {
  LoadEmulated("cd-r");
  ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
  EXPECT_FALSE(burner_.ImportSessionTree(1, burner_.RootDir));
  Explore([](TfrmTree* w) {
    EXPECT_EQ(TreeLines(w), QStringList{"CDROOT"});
    EXPECT_EQ(GridRows(w), (Rows{{"", ""}}));
    bool asked = false;
    WhenModal<QDialog>([&asked](QDialog* box) {
      asked = true;
      box->reject();
    }, 15);
    DoubleClickRow(w, 0);
    QTest::qWait(500);  // past the watcher's last try: it answers no later dialog
    EXPECT_FALSE(asked);
  });
}

TEST_F(DiscExplorerTest, DoubleClickExtractsTheFileUnderTheNameTheUserGives) {
  BurnBoth();
  Import(2);
  const QString dest = QString::fromStdString(dir_ / "copie de grand.bin");
  QString proposed;
  Explore([&](TfrmTree* w) {
    AnswerChooser(dest, &proposed);
    DoubleClickRow(w, RowOf(w, "grand.bin"));
  });
  EXPECT_EQ(proposed, "grand.bin");
  ASSERT_TRUE(test::PathExists(dest.toStdString())) << Log();
  EXPECT_TRUE(test::SameBytes(test::ReadFile(dest.toStdString()), test::ReadFile(dir_ / "deux/grand.bin")));

  // A file of the first session, from the second session's tree.
  const QString photo = QString::fromStdString(dir_ / "plage.jpg");
  Explore([&](TfrmTree* w) {
    ChooseFolder(w, "Photos");
    AnswerChooser(photo, &proposed);
    DoubleClickRow(w, RowOf(w, "plage.jpg"));
  });
  EXPECT_EQ(proposed, "plage.jpg");
  EXPECT_TRUE(test::SameBytes(test::ReadFile(photo.toStdString()), test::ReadFile(dir_ / "un/Photos/plage.jpg")));
}

TEST_F(DiscExplorerTest, DoubleClickOnAFolderOnlySaysItIsOne) {
  BurnBoth();
  Import(2);
  QString message;
  bool chooser_opened = false;
  Explore([&](TfrmTree* w) {
    WhenModal<QMessageBox>([&message](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    WhenModal<QFileDialog>([&chooser_opened](QFileDialog* chooser) {
      chooser_opened = true;
      chooser->reject();
    }, 15);
    DoubleClickRow(w, RowOf(w, "Photos"));
    QTest::qWait(500);  // past the watcher's last try: it answers no later dialog
  });
  EXPECT_EQ(message, "On ne peut extraire un dossier, Photos est un dossier");
  EXPECT_FALSE(chooser_opened);
}

// Extracting every file of "Lot" (a.txt, b.txt, c.bin, d.txt and the folder
// "sous", left alone) into a folder that already holds a.txt and b.txt,
// c.bin having a sector the drive cannot read.
struct ExtractAllCase {
  const char* name;
  std::vector<QString> answers;                 // to the questions, in turn
  int questions;                                // how many are asked
  std::map<std::string, std::string> expected;  // the folder afterwards (ReadTree)
  const char* count;                            // the closing line, before and after the folder
  const char* tail;
};

class DiscExplorerExtractAllTest : public DiscExplorerTest, public testing::WithParamInterface<ExtractAllCase> {};

TEST_P(DiscExplorerExtractAllTest, AsksOnceForAFolderAndBeforeReplacingAndGoesOnAfterAFailure) {
  const ExtractAllCase& c = GetParam();
  BurnBoth();
  // The drive fails below SCSI on c.bin's first sector, as a scratched disc would.
  Import(2);
  const TFEntry* bad = burner_.FindChild(burner_.FindDir("\\LOT"), "c.bin");
  ASSERT_NE(bad, nullptr);
  ReloadDrive(",ioerror=" + std::to_string(bad->IsoExtent) + ":EIO");
  Import(2);
  const std::string out = dir_ / "sortie";
  test::MakeTree(out, {{"a.txt", "ancien a"}, {"b.txt", "ancien b"}});

  QString proposed, start_folder;
  QStringList questions;
  Explore([&](TfrmTree* w) {
    ChooseFolder(w, "Lot");
    AnswerChooser(QString::fromStdString(out), &proposed, &start_folder);
    test::AnswerBoxes(c.answers, &questions);
    ClickStatusPanel(w);
    EXPECT_EQ(w->findChild<QLabel*>(QStringLiteral("lStatus"))->text(), TfrmTree::kStatusText);
  });
  EXPECT_EQ(start_folder, QDir::homePath());
  EXPECT_EQ(proposed, "");
  ASSERT_EQ(questions.size(), c.questions) << questions.join('\n').toStdString();
  EXPECT_EQ(questions[0], QStringLiteral("Le fichier %1/a.txt existe déjà.\nLe remplacer ?").arg(out.c_str()));
  EXPECT_TRUE(test::SameTree(test::ReadTree(out), c.expected));
  const std::string log = Log();
  EXPECT_NE(log.find(std::string(">>> EXTRACTION ") + c.count + " VERS " + out + c.tail + "\n"), std::string::npos)
      << log;
  // The unreadable file is named in the log, and d.txt is extracted after it.
  const size_t failure = log.find("c.bin");
  if (c.expected.count("d.txt") != 0) {
    ASSERT_NE(failure, std::string::npos) << log;
    EXPECT_NE(log.find("d.txt", failure), std::string::npos) << log;
  }
}

const std::string kNewA = "nouveau a", kNewB = "nouveau b", kNewD = "nouveau d";
INSTANTIATE_TEST_SUITE_P(
    Answers, DiscExplorerExtractAllTest,
    testing::Values(ExtractAllCase{"IgnoreThenReplace",
                                   {"Ignorer", "Remplacer"},
                                   2,
                                   {{"a.txt", "ancien a"}, {"b.txt", kNewB}, {"d.txt", kNewD}},
                                   "TERMINÉE: 2 FICHIER(S) COPIÉ(S) SUR 4",
                                   ", 1 IGNORÉ(S), 1 EN ÉCHEC"},
                    ExtractAllCase{"ReplaceAll",
                                   {"Tout remplacer"},
                                   1,
                                   {{"a.txt", kNewA}, {"b.txt", kNewB}, {"d.txt", kNewD}},
                                   "TERMINÉE: 3 FICHIER(S) COPIÉ(S) SUR 4",
                                   ", 1 EN ÉCHEC"},
                    ExtractAllCase{"Cancel",
                                   {"Annuler"},
                                   1,
                                   {{"a.txt", "ancien a"}, {"b.txt", "ancien b"}},
                                   "ANNULÉE: 0 FICHIER(S) COPIÉ(S) SUR 4",
                                   ""}),
    [](const testing::TestParamInfo<ExtractAllCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(DiscExplorerTest, ExtractAllRefusesTheSystemRoot) {
  BurnBoth();
  Import(1);
  QString message;
  Explore([&](TfrmTree* w) {
    AnswerChooser(QStringLiteral("/"));
    WhenModal<QMessageBox>([&message](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    ClickStatusPanel(w);
  });
  EXPECT_TRUE(message.startsWith("Les fichiers ne sont pas extraits à la racine du système"))
      << message.toStdString();
  EXPECT_FALSE(test::PathExists("/Lisez-moi.txt"));
  EXPECT_EQ(Log().find("EXTRACTION TERMINÉE"), std::string::npos);
}

}  // namespace
}  // namespace zamo

namespace zamo {
namespace {

// The disc windows as the user sees them: the session chooser of a
// two-session disc, the explorer on a folder with files, and gauges within
// and past capacity. No text may be cut; with ZAMO_SCREENSHOTS_DIR set
// (scripts/screenshots.sh, under Xvfb) the pictures are kept there.
class DiscWindowsTest : public DiscExplorerTest {
 protected:
  void Keep(QWidget* window, const char* name) {
    QCoreApplication::processEvents();
    const QPixmap picture = window->grab();
    EXPECT_FALSE(picture.isNull()) << name;
    const char* out = std::getenv("ZAMO_SCREENSHOTS_DIR");
    if (out != nullptr && *out != '\0') {
      EXPECT_TRUE(picture.save(QDir(QString::fromUtf8(out)).filePath(QString::fromUtf8(name) + ".png"))) << name;
    }
    for (QWidget* widget : window->findChildren<QWidget*>()) {
      if (!widget->isVisible()) continue;
      auto* label = qobject_cast<QLabel*>(widget);
      auto* button = qobject_cast<QAbstractButton*>(widget);
      if ((label == nullptr || label->wordWrap()) && button == nullptr) continue;
      const QSize hint = widget->sizeHint();
      EXPECT_TRUE(widget->width() + 1 >= hint.width() && widget->height() + 1 >= hint.height())
          << name << ": " << widget->objectName().toStdString() << " "
          << (label ? label->text() : button->text()).toStdString() << " is cut";
    }
  }
};

TEST_F(DiscWindowsTest, EveryDiscWindowShowsItsTextsWhole) {
  BurnBoth();
  WhenModal<TfrmSessions>([this](TfrmSessions* chooser) {
    auto* list = chooser->findChild<QListWidget*>(QStringLiteral("lbSessions"));
    list->setCurrentRow(1);
    Keep(chooser, "session_chooser");
    WhenModal<TfrmTree>([this](TfrmTree* w) {
      ChooseFolder(w, "Photos");
      Keep(w, "disc_explorer");
      w->reject();
    });
    QTest::mouseClick(chooser->findChild<QPushButton*>(QStringLiteral("bShow")), Qt::LeftButton);
    chooser->reject();
  });
  TfrmSessions(burner_, nullptr).Open();

  for (const auto& [name, used] : {std::pair{"disc_fill_gauge", 455}, std::pair{"disc_fill_gauge_over", 780}}) {
    TCDSize gauge;
    gauge.resize(600, 56);
    gauge.SetTickColour(QColor(128, 128, 128));
    gauge.SetProgressGap(10);
    gauge.SetMaxMemory(802);
    gauge.SetMaxCDSize(703);
    gauge.SetMemShaded(used);
    gauge.show();
    Keep(&gauge, name);
  }
}

}  // namespace
}  // namespace zamo
