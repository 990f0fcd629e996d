// The session chooser over an emulated CD-R whose discs the component
// records: what it says of a blank, an appendable (two sessions) and a closed
// disc, of a drive without a disc, its padded session lines, and "Afficher"
// with and without a chosen line.
#include "app/session_chooser.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include <cmath>

#include "app/disc_explorer.h"
#include "burner/platform/str_format.h"
#include "tests/app/burnt_disc.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::WhenModal;

// What the chooser showed.
struct Shown {
  QString caption, medium, size, used, free;
  QStringList lines;
};

class SessionChooserTest : public test::BurntDiscTest {
 protected:
  // Opens the chooser and reads it, then runs `act` on it (if any) and
  // closes it with Esc.
  Shown OpenChooser(const std::function<void(TfrmSessions*)>& act = {}) {
    Shown shown;
    WhenModal<TfrmSessions>([&](TfrmSessions* chooser) {
      shown.caption = chooser->windowTitle();
      shown.medium = Text(chooser, "lMedium");
      shown.size = Text(chooser, "lSize");
      shown.used = Text(chooser, "lUsed");
      shown.free = Text(chooser, "lFree");
      auto* list = chooser->findChild<QListWidget*>(QStringLiteral("lbSessions"));
      for (int i = 0; list != nullptr && i < list->count(); ++i) shown.lines << list->item(i)->text();
      if (act) act(chooser);
      QTest::keyClick(chooser, Qt::Key_Escape);
    });
    const int result = TfrmSessions(burner_, nullptr).Open();
    EXPECT_EQ(result, QDialog::Rejected);
    return shown;
  }

  static QString Text(QWidget* window, const char* label) {
    auto* widget = window->findChild<QLabel*>(QString::fromLatin1(label));
    EXPECT_NE(widget, nullptr) << label;
    return widget ? widget->text() : QString();
  }
  static QString Mb(int64_t blocks) { return QString::fromStdString(FormatMb(blocks * 2048)); }
};

TEST(SessionLineTest, FieldsArePaddedToTheirColumns) {
  // Session 12 at block 345, 45 MB long (23,040 blocks).
  EXPECT_EQ(TfrmSessions::SessionLine(12, 345, 23040), "  012         345     45 MB");
  EXPECT_EQ(TfrmSessions::SessionLine(1, 0, 1), "  001           0      0 MB");
  // Half a MB rounds to the even neighbour; wide fields are not cut.
  EXPECT_EQ(TfrmSessions::SessionLine(2, 12345678, 512 * 2 + 256), "  002    12345678      2 MB");
  EXPECT_EQ(TfrmSessions::SessionLine(3, 0, 512 * 3 + 256), "  003           0      4 MB");
  EXPECT_EQ(TfrmSessions::SessionLine(1234, 123456789, 512 * 12345), "  1234    123456789   12345 MB");
}

TEST_F(SessionChooserTest, BlankDiscHasNoSessionAndIsOpen) {
  LoadEmulated("cd-r");
  const Shown shown = OpenChooser();
  EXPECT_EQ(shown.caption, " Sessions");
  EXPECT_EQ(shown.medium, "CD-R");
  EXPECT_EQ(shown.size, "702.83 MB");  // 359,849 blocks: 80 minutes
  EXPECT_EQ(shown.used, "0.00 MB,  Nb. de Sessions : 0");
  EXPECT_EQ(shown.free, "702.83 MB, Média OUVERT");
  EXPECT_TRUE(shown.lines.isEmpty()) << shown.lines.join('\n').toStdString();
}

TEST_F(SessionChooserTest, AppendableDiscListsBothSessionsWhereTheyWereRecorded) {
  LoadEmulated("cd-r");
  test::MakeTree(dir_ / "un", {{"Lisez-moi.txt", "Bonjour\n"}, {"Photos/plage.jpg", test::RandomBytes(3000000, 1)}});
  test::MakeTree(dir_ / "deux", {{"grand.bin", test::RandomBytes(5500000, 2)}});
  BurnSession(dir_ / "un");
  BurnSession(dir_ / "deux");
  const std::vector<Track> tracks = RecordedTracks();
  ASSERT_EQ(tracks.size(), 2u);
  ASSERT_EQ(tracks[0].start, 0u);
  ASSERT_GT(tracks[1].start, tracks[0].size);

  const Shown shown = OpenChooser();
  EXPECT_EQ(shown.medium, "CD-R");
  // 1,470 blocks and more: 3 MB; 2,686 and more: 5 MB.
  ASSERT_EQ(shown.lines.size(), 2) << shown.lines.join('\n').toStdString();
  EXPECT_EQ(shown.lines[0], "  001           0      3 MB");
  EXPECT_EQ(shown.lines[1], QStringLiteral("  002    %1      5 MB").arg(tracks[1].start, 8));
  EXPECT_EQ(std::lround(tracks[0].size / 512.0), 3);
  EXPECT_EQ(std::lround(tracks[1].size / 512.0), 5);

  // Used: up to where the next session starts (the emulator's invisible
  // track); free: what is left up to the lead-out.
  const uint32_t next = NextTrackStart();
  ASSERT_GT(next, tracks[1].start + tracks[1].size);
  EXPECT_EQ(shown.size, "702.83 MB");
  EXPECT_EQ(shown.used, Mb(next) + ",  Nb. de Sessions : 2");
  EXPECT_EQ(shown.free, Mb(359849 - next) + ", Média OUVERT");
}

TEST_F(SessionChooserTest, ClosedDiscSaysSoAndHasNoFreeSpace) {
  LoadEmulated("cd-r");
  test::MakeTree(dir_ / "un", {{"Lisez-moi.txt", "Bonjour\n"}});
  BurnSession(dir_ / "un", /*close=*/true);
  const Shown shown = OpenChooser();
  EXPECT_EQ(shown.medium, "CD-R");
  EXPECT_EQ(shown.free, "0.00 MB, Média CLÔTURÉ/FINALISÉ");
  EXPECT_TRUE(shown.used.endsWith(",  Nb. de Sessions : 1")) << shown.used.toStdString();
  ASSERT_EQ(shown.lines.size(), 1);
  EXPECT_EQ(shown.lines[0], "  001           0      1 MB");  // 300 blocks and the run-out: 0.59 MB
}

TEST_F(SessionChooserTest, DriveWithoutDiscShowsTheErrorLineAlone) {
  LoadEmulated("cd-r", ",disc=none");
  const Shown shown = OpenChooser();
  EXPECT_EQ(shown.lines, QStringList{TfrmSessions::kErrorLine});
  EXPECT_EQ(shown.medium, "");
  EXPECT_EQ(shown.free, "");
}

TEST_F(SessionChooserTest, ShowWithoutAChosenLineOnlyAsksForOne) {
  LoadEmulated("cd-r");
  test::MakeTree(dir_ / "un", {{"Lisez-moi.txt", "Bonjour\n"}});
  BurnSession(dir_ / "un");
  const int files = burner_.FileCount();
  QString message;
  bool explorer_opened = false;
  OpenChooser([&](TfrmSessions* chooser) {
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      message = box->text();
      box->accept();
    });
    WhenModal<TfrmTree>([&](TfrmTree* tree) {
      explorer_opened = true;
      tree->reject();
    }, 15);
    QTest::mouseClick(chooser->findChild<QPushButton*>(QStringLiteral("bShow")), Qt::LeftButton);
    QTest::qWait(500);  // past the watcher's last try: it answers no later dialog
  });
  EXPECT_EQ(message, "Choisir une session parmi la liste ");
  EXPECT_FALSE(explorer_opened);
  EXPECT_EQ(burner_.FileCount(), files) << "the compilation is left as it was";
}

// A click on a line opens the explorer on that session, imported into an
// emptied compilation; "Afficher" does the same for the chosen line.
TEST_F(SessionChooserTest, ClickOnALineOpensTheExplorerOnThatSession) {
  LoadEmulated("cd-r");
  test::MakeTree(dir_ / "un", {{"premier.txt", "1"}});
  test::MakeTree(dir_ / "deux", {{"second.txt", "2"}});
  BurnSession(dir_ / "un");
  BurnSession(dir_ / "deux");
  ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
  ASSERT_GT(burner_.AddFolder("\\", dir_ / "deux", false, false, true, faAnyFile, "*"), 0);  // a list's leftovers

  std::vector<QStringList> grids;
  const auto read_grid = [&grids](TfrmTree* tree) {
    auto* grid = tree->findChild<QTableWidget*>(QStringLiteral("sgFiles"));
    QStringList names;
    for (int row = 0; grid != nullptr && row < grid->rowCount(); ++row) {
      names << (grid->item(row, 0) ? grid->item(row, 0)->text() : QString());
    }
    grids.push_back(names);
    QTest::keyClick(tree, Qt::Key_Escape);
  };
  OpenChooser([&](TfrmSessions* chooser) {
    auto* list = chooser->findChild<QListWidget*>(QStringLiteral("lbSessions"));
    ASSERT_EQ(list->count(), 2);
    WhenModal<TfrmTree>(read_grid);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    WhenModal<TfrmTree>(read_grid);
    list->setCurrentRow(1);
    QTest::mouseClick(chooser->findChild<QPushButton*>(QStringLiteral("bShow")), Qt::LeftButton);
  });
  ASSERT_EQ(grids.size(), 2u);
  EXPECT_EQ(grids[0], QStringList{" 1 premier.txt"});
  // Both sessions' files (in the compilation's order, which the explorer's
  // own tests check).
  ASSERT_EQ(grids[1].size(), 2);
  EXPECT_TRUE(grids[1][0].startsWith(" 1 ") && grids[1][1].startsWith(" 2 ")) << grids[1].join('|').toStdString();
  QStringList both = {grids[1][0].mid(3), grids[1][1].mid(3)};
  both.sort();
  EXPECT_EQ(both, (QStringList{"premier.txt", "second.txt"}));
  EXPECT_EQ(burner_.FileCount(), 2) << "the compilation holds the session shown, nothing else";
}

}  // namespace
}  // namespace zamo
