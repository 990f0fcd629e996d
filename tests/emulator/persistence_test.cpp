// An emulated disc lives in its image and state files: a second unit on the
// same files sees what the first recorded; tests build discs (255 sessions)
// by writing a state file; damaged or foreign files are refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "emulator/disc_state.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A DVD+R whose first `closed` sessions hold one 32-block track each, then
// an open session whose invisible track is empty.
std::string ManySessionDvdPlusR(uint32_t closed) {
  std::ostringstream state;
  state << "zamo-disc 1\nkind dvd+r\nfinalized no\nformatted no\nrestricted-overwrite no\n";
  uint32_t start = 0;
  for (uint32_t n = 1; n <= closed; ++n) {
    state << "session " << n << " closed\ntrack " << n << " complete " << start << " 32 32\n";
    start += 32 + kDvdPlusSessionGap;
  }
  state << "session " << closed + 1 << " open\ntrack " << closed + 1 << " invisible " << start << " 0 0\n";
  return state.str();
}

class Persistence : public UnitTest {
 protected:
  std::string StatePath() const { return ImagePath() + ".state"; }
  std::unique_ptr<TEmulatedUnit> Second(TMediaKind kind) {
    std::string error;
    auto unit = TEmulatedUnit::Open(Config(kind), &error);
    EXPECT_NE(unit, nullptr) << error;
    return unit;
  }
  std::string OpenError(TMediaKind kind) {
    std::string error;
    EXPECT_EQ(TEmulatedUnit::Open(Config(kind), &error), nullptr);
    return error;
  }
};

TEST_F(Persistence, ASecondUnitSeesWhatTheFirstRecorded) {
  Load(TMediaKind::kCdR);
  EXPECT_FALSE(std::filesystem::exists(StatePath()));  // an untouched blank disc leaves no files
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
  ASSERT_EQ(WriteBlocks(0, 20, 0x31), kGood);
  ASSERT_TRUE(None(Close(2, 0)).good());  // padded to 300 blocks, 2 of run-out: session 2 at 11,702
  ASSERT_EQ(WriteBlocks(11'702, 5, 0x32), kGood);  // session 2 left open

  std::unique_ptr<TEmulatedUnit> first = std::move(unit_);
  unit_ = Second(TMediaKind::kCdR);  // while the first is still alive, as another process would
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 1);
  EXPECT_EQ(disc.sessions, 2u);
  EXPECT_EQ(disc.last_session_state, 1);  // incomplete
  EXPECT_EQ(Track(2).next_writable, 11'707u);
  EXPECT_EQ(Track(1).size, 302u);
  ASSERT_TRUE(In(Read10(19, 1)).good());
  EXPECT_EQ(in_[0], 0x31);
  EXPECT_EQ(SenseOf(In(Read10(300, 1))), (TSenseCode{5, 0x64, 0}));  // the run-out it remembers
  ASSERT_TRUE(In(Read10(11'706, 1)).good());
  EXPECT_EQ(in_[0], 0x32);
  EXPECT_EQ(WriteBlocks(11'707, 1), kGood);  // and carries on where the first stopped
}

TEST_F(Persistence, FormattedOverwritableDiscKeepsItsData) {
  Load(TMediaKind::kDvdPlusRw);
  ASSERT_TRUE(Out(FormatUnit(), FormatList(2'295'104, 0x26, 0)).good());
  ASSERT_EQ(WriteBlocks(1'000, 32, 0x5C), kGood);
  unit_.reset();
  unit_ = Second(TMediaKind::kDvdPlusRw);
  EXPECT_EQ(Disc().status, 2);
  ASSERT_TRUE(In(Read10(1'031, 1)).good());
  EXPECT_EQ(in_[2047], 0x5C);

  std::ifstream state(StatePath());
  std::stringstream text;
  text << state.rdbuf();
  EXPECT_NE(text.str().find("formatted yes"), std::string::npos) << text.str();
}

TEST_F(Persistence, DiscWith255ClosedSessionsCountsPastOneByte) {
  WriteText(StatePath(), ManySessionDvdPlusR(255));
  WriteText(ImagePath(), "");  // the sectors: all zeros
  Load(TMediaKind::kDvdPlusR);
  const DiscInfo disc = Disc();
  EXPECT_EQ(disc.status, 1);
  EXPECT_EQ(disc.sessions, 256u);
  EXPECT_EQ(disc.raw[4], 0x00);  // sessions, low byte
  EXPECT_EQ(disc.raw[9], 0x01);  // high byte
  EXPECT_EQ(disc.first_in_last, 256u);
  EXPECT_EQ(disc.last_in_last, 256u);

  const uint32_t start = 255 * (32 + kDvdPlusSessionGap);
  const TrackInfo next = Track(256);  // a 32-bit track number
  EXPECT_EQ(next.sense, kGood);
  EXPECT_EQ(next.number, 256u);
  EXPECT_EQ(next.session, 256u);
  EXPECT_EQ(next.start, start);
  EXPECT_TRUE(next.blank);
  EXPECT_EQ(Track(start + 100, /*address_type=*/0).number, 256u);
  EXPECT_EQ(Track(256, /*address_type=*/2).number, 256u);
  EXPECT_EQ(Track(255).start, 254 * (32 + kDvdPlusSessionGap));
  EXPECT_EQ(Track(257).sense, (TSenseCode{5, 0x24, 0}));

  ASSERT_TRUE(In(ReadToc(1)).good());
  EXPECT_EQ(in_[3], 255);  // a one-byte field: the last complete session, as far as it can say
  ASSERT_EQ(WriteBlocks(start, 32), kGood);
  ASSERT_TRUE(None(Close(2, 255)).good());
  EXPECT_EQ(Disc().sessions, 257u);
  EXPECT_EQ(Track(257).start, start + 32 + kDvdPlusSessionGap);
}

TEST_F(Persistence, CdTrackNumbersEndAt99) {
  std::ostringstream state;
  state << "zamo-disc 1\nkind cd-r\nfinalized no\nformatted no\nrestricted-overwrite no\n";
  state << "session 1 closed\n";
  for (uint32_t n = 1; n <= 98; ++n) state << "track " << n << " complete " << (n - 1) * 160 << " 10 10\n";
  const uint32_t start = 97 * 160 + 10 + kCdFirstSessionGap;
  state << "session 2 open\ntrack 99 invisible " << start << " 0 0\n";
  WriteText(StatePath(), state.str());
  WriteText(ImagePath(), "");
  Load(TMediaKind::kCdR);
  ASSERT_TRUE(Out(ModeSelect(60), WriteParams(0x01, 0xC4)).good());
  ASSERT_EQ(WriteBlocks(start, 10), kGood);
  ASSERT_TRUE(None(Close(2, 0)).good());
  EXPECT_EQ(Disc().status, 2);  // no track 100 on a CD: the disc is complete
}

TEST_F(Persistence, RefusesDamagedOrForeignFiles) {
  WriteText(StatePath(), ManySessionDvdPlusR(2));
  EXPECT_NE(OpenError(TMediaKind::kCdR).find("le disque est un dvd+r, pas un cd-r"), std::string::npos);

  std::string overlapping = ManySessionDvdPlusR(2);
  overlapping.replace(overlapping.find("track 2 complete 2080"), 21, "track 2 complete 0010");
  WriteText(StatePath(), overlapping);
  EXPECT_NE(OpenError(TMediaKind::kDvdPlusR).find("la piste 2 chevauche"), std::string::npos);

  WriteText(StatePath(), "zamo-disc 1\nkind dvd+r\nsession 1 open\ntrack 1 invisible 0 0 0\nflavour sweet\n");
  const std::string error = OpenError(TMediaKind::kDvdPlusR);
  EXPECT_NE(error.find("ligne 5\u00A0: ligne inattendue"), std::string::npos) << error;
  EXPECT_NE(error.find(StatePath()), std::string::npos) << error;

  WriteText(StatePath(), "zamo-disc 1\nkind dvd+r\nsession 1 open\ntrack 1 complete 0 5 5\n");
  EXPECT_NE(OpenError(TMediaKind::kDvdPlusR).find("piste invisible"), std::string::npos);
  WriteText(StatePath(), "zamo-disc 1\nkind dvd+r\nsession 1 closed\ntrack 1 complete 0 5 5\n");
  EXPECT_NE(OpenError(TMediaKind::kDvdPlusR).find("session ouverte"), std::string::npos);
}

TEST_F(Persistence, AnExistingFileWithoutStateIsNeverTakenForABlankDisc) {
  WriteText(ImagePath(), "somebody's data" + std::string(2048 - 15, '.'));
  EXPECT_NE(OpenError(TMediaKind::kCdR).find("sans fichier d'état"), std::string::npos);
  Load(TMediaKind::kCdRom);  // but it can be loaded as a pressed disc (of its whole blocks)
  ASSERT_TRUE(In(Read10(0, 1)).good());
  EXPECT_EQ(std::string(in_.begin(), in_.begin() + 15), "somebody's data");
}

TEST(DiscStateFile, SerializeAndParseGiveTheSameDisc) {
  TDiscState disc = TDiscState::Blank(TMediaKind::kDvdR);
  disc.Reserve(64);
  disc.Record(1, 64);
  disc.CloseTrack(1);
  disc.Record(2, 10);
  disc.CloseSession(true);
  std::string error;
  const std::optional<TDiscState> back = TDiscState::Parse(disc.Serialize(), TMediaKind::kDvdR, &error);
  ASSERT_TRUE(back.has_value()) << error;
  EXPECT_EQ(back->Serialize(), disc.Serialize());
  EXPECT_EQ(back->SessionCount(), 2u);
  EXPECT_EQ(back->Track(2).size, 10u);
  EXPECT_EQ(back->Track(3).start, 64u + 16u + kDvdMinusFirstBorder);  // track 2 starts on the next ECC block
}

}  // namespace
}  // namespace zamo::emu::test
