// The tray of an emulated drive outlasts the unit, as a real drive's does:
// units on the same files (other processes, in zamo-cli) see an eject, a load
// and a prevented removal; a pressed disc's tray is kept in the user's state
// folder, never beside the user's ISO file; files are replaced whole.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "emulator/tray_state.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

namespace fs = std::filesystem;
using zamo::test::ReadFile;
using zamo::test::WriteFile;

constexpr TSenseCode kTrayOpen{2, 0x3A, 0x02};
constexpr TSenseCode kPrevented{5, 0x53, 0x02};
constexpr TSenseCode kChanged{6, 0x28, 0x00};
constexpr TSenseCode kBecomingReady{2, 0x04, 0x01};
constexpr uint8_t kEject = 2, kLoad = 3;

// Files of the folder, by name, without the ones named in `except`.
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class TrayPersistence : public UnitTest {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_STATE_HOME")) saved_state_home_ = old;
    setenv("XDG_STATE_HOME", StateHome().c_str(), 1);
  }
  void TearDown() override {
    if (saved_state_home_)
      setenv("XDG_STATE_HOME", saved_state_home_->c_str(), 1);
    else
      unsetenv("XDG_STATE_HOME");
  }

  // Every unit of a test runs on one virtual clock, so that a disc just
  // loaded can be let spin up.
  TClock Clock() {
    return [this] { return std::chrono::steady_clock::time_point{} + std::chrono::milliseconds(now_ms_.load()); };
  }
  void Load(TMediaKind kind) { UnitTest::Load(Config(kind), Clock()); }
  void Load(const TDriveConfig& config) { UnitTest::Load(config, Clock()); }
  void SpinUp() { now_ms_ += kDefaultSpinUp.count(); }
  // A unit that met a load: not ready while the disc spins up, then the
  // medium-changed attention once, then ready.
  void ExpectLoaded(TEmulatedUnit& unit) {
    EXPECT_EQ(SenseOf(unit, TestUnitReady()), kBecomingReady);
    SpinUp();
    EXPECT_EQ(SenseOf(unit, TestUnitReady()), kChanged);
    EXPECT_EQ(SenseOf(unit, TestUnitReady()), kGood);
  }

  std::string StateHome() const { return state_home_.path(); }
  std::string TrayFolder() const { return StateHome() + "/zamo/emulated-trays"; }
  std::string StatePath() const { return ImagePath() + ".state"; }
  void WriteText(const std::string& state) const { WriteFile(StatePath(), state); }

  // Another unit on the same files, as another zamo-cli process would open.
  std::unique_ptr<TEmulatedUnit> Another(const TDriveConfig& config) {
    std::string error;
    auto unit = TEmulatedUnit::Open(config, &error, Clock());
    EXPECT_NE(unit, nullptr) << error;
    return unit;
  }
  using UnitTest::SenseOf;
  static TSenseCode SenseOf(TEmulatedUnit& unit, const Cdb& cdb) {
    const TCommandResult result = unit.Execute(cdb.bytes(), TDataDirection::kNone, {});
    return result.good() ? kGood : result.code();
  }
  // An ISO-like file of `blocks` blocks, for the pressed kinds.
  void MakeIso(uint32_t blocks) { WriteFile(ImagePath(), zamo::test::Bytes(blocks * 2048u, 7)); }

  zamo::test::TempDir state_home_;
  std::optional<std::string> saved_state_home_;
  std::atomic<int64_t> now_ms_{0};
};

TEST_F(TrayPersistence, EjectAndLoadAreSeenByUnitsOpenedLaterAndAlreadyOpen) {
  Load(TMediaKind::kCdR);
  auto watching = Another(Config(TMediaKind::kCdR));  // already open, as a concurrent process
  ASSERT_EQ(SenseOf(*watching, TestUnitReady()), kGood);

  ASSERT_EQ(SenseOf(None(StartStop(kEject))), kGood);
  auto later = Another(Config(TMediaKind::kCdR));
  EXPECT_EQ(SenseOf(*later, TestUnitReady()), kTrayOpen);
  EXPECT_EQ(SenseOf(*watching, TestUnitReady()), kTrayOpen);
  in_.assign(18, 0);
  ASSERT_TRUE(later->Execute(RequestSense().bytes(), TDataDirection::kIn, in_).good());
  EXPECT_EQ(in_[12], 0x3A);  // the standing condition, so a readiness poll is never fooled
  EXPECT_EQ(in_[13], 0x02);

  ASSERT_EQ(SenseOf(*later, StartStop(kLoad)), kGood);
  ExpectLoaded(*later);
  // The other units see a disc loaded by another initiator: it spins up for
  // them too, then medium changed, once.
  ExpectLoaded(*unit_);
  ExpectLoaded(*watching);
  EXPECT_EQ(SenseOf(*Another(Config(TMediaKind::kCdR)), TestUnitReady()), kGood);  // it found the disc spinning
}

TEST_F(TrayPersistence, PreventedRemovalLastsUntilAllowedFromAnyUnit) {
  Load(TMediaKind::kDvdPlusRw);
  ASSERT_EQ(SenseOf(None(PreventAllow(true))), kGood);
  unit_.reset();  // the process that locked the tray is gone

  auto second = Another(Config(TMediaKind::kDvdPlusRw));
  EXPECT_EQ(SenseOf(*second, StartStop(kEject)), kPrevented);
  in_.assign(255, 0);
  ASSERT_TRUE(second->Execute(ModeSense(0x2A).bytes(), TDataDirection::kIn, in_).good());
  EXPECT_EQ(in_[8 + 6] & 0x02, 0x02);  // capabilities page: the lock state
  EXPECT_EQ(SenseOf(*second, TestUnitReady()), kGood);  // still loaded

  auto third = Another(Config(TMediaKind::kDvdPlusRw));
  ASSERT_EQ(SenseOf(*third, PreventAllow(false)), kGood);
  EXPECT_EQ(SenseOf(*second, StartStop(kEject)), kGood);
  EXPECT_EQ(SenseOf(*third, TestUnitReady()), kTrayOpen);
}

TEST_F(TrayPersistence, StateFileCarriesTheTrayBesideTheLayout) {
  Load(TMediaKind::kCdR);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
  ASSERT_EQ(WriteBlocks(0, 20), kGood);
  ASSERT_TRUE(None(PreventAllow(true)).good());
  std::string text = ReadFile(StatePath());
  EXPECT_NE(text.find("\nremoval prevented\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("tray open"), std::string::npos) << text;

  ASSERT_TRUE(None(PreventAllow(false)).good());
  ASSERT_TRUE(None(StartStop(kEject)).good());
  text = ReadFile(StatePath());
  EXPECT_NE(text.find("\ntray open\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("removal"), std::string::npos) << text;
  EXPECT_NE(text.find("track 1 invisible 0 0 20"), std::string::npos) << text;  // the layout kept

  // Many moves leave one line per setting, not a growing file.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(None(StartStop(kLoad)).good());
    ASSERT_EQ(SenseOf(None(TestUnitReady())), kBecomingReady);
    ASSERT_TRUE(None(StartStop(kEject)).good());  // ejected while spinning up: no attention follows
    SpinUp();
    ASSERT_EQ(SenseOf(None(TestUnitReady())), kTrayOpen);
  }
  const std::string after = ReadFile(StatePath());
  EXPECT_EQ(after, text);
  ASSERT_TRUE(None(StartStop(kLoad)).good());
  EXPECT_EQ(ReadFile(StatePath()).find("tray"), std::string::npos);

  // Nothing but the two files of the disc: the temporary files are gone.
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"disc.img", "disc.img.state"}));
}

TEST_F(TrayPersistence, AStaleUnitMovingTheTrayKeepsWhatAnotherRecorded) {
  Load(TMediaKind::kCdR);  // reads a blank disc and keeps that view
  auto recorder = Another(Config(TMediaKind::kCdR));
  std::vector<uint8_t> page = WriteParams(0x01, 0xC4);
  ASSERT_TRUE(recorder->Execute(ModeSelect(60).bytes(), TDataDirection::kOut, page).good());
  std::vector<uint8_t> blocks(30 * 2048, 0x44);
  ASSERT_TRUE(recorder->Execute(Write10(0, 30).bytes(), TDataDirection::kOut, blocks).good());
  recorder.reset();

  ASSERT_TRUE(None(StartStop(kEject)).good());  // the stale unit saves its tray only
  auto reader = Another(Config(TMediaKind::kCdR));
  ASSERT_EQ(SenseOf(*reader, StartStop(kLoad)), kGood);
  ExpectLoaded(*reader);
  in_.assign(48, 0);
  ASSERT_TRUE(reader->Execute(ReadTrackInfo(1, 1).bytes(), TDataDirection::kIn, in_).good());
  EXPECT_EQ(GetBe32(in_, 12), 30u);  // next writable address after the 30 recorded blocks
}

TEST_F(TrayPersistence, DamagedTrayLineIsRefusedWithItsLineNumber) {
  WriteText("zamo-disc 1\nkind cd-r\ntray ajar\nsession 1 open\ntrack 1 invisible 0 0 0\n");
  std::string error;
  EXPECT_EQ(TEmulatedUnit::Open(Config(TMediaKind::kCdR), &error), nullptr);
  EXPECT_NE(error.find("ligne 3\u00A0: le tiroir est open ou closed"), std::string::npos) << error;

  // Tray lines anywhere among the disc's lines; the disc's own errors keep their line numbers.
  WriteText("zamo-disc 1\ntray open\nkind cd-r\nremoval prevented\nsession 1 open\ntrack 1 complete 0 5 5\n");
  EXPECT_EQ(TEmulatedUnit::Open(Config(TMediaKind::kCdR), &error), nullptr);
  EXPECT_NE(error.find("piste invisible"), std::string::npos) << error;
  WriteText("zamo-disc 1\ntray open\nkind cd-r\nremoval prevented\nsession 1 open\ntrack 1 invisible 0 0 0\nbad\n");
  EXPECT_EQ(TEmulatedUnit::Open(Config(TMediaKind::kCdR), &error), nullptr);
  EXPECT_NE(error.find("ligne 7\u00A0: ligne inattendue"), std::string::npos) << error;

  WriteText("zamo-disc 1\ntray open\nkind cd-r\nremoval prevented\nsession 1 open\ntrack 1 invisible 0 0 0\n");
  Load(TMediaKind::kCdR);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), kTrayOpen);
  EXPECT_EQ(SenseOf(None(StartStop(kLoad))), kGood);  // loading is allowed while locked
  ExpectLoaded(*unit_);
  EXPECT_EQ(SenseOf(None(StartStop(kEject))), kPrevented);
}

TEST_F(TrayPersistence, TrayOptionOpensWhateverWasSavedAndItsEjectIsSaved) {
  TDriveConfig open = Config(TMediaKind::kDvdR);
  open.tray_open = true;
  Load(open);
  EXPECT_EQ(SenseOf(None(TestUnitReady())), kTrayOpen);
  EXPECT_FALSE(fs::exists(StatePath()));  // opening a unit writes nothing
  ASSERT_EQ(SenseOf(None(StartStop(kEject))), kGood);
  EXPECT_EQ(SenseOf(*Another(Config(TMediaKind::kDvdR)), TestUnitReady()), kTrayOpen);

  ASSERT_EQ(SenseOf(None(StartStop(kLoad))), kGood);
  auto forced = Another(open);
  EXPECT_EQ(SenseOf(*forced, TestUnitReady()), kTrayOpen);
  EXPECT_EQ(SenseOf(*Another(Config(TMediaKind::kDvdR)), TestUnitReady()), kGood);
}

TEST_F(TrayPersistence, PressedDiscKeepsItsTrayInTheUserStateFolderOnly) {
  MakeIso(40);
  const auto iso_time = fs::last_write_time(ImagePath());
  Load(TMediaKind::kCdRom);
  ASSERT_EQ(SenseOf(None(StartStop(kEject))), kGood);
  EXPECT_EQ(Listing(dir_.path()), (std::vector<std::string>{"disc.img"}));  // nothing beside the user's file
  EXPECT_EQ(fs::last_write_time(ImagePath()), iso_time);
  ASSERT_EQ(Listing(TrayFolder()).size(), 1u);
  EXPECT_EQ(fs::status(TrayFolder()).permissions() & fs::perms::all, fs::perms::owner_all);

  // Another name for the same file finds the same tray.
  fs::create_symlink(ImagePath(), dir_ / "link.iso");
  TDriveConfig by_link = Config(TMediaKind::kDvdRom);
  by_link.image_path = dir_ / "link.iso";
  auto other = Another(by_link);
  EXPECT_EQ(SenseOf(*other, TestUnitReady()), kTrayOpen);

  ASSERT_EQ(SenseOf(*other, StartStop(kLoad)), kGood);
  EXPECT_TRUE(Listing(TrayFolder()).empty());  // a closed, unlocked tray leaves no file
  ExpectLoaded(*unit_);

  // A tray file naming another image (a hash collision) is not this disc's tray.
  ASSERT_EQ(SenseOf(None(StartStop(kEject))), kGood);
  const std::string tray_file = TrayFolder() + "/" + Listing(TrayFolder())[0];
  WriteFile(tray_file, PressedTrayText(TTray{true, true}, "/elsewhere/other.iso"));
  EXPECT_EQ(SenseOf(*Another(Config(TMediaKind::kCdRom)), TestUnitReady()), kGood);
}

TEST_F(TrayPersistence, UnsavableTrayIsAFailureNotASilentChange) {
  MakeIso(4);
  WriteFile(dir_ / "plain-file", "");
  setenv("XDG_STATE_HOME", (dir_ / "plain-file").c_str(), 1);  // no folder can be made under a file
  Load(TMediaKind::kCdRom);
  EXPECT_EQ(SenseOf(None(StartStop(kEject))), (TSenseCode{4, 0x44, 0x00}));
  EXPECT_EQ(SenseOf(None(TestUnitReady())), kGood);  // still closed
  EXPECT_EQ(SenseOf(None(PreventAllow(true))), (TSenseCode{4, 0x44, 0x00}));
  EXPECT_EQ(SenseOf(None(PreventAllow(false))), kGood);  // nothing to save: it already is allowed
}

TEST_F(TrayPersistence, ReadersNeverSeeAHalfWrittenStateFile) {
  // A disc with enough sessions that its state file takes several writes.
  std::ostringstream state;
  state << "zamo-disc 1\nkind dvd+r\nfinalized no\nformatted no\nrestricted-overwrite no\n";
  uint32_t start = 0;
  for (uint32_t n = 1; n <= 200; ++n) {
    state << "session " << n << " closed\ntrack " << n << " complete " << start << " 32 32\n";
    start += 32 + kDvdPlusSessionGap;
  }
  state << "session 201 open\ntrack 201 invisible " << start << " 0 0\n";
  WriteText(state.str());
  WriteFile(ImagePath(), "");
  auto tray_mover = Another(Config(TMediaKind::kDvdPlusR));
  auto locker = Another(Config(TMediaKind::kDvdPlusR));

  std::atomic<bool> stop{false};
  std::thread moving([&] {
    for (int i = 0; !stop; ++i) SenseOf(*tray_mover, StartStop(i % 2 ? kLoad : kEject));
  });
  std::thread locking([&] {
    for (int i = 0; !stop; ++i) SenseOf(*locker, PreventAllow(i % 2 == 0));
  });
  int opened = 0;
  std::string error;
  for (; opened < 1000; ++opened) {
    if (!TEmulatedUnit::Open(Config(TMediaKind::kDvdPlusR), &error)) break;
  }
  stop = true;
  moving.join();
  locking.join();
  EXPECT_EQ(opened, 1000) << error;
}

}  // namespace
}  // namespace zamo::emu::test
