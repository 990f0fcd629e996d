// file_list_test.cpp: the "Fichiers à graver" list driven as a user drives
// it: drops of files and folders from a file manager, marks that refuse
// every change, removal and emptying, the three-state path option, and the
// fill estimate over emulated recorders.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QToolButton>

#include <fstream>
#include <string>
#include <vector>

#include "app/file_list.h"
#include "burner/drive/transport.h"
#include "burner/platform/file_attributes.h"
#include "emulator/emulated_backend.h"
#include "tests/app/drop_events.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::DropUriList;
using test::UriList;

// The digits of a size text: the locale decides the separator.
int64_t DigitsOf(const QString& text) {
  QString digits;
  for (QChar c : text)
    if (c.isDigit()) digits += c;
  return digits.isEmpty() ? -1 : digits.toLongLong();
}

class FileListTest : public ::testing::Test {
 protected:
  FileListTest() : list_(burner_, [this](Qt::CheckState state) { saved_.push_back(state); }) {
    list_.resize(520, 300);
    list_.show();
    list_.activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(&list_));
  }
  void TearDown() override { transport::AspiUnload(); }

  test::DropOutcome Drop(const std::vector<std::string>& paths) {
    return DropUriList(list_.Box()->viewport(), UriList(paths));
  }
  QTreeWidgetItem* Item(int row) const { return list_.Box()->topLevelItem(row); }
  std::vector<std::string> Paths() const {
    std::vector<std::string> paths;
    for (const TListEntry& entry : list_.Entries()) paths.push_back(entry.Path);
    return paths;
  }
  void Select(int row) { list_.Box()->setCurrentItem(Item(row)); }
  QPoint CellCentre(int row, int column) const {
    const QRect rect = list_.Box()->visualItemRect(Item(row));
    const int left = list_.Box()->header()->sectionViewportPosition(column);
    return {left + list_.Box()->header()->sectionSize(column) / 2, rect.center().y()};
  }
  // A file of `size` bytes that takes no room on the disk.
  std::string SparseFile(const std::string& name, off_t size) {
    const std::string path = dir_ / name;
    test::WriteFile(path, "");
    EXPECT_EQ(truncate(path.c_str(), size), 0);
    return path;
  }

  test::TempDir dir_;
  TVeskBurner burner_{nullptr};
  std::vector<Qt::CheckState> saved_;
  TFileList list_;
};

// ---- Drops ---------------------------------------------------------------

TEST_F(FileListTest, AFolderGetsASlashAndItsTreeSizeAFileStaysAsDropped) {
  test::MakeTree(dir_.path(), {{"photos/a.jpg", std::string(1000, 'a')},
                               {"photos/sous/b.jpg", std::string(2500, 'b')},
                               {"photos/sous/vide/", ""},
                               {"notes.txt", std::string(1234567, 'n')},
                               {"zero.txt", ""},
                               {"vide/", ""}});
  QSignalSpy status(&list_, &TFileList::statusMessage);
  QSignalSpy changed(&list_, &TFileList::listChanged);
  const test::DropOutcome outcome =
      Drop({dir_ / "photos", dir_ / "notes.txt", dir_ / "photos/", dir_ / "vide", dir_ / "parti.txt",
            dir_ / "zero.txt"});
  EXPECT_TRUE(outcome.dropped);
  EXPECT_EQ(outcome.action, Qt::CopyAction);

  const std::vector<TListEntry> entries = list_.Entries();
  ASSERT_EQ(entries.size(), 6u) << "the same folder twice gives two entries";
  const std::vector<std::string> expected_paths{dir_ / "photos/", dir_ / "notes.txt", dir_ / "photos/",
                                                dir_ / "vide/",   dir_ / "parti.txt", dir_ / "zero.txt"};
  EXPECT_EQ(Paths(), expected_paths);
  const std::vector<int64_t> expected_bytes{3500, 1234567, 3500, 0, 0, 0};
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(entries[i].Path);
    EXPECT_EQ(entries[i].Bytes, expected_bytes[i]);
    EXPECT_FALSE(entries[i].Recursive);
    EXPECT_EQ(Item(int(i))->text(1).toStdString(), expected_paths[i]) << "the Nom column shows the path";
    if (expected_bytes[i] == 0) {
      EXPECT_EQ(entries[i].SizeText, QString()) << "an empty folder, a vanished path and 0 bytes: no size";
    } else {
      EXPECT_EQ(DigitsOf(entries[i].SizeText), expected_bytes[i]);
    }
    EXPECT_EQ(Item(int(i))->text(2), entries[i].SizeText);
  }
  EXPECT_EQ(list_.TotalBytes(), 3500 + 1234567 + 3500);

  ASSERT_EQ(status.count(), 2);
  EXPECT_EQ(status[0][0].toString(), QStringLiteral("****** Calculs en cours. Veillez patienter ******"));
  EXPECT_EQ(status[1][0].toString(), QString());
  EXPECT_EQ(changed.count(), 1);

  // With a folder in the list the mark column shows pictures, not boxes.
  for (int row = 0; row < list_.Count(); ++row) {
    EXPECT_FALSE(Item(row)->data(0, Qt::CheckStateRole).isValid()) << row;
    EXPECT_FALSE(Item(row)->icon(0).isNull()) << row;
  }
}

TEST_F(FileListTest, LinksBackUpTheTreeAreNotWalkedAgain) {
  // Two links back up would make a naive walk go on for ever.
  test::MakeTree(dir_.path(), {{"arbre/x/f.txt", "abc"}, {"arbre/g.txt", "12345"}, {"autre/h.txt", "1234567"}});
  ASSERT_EQ(symlink("..", (dir_ / "arbre/x/haut").c_str()), 0);
  ASSERT_EQ(symlink("../..", (dir_ / "arbre/x/racine").c_str()), 0);
  ASSERT_EQ(symlink("../autre", (dir_ / "arbre/ailleurs").c_str()), 0);  // elsewhere: followed
  ASSERT_TRUE(Drop({dir_ / "arbre"}).dropped);
  ASSERT_EQ(list_.Count(), 1);
  EXPECT_EQ(list_.Entries()[0].Bytes, 3 + 5 + 7 + 7) << "x/racine leads to a tree holding autre/ too";
}

TEST_F(FileListTest, ProgramArgumentsAddWhatADropAdds) {
  test::MakeTree(dir_.path(), {{"d/x.bin", std::string(4096, 'x')}, {"f.txt", "abc"}});
  const std::vector<std::string> paths{dir_ / "f.txt", dir_ / "d", dir_ / "gone"};
  ASSERT_TRUE(Drop(paths).dropped);
  const std::vector<TListEntry> dropped = list_.Entries();

  TVeskBurner other_burner{nullptr};
  TFileList other(other_burner, {});
  QStringList arguments;
  for (const std::string& path : paths) arguments << QString::fromStdString(path);
  other.AddPaths(arguments);
  const std::vector<TListEntry> added = other.Entries();
  ASSERT_EQ(added.size(), dropped.size());
  for (size_t i = 0; i < added.size(); ++i) {
    EXPECT_EQ(added[i].Path, dropped[i].Path);
    EXPECT_EQ(added[i].SizeText, dropped[i].SizeText);
    EXPECT_EQ(added[i].Bytes, dropped[i].Bytes);
  }
  EXPECT_EQ(added[1].Path, dir_ / "d/");
}

// ---- Marks, editing --------------------------------------------------------

TEST_F(FileListTest, MarksAndTextsRefuseEveryChange) {
  test::MakeTree(dir_.path(), {{"a.txt", "a"}, {"b.txt", "bb"}});
  ASSERT_TRUE(Drop({dir_ / "a.txt", dir_ / "b.txt"}).dropped);
  ASSERT_EQ(Item(0)->checkState(0), Qt::Unchecked) << "files alone keep check boxes";

  // A click on the box itself, where a checkable item would toggle.
  QStyleOptionViewItem option;
  option.initFrom(list_.Box());
  option.rect = list_.Box()->visualItemRect(Item(0));
  option.rect.setLeft(list_.Box()->header()->sectionViewportPosition(0));
  option.rect.setWidth(list_.Box()->header()->sectionSize(0));
  option.features = QStyleOptionViewItem::HasCheckIndicator;
  const QRect box = list_.Box()->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list_.Box());
  QTest::mouseClick(list_.Box()->viewport(), Qt::LeftButton, {}, box.center());
  EXPECT_EQ(Item(0)->checkState(0), Qt::Unchecked);
  // The keyboard, and any other way in.
  Select(1);
  list_.Box()->setFocus();
  QTest::keyClick(list_.Box(), Qt::Key_Space);
  EXPECT_EQ(Item(1)->checkState(0), Qt::Unchecked);
  Item(1)->setCheckState(0, Qt::Checked);
  EXPECT_EQ(Item(1)->checkState(0), Qt::Unchecked);
  for (const TListEntry& entry : list_.Entries()) EXPECT_FALSE(entry.Recursive);

  // No editing in place: F2 and typing change no text.
  Select(0);
  QTest::keyClick(list_.Box(), Qt::Key_F2);
  QTest::keyClicks(list_.Box(), "zzz");
  QTest::keyClick(list_.Box(), Qt::Key_Return);
  EXPECT_EQ(Item(0)->text(1).toStdString(), dir_ / "a.txt");
  EXPECT_EQ(list_.Count(), 2);
}

// ---- Removal, emptying -------------------------------------------------

TEST_F(FileListTest, RemovalTakesTheSelectedEntryOnly) {
  test::MakeTree(dir_.path(), {{"1.txt", "1"}, {"2.txt", "2"}, {"3.txt", "3"}, {"4.txt", "4"}, {"5.txt", "5"}});
  ASSERT_TRUE(Drop({dir_ / "1.txt", dir_ / "2.txt", dir_ / "3.txt", dir_ / "4.txt", dir_ / "5.txt"}).dropped);
  list_.Box()->clearSelection();
  list_.Box()->setCurrentItem(nullptr);
  list_.RemoveAction()->trigger();
  EXPECT_EQ(list_.Count(), 5) << "nothing happens without a selection";

  // A double click: the first press selects, the second removes.
  QTest::mouseClick(list_.Box()->viewport(), Qt::LeftButton, {}, CellCentre(1, 1));
  QTest::mouseDClick(list_.Box()->viewport(), Qt::LeftButton, {}, CellCentre(1, 1));
  EXPECT_EQ(Paths(), (std::vector<std::string>{dir_ / "1.txt", dir_ / "3.txt", dir_ / "4.txt", dir_ / "5.txt"}));

  Select(2);  // 4.txt
  list_.RemoveAction()->trigger();  // "Enlever l'item sélectionné"
  EXPECT_EQ(Paths(), (std::vector<std::string>{dir_ / "1.txt", dir_ / "3.txt", dir_ / "5.txt"}));

  Select(0);
  list_.Box()->setFocus();
  QTest::keyClick(list_.Box(), Qt::Key_Delete);
  EXPECT_EQ(Paths(), (std::vector<std::string>{dir_ / "3.txt", dir_ / "5.txt"}));
}

TEST_F(FileListTest, EmptyingClearsTheListAndTheCompilation) {
  test::MakeTree(dir_.path(), {{"src/a.txt", "a"}, {"src/b.txt", "b"}});
  ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
  ASSERT_GT(burner_.AddFolder("\\", dir_ / "src/", false, false, true, faAnyFile, "*.*"), 0);
  ASSERT_EQ(burner_.FileCount(), 2);
  ASSERT_TRUE(Drop({dir_ / "src"}).dropped);

  QSignalSpy changed(&list_, &TFileList::listChanged);
  QTest::mouseClick(list_.ClearButton(), Qt::LeftButton);
  EXPECT_EQ(list_.Count(), 0);
  EXPECT_EQ(changed.count(), 1);
  EXPECT_EQ(burner_.FileCount(), 0);
  EXPECT_EQ(burner_.CompilationBytes, 0);
  EXPECT_EQ(burner_.MaxFiles(), 600000);
  EXPECT_EQ(burner_.MaxDirs(), 20000);

  ASSERT_TRUE(Drop({dir_ / "src/a.txt"}).dropped);
  list_.ClearAction()->trigger();  // the list menu's "Vider la liste"
  EXPECT_EQ(list_.Count(), 0);
}

// ---- Path option ---------------------------------------------------------

struct PathClicks {
  const char* name;
  Qt::CheckState start;                // from the settings file
  std::vector<Qt::CheckState> after;   // the state after each click, each stored at once
};

class PathOptionTest : public FileListTest, public ::testing::WithParamInterface<PathClicks> {};

TEST_P(PathOptionTest, ClicksSwitchBetweenTickedAndClearAndStoreEachState) {
  QCheckBox* box = list_.PathCheckBox();
  ASSERT_EQ(box->text(), QStringLiteral("Inclure les chemins des fichiers: "));
  EXPECT_EQ(list_.PathState(), Qt::Unchecked) << "clear at start";
  list_.SetPathState(GetParam().start);
  EXPECT_EQ(list_.PathState(), GetParam().start);
  EXPECT_TRUE(saved_.empty()) << "the state read at start-up is not written back";
  std::vector<Qt::CheckState> seen;
  for (size_t i = 0; i < GetParam().after.size(); ++i) {
    if (i % 2 == 0) {
      QTest::mouseClick(box, Qt::LeftButton);
    } else {
      box->setFocus();
      QTest::keyClick(box, Qt::Key_Space);
    }
    seen.push_back(list_.PathState());
  }
  EXPECT_EQ(seen, GetParam().after);
  EXPECT_EQ(saved_, GetParam().after);
}

INSTANTIATE_TEST_SUITE_P(
    States, PathOptionTest,
    ::testing::Values(PathClicks{"Clear", Qt::Unchecked, {Qt::Checked, Qt::Unchecked, Qt::Checked}},
                      PathClicks{"Ticked", Qt::Checked, {Qt::Unchecked, Qt::Checked, Qt::Unchecked}},
                      PathClicks{"Grayed", Qt::PartiallyChecked, {Qt::Checked, Qt::Unchecked, Qt::Checked}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Fill estimate -------------------------------------------------------

struct FillCase {
  const char* name;
  std::string (*disc)(const test::TempDir& dir);  // the emulated drive; "" for no recorder
  std::vector<off_t> files;                        // the list: one file of each size
  int64_t free_mb;
  int value;    // the meter's value
  int percent;  // in its hint
  int lit;      // segments of 48
};

class FillEstimateTest : public FileListTest, public ::testing::WithParamInterface<FillCase> {
 protected:
  void Load(const std::string& drive) {
    std::string error;
    auto back_end = emu::CreateEmulatedBackEnd(drive, &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    burner_.LogCommandErrors = false;
    burner_.Sleep = [](int) {};
    burner_.MaximumCommandWaitMs = 300;
    burner_.HostAdapterInquiry(0);
    burner_.ScanDevices();
    ASSERT_EQ(burner_.Devices.size(), 1u);
    burner_.SelectDevice(burner_.Devices[0]);
  }
};

TEST_P(FillEstimateTest, TheMeterShowsTheListAgainstTheFreeSpace) {
  const std::string drive = GetParam().disc(dir_);
  if (!drive.empty()) Load(drive);
  std::vector<std::string> paths;
  for (size_t i = 0; i < GetParam().files.size(); ++i)
    paths.push_back(SparseFile("f" + std::to_string(i) + ".bin", GetParam().files[i]));
  ASSERT_TRUE(Drop(paths).dropped);

  QTest::mouseClick(list_.FillButton(), Qt::LeftButton);  // "Remplissage"
  ASSERT_TRUE(list_.FreeMegabytes().has_value());
  EXPECT_EQ(*list_.FreeMegabytes(), GetParam().free_mb);
  EXPECT_EQ(list_.Meter()->Value(), GetParam().value);
  EXPECT_EQ(list_.Meter()->LitSegments(), GetParam().lit);
  EXPECT_EQ(list_.Meter()->statusTip(),
            QStringLiteral("Approximativement %1 % rempli.").arg(GetParam().percent));
}

constexpr off_t kMb = 1048576;

INSTANTIATE_TEST_SUITE_P(
    Discs, FillEstimateTest,
    ::testing::Values(
        // 359,849 blocks: 702.8 MB. A list of 0 bytes leaves the meter at its minimum.
        FillCase{"BlankCdZeroBytes", [](const test::TempDir& d) { return "cd-r:" + d / "cd.img"; }, {0}, 703, 1, 0, 0},
        FillCase{"HalfCd", [](const test::TempDir& d) { return "cd-r:" + test::NearlyFullCd(d / "cd.img", 51200); },
                 {20 * kMb, 10 * kMb - 1000, 0}, 100, 30, 30, 14},
        FillCase{"OverCapacity", [](const test::TempDir& d) { return "cd-r:" + test::NearlyFullCd(d / "cd.img", 51200); },
                 {250 * kMb}, 100, 100, 100, 48},
        FillCase{"BlankDvdPlusRw", [](const test::TempDir& d) { return "dvd+rw:" + d / "dvd.img"; },
                 {1024 * kMb}, 4483, 1024, 23, 11},
        FillCase{"FullDisc",
                 [](const test::TempDir& d) {
                   test::WriteFile(d / "closed.img.state",
                                   "zamo-disc 1\nkind cd-r\nfinalized yes\nformatted no\nrestricted-overwrite no\n"
                                   "session 1 closed\ntrack 1 complete 0 300 300\n");
                   test::WriteFile(d / "closed.img", std::string(300 * 2048, '\0'));
                   return "cd-r:" + d / "closed.img";
                 },
                 {5 * kMb}, 0, 0, 0, 0},
        FillCase{"NoDisc", [](const test::TempDir& d) { return "cd-r:" + d / "cd.img,disc=none"; }, {5 * kMb},
                 0, 0, 0, 0},
        FillCase{"NoRecorder", [](const test::TempDir&) { return std::string(); }, {5 * kMb}, 0, 0, 0, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FillEstimateTest, EditsAfterAnEstimateFollowTheListWithoutAskingTheDrive) {
  const std::string trace = dir_ / "trace.txt";
  Load("cd-r:" + test::NearlyFullCd(dir_ / "cd.img", 51200) + ",trace=" + trace);
  ASSERT_TRUE(Drop({SparseFile("a.bin", 10 * kMb)}).dropped);
  EXPECT_FALSE(list_.FreeMegabytes().has_value()) << "a drop alone asks the drive nothing";
  QTest::mouseClick(list_.FillButton(), Qt::LeftButton);
  ASSERT_EQ(list_.Meter()->Value(), 10);
  const std::string commands = test::ReadFile(trace);
  ASSERT_FALSE(commands.empty());

  ASSERT_TRUE(Drop({SparseFile("b.bin", 40 * kMb)}).dropped);
  EXPECT_EQ(list_.Meter()->Value(), 50);
  EXPECT_EQ(list_.Meter()->statusTip(), QStringLiteral("Approximativement 50 % rempli."));
  Select(0);
  list_.RemoveAction()->trigger();
  EXPECT_EQ(list_.Meter()->Value(), 40);
  list_.ClearAction()->trigger();
  EXPECT_EQ(list_.Meter()->Value(), 1);
  EXPECT_EQ(list_.Meter()->LitSegments(), 0);
  EXPECT_EQ(test::ReadFile(trace), commands) << "no command went to the drive after the estimate";
}

}  // namespace
}  // namespace zamo
