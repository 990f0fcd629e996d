// Laying a session out again without the drive: after the layout for the
// disc (its disc step asks where the session starts and imports the previous
// session), LayoutCompilation gives the same head, sector for sector, and
// keeps doing so after edits of the tree, while not one command reaches the
// drive.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "burner/platform/date_time.h"
#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

// Passes every request on to the emulated recorder and counts them all,
// whatever their kind, with the opcodes of the commands.
class CountingDrive : public PassThroughDrive {
 public:
  using PassThroughDrive::PassThroughDrive;

  uint32_t SendASPI32Command(void* srb) override {
    const auto* request = static_cast<const TSRB_ExecSCSICmd*>(srb);
    {
      std::lock_guard lock(mutex_);
      ++requests_;
      if (request->SRB_Cmd == SC_EXEC_SCSI_CMD) last_opcodes_.push_back(request->CDBByte[0]);
    }
    return PassThroughDrive::SendASPI32Command(srb);
  }

  int Requests() {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  // The opcodes sent since the last call, as hexadecimal text.
  std::string TakeOpcodes() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (uint8_t op : last_opcodes_) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02X", op);
      text += std::string(" ") + hex;
    }
    last_opcodes_.clear();
    return text;
  }

 private:
  std::mutex mutex_;
  int requests_ = 0;
  std::vector<uint8_t> last_opcodes_;
};

// What a layout and the head built from it decide.
struct Layout {
  std::string head;
  int32_t session_start = 0, first_file = 0;
  int64_t volume = 0, sectors = 0;
  std::map<std::string, std::pair<int32_t, int64_t>> files;  // path -> extent, size
};

// Names what differs: the layout values, the first sector of the head that
// differs, the files whose place or size differs.
::testing::AssertionResult SameLayout(const Layout& got, const Layout& expected) {
  auto failure = ::testing::AssertionFailure();
  bool same = true;
  auto compare = [&](const char* name, int64_t a, int64_t b) {
    if (a != b) {
      failure << name << " " << a << " instead of " << b << "; ";
      same = false;
    }
  };
  compare("session start", got.session_start, expected.session_start);
  compare("first file sector", got.first_file, expected.first_file);
  compare("volume space size", got.volume, expected.volume);
  compare("session sectors", got.sectors, expected.sectors);
  compare("head bytes", static_cast<int64_t>(got.head.size()), static_cast<int64_t>(expected.head.size()));
  const size_t common = std::min(got.head.size(), expected.head.size());
  const auto [a, b] = std::mismatch(got.head.begin(), got.head.begin() + static_cast<ptrdiff_t>(common),
                                    expected.head.begin());
  if (a != got.head.begin() + static_cast<ptrdiff_t>(common)) {
    const auto at = static_cast<int64_t>(a - got.head.begin());
    failure << "head differs first at byte " << at % 2048 << " of sector " << got.session_start + at / 2048 << "; ";
    same = false;
  }
  for (const auto& [path, place] : expected.files) {
    auto it = got.files.find(path);
    if (it == got.files.end()) {
      failure << "missing " << path << "; ";
      same = false;
    } else if (it->second != place) {
      failure << path << " at " << it->second.first << " (" << it->second.second << " bytes) instead of "
              << place.first << " (" << place.second << "); ";
      same = false;
    }
  }
  for (const auto& [path, place] : got.files) {
    if (!expected.files.contains(path)) {
      failure << "unexpected " << path << "; ";
      same = false;
    }
  }
  return same ? ::testing::AssertionSuccess() : failure;
}

class Relayout : public DiscTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    DiscTest::SetUp();
    burner_.Clock = [] { return EncodeDateTime({2024, 3, 9, 14, 5, 30, 0}); };
    ASSERT_NO_FATAL_FAILURE(LoadBehind(std::string(GetParam()) + ":" + (dir_ / "disc.img"), drive_));
    ASSERT_NE(burner_.HaId, 0xFE);
  }

  // The burn job's own layout: the disc step with the session start, the
  // import, then the layout proper, and the head.
  Layout FullLayout() {
    burner_.WritingToDisc = true;
    burner_.LayoutImage(false, nullptr);
    burner_.BuildImageHeader(false, nullptr);
    burner_.WritingToDisc = false;
    return Taken();
  }

  // The layout proper and the head, with no command sent meanwhile.
  Layout DriveFreeLayout(const std::string& after) {
    const int before = drive_->Requests();
    drive_->TakeOpcodes();
    EXPECT_EQ(burner_.LayoutCompilation(), 1);
    burner_.BuildImageHeader(false, nullptr);
    EXPECT_EQ(drive_->Requests(), before) << "commands sent by the layout after " << after << ":"
                                          << drive_->TakeOpcodes();
    return Taken();
  }

  Layout Taken() {
    Layout l;
    const auto head = burner_.ImageStream.Memory();
    l.head.assign(reinterpret_cast<const char*>(head.data()), head.size());
    l.session_start = burner_.SessionStart;
    l.first_file = burner_.FirstFileLba;
    l.volume = burner_.VolumeSpaceSize;
    l.sectors = burner_.SessionSectors;
    AddFiles(burner_.RootDir, "", l.files);
    return l;
  }

  static void AddFiles(const TDEntry* dir, const std::string& prefix,
                       std::map<std::string, std::pair<int32_t, int64_t>>& out) {
    for (const TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) {
      const std::string path = prefix + DiscName(*e);
      if (e->Attr & faDirectory) {
        if (e->Dir != nullptr) AddFiles(e->Dir, path + "/", out);
      } else {
        out[path] = {e->IsoExtent, e->IsoSize};
      }
    }
  }

  CountingDrive* drive_ = nullptr;
};

TEST_P(Relayout, AfterAnImportAndEditsGivesTheFullLayoutsSectorsWithoutADriveCommand) {
  MakeTree(dir_ / "a", {{"un.txt", "1"}, {"rep/x.bin", Bytes(9000, 3)}, {"rep/vide.txt", ""}});
  MakeTree(dir_ / "b", {{"deux.txt", "2"}, {"rep/y.bin", Bytes(7000, 4)}});
  MakeTree(dir_ / "c", {{"rep/z.bin", Bytes(4100, 5)}, {"neuf/trois.txt", "3"}, {"neuf/quatre.bin", Bytes(2049, 6)}});
  BurnAsSession(dir_ / "a", 0);

  // The second session as the burn job lays it out: after the first, which it imports.
  ASSERT_TRUE(burner_.ClearCompilation(1000, 100));
  burner_.SessionToImport = 0xFFFF;
  ASSERT_GT(burner_.AddFolder("\\", dir_ / "b/", false, false, true, faAnyFile, "*"), 0);
  const int before_full = drive_->Requests();
  const Layout full = FullLayout();
  ASSERT_GT(drive_->Requests(), before_full) << "the disc step talks to the drive";
  ASSERT_GT(full.session_start, 0);
  ASSERT_TRUE(full.files.contains("un.txt")) << "the first session is imported";

  // Laid out again, as on every edit, and again with nothing changed.
  EXPECT_TRUE(SameLayout(DriveFreeLayout("the import"), full));
  EXPECT_TRUE(SameLayout(DriveFreeLayout("nothing"), full));

  // Files added (some into a folder the first session has), one taken out.
  ASSERT_GT(burner_.AddFolder("\\", dir_ / "c/", false, false, true, faAnyFile, "*"), 0);
  const Layout added = DriveFreeLayout("adding files");
  EXPECT_GT(added.volume, full.volume);
  EXPECT_TRUE(added.files.contains("rep/z.bin"));
  ASSERT_TRUE(burner_.DeleteByName("\\neuf\\", "trois.txt"));
  const Layout edited = DriveFreeLayout("deleting a file");
  EXPECT_FALSE(edited.files.contains("neuf/trois.txt"));

  // The full path on the edited tree: the import adds nothing new, and the
  // sectors are those the drive-free layout gave.
  EXPECT_TRUE(SameLayout(FullLayout(), edited));
}

INSTANTIATE_TEST_SUITE_P(Kinds, Relayout, ::testing::Values("cd-r", "dvd-r", "dvd+rw"), KindParamName());

}  // namespace
}  // namespace zamo::test
