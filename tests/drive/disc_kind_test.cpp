// The disc kind table: every kind's name, profile and traits, the profile
// names and erasable profiles; and the kind each component notes, kept apart
// for two components on two drives of one program.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "burner/compilation/veskburner.h"
#include "burner/drive/disc_kind.h"
#include "burner/drive/transport.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

struct KindRow {
  TDiscKind kind;
  const char* name;
  uint16_t profile;
  bool cd, dvd, dvd_minus, dvd_rw, dvd_plus;
  bool recordable, write_once, overwritable, overwritable_once_formatted, erasable;
};

// clang-format off
constexpr KindRow kRows[] = {
  //  kind               name        prof.  cd     dvd    dvd-   dvd-rw dvd+   rec.   once   over   formatted erase
  {dkUnknown,         "UNKNOWN",   0x00, true,  false, false, false, false, false, false, false, false, false},
  {dkCdRom,           "CD-ROM",    0x08, true,  false, false, false, false, false, false, false, false, false},
  {dkCdR,             "CD-R",      0x09, true,  false, false, false, false, true,  true,  false, false, false},
  {dkCdRw,            "CD-RW",     0x0A, true,  false, false, false, false, true,  false, false, false, true},
  {dkDvdRom,          "DVD-ROM",   0x10, false, true,  false, false, false, false, false, false, false, false},
  {dkDvdR,            "DVD-R",     0x11, false, true,  true,  false, false, true,  true,  false, false, false},
  {dkDvdRam,          "DVD-RAM",   0x12, false, true,  false, false, false, true,  false, true,  true,  true},
  {dkDvdRw,           "DVD-RW",    0x00, false, true,  true,  true,  false, true,  false, false, false, true},
  {dkDvdRwRestricted, "DVD-RW",    0x13, false, true,  true,  true,  false, true,  false, true,  true,  true},
  {dkDvdRwSequential, "DVD-RW",    0x14, false, true,  true,  true,  false, true,  false, false, true,  true},
  {dkDvdPlusRw,       "DVD+RW",    0x1A, false, true,  false, false, true,  true,  false, true,  true,  true},
  {dkDvdPlusR,        "DVD+R",     0x1B, false, true,  false, false, true,  true,  true,  false, false, false},
  {dkDvdPlusRDl,      "DVD+R DL",  0x2B, false, true,  false, false, true,  true,  true,  false, false, false},
  {dkDdcdRom,         "DDCD-ROM",  0x20, false, false, false, false, false, false, false, false, false, false},
  {dkDdcdR,           "DDCD-R",    0x21, false, false, false, false, false, true,  true,  false, false, false},
  {dkDdcdRw,          "DDCD-RW",   0x22, false, false, false, false, false, true,  false, false, false, true},
};
// clang-format on

class DiscKindTraits : public ::testing::TestWithParam<KindRow> {};

TEST_P(DiscKindTraits, NameProfileAndEveryTraitMatchTheTable) {
  const KindRow& row = GetParam();
  const TDiscKind kind = row.kind;
  EXPECT_STREQ(DiscKindName(kind), row.name);
  EXPECT_EQ(ProfileOfDiscKind(kind), row.profile);
  // The kinds a profile gives come back from it; the others come from none.
  if (row.profile != 0) {
    EXPECT_EQ(DiscKindOfProfile(row.profile), kind);
  }
  EXPECT_EQ(IsCdKind(kind), row.cd);
  EXPECT_EQ(IsDvdKind(kind), row.dvd);
  EXPECT_EQ(IsDvdMinusKind(kind), row.dvd_minus);
  EXPECT_EQ(IsDvdRwKind(kind), row.dvd_rw);
  EXPECT_EQ(IsDvdPlusKind(kind), row.dvd_plus);
  EXPECT_EQ(IsRecordableKind(kind), row.recordable);
  EXPECT_EQ(IsWriteOnceKind(kind), row.write_once);
  EXPECT_EQ(IsOverwritableKind(kind), row.overwritable);
  EXPECT_EQ(IsOverwritableOnceFormatted(kind), row.overwritable_once_formatted);
  EXPECT_EQ(IsErasableKind(kind), row.erasable);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, DiscKindTraits, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<KindRow>& row) {
                           return "Kind" + std::to_string(static_cast<int>(row.param.kind));
                         });

TEST(DiscKindTable, CoversEveryKindOnceInOrder) {
  ASSERT_EQ(std::size(kRows), 16u);
  for (size_t code = 0; code < std::size(kRows); ++code) EXPECT_EQ(kRows[code].kind, code);
}

TEST(DiscKindTable, ProfilesWithoutAKindAndCodesOutsideTheTableReadAsUnknown) {
  for (uint16_t profile : {0x0000, 0x0001, 0x0002, 0x0003, 0x0015, 0x0016, 0x002A, 0x0040, 0x0043, 0xFFFF}) {
    EXPECT_EQ(DiscKindOfProfile(profile), dkUnknown) << std::hex << profile;
  }
  for (int code : {16, 200, 255}) {
    const auto kind = static_cast<TDiscKind>(code);
    EXPECT_STREQ(DiscKindName(kind), "UNKNOWN");
    EXPECT_EQ(ProfileOfDiscKind(kind), 0);
    EXPECT_FALSE(IsRecordableKind(kind) || IsErasableKind(kind) || IsDvdKind(kind) || IsOverwritableKind(kind));
  }
}

TEST(DiscKindTable, ProfileNamesAndTheDiscRecordsTypeNames) {
  EXPECT_STREQ(ProfileName(0x13), "DVD-RW Restricted Overwrite");
  EXPECT_STREQ(ProfileName(0x14), "DVD-RW Sequential Recording");
  EXPECT_STREQ(ProfileName(0x03), "MO Eraseable");
  EXPECT_STREQ(ProfileName(0x22), "DDCD-RW");
  EXPECT_STREQ(ProfileName(0x2B), "DVD+R DL");
  EXPECT_STREQ(ProfileName(0x40), "???????");
  // The disc record's names stop at the DDCD profiles.
  EXPECT_STREQ(ProfileTypeName(0x1B), "DVD+R");
  EXPECT_STREQ(ProfileTypeName(0x2B), "???????");
  EXPECT_STREQ(ProfileTypeName(0x00), "???????");
}

TEST(DiscKindTable, ErasableProfilesAreExactlyTheRewritableMediaButDvdRam) {
  std::vector<uint16_t> erasable;
  for (uint32_t profile = 0; profile <= 0xFFFF; ++profile) {
    if (ErasableProfile(static_cast<uint16_t>(profile))) erasable.push_back(static_cast<uint16_t>(profile));
  }
  EXPECT_EQ(erasable, (std::vector<uint16_t>{0x03, 0x0A, 0x13, 0x14, 0x1A, 0x22}));
}

// ---- The recorded disc kind: one per component ------------------------------

class RecordedDiscKindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto back_end =
        emu::CreateEmulatedBackEnd("cd-r:" + (dir_ / "cd.img") + ";dvd-ram:" + (dir_ / "ram.img"), &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    for (TVeskBurner* burner : {&cd_, &ram_}) {
      burner->LogCommandErrors = false;
      burner->Sleep = [](int) {};
      burner->HostAdapterInquiry(0);
      burner->ScanDevices();
      ASSERT_EQ(burner->Devices.size(), 2u);
    }
    cd_.SelectDevice(cd_.Devices[0]);
    ram_.SelectDevice(ram_.Devices[1]);
  }
  void TearDown() override { transport::AspiUnload(); }

  test::TempDir dir_;
  TVeskBurner cd_{nullptr};
  TVeskBurner ram_{nullptr};
};

TEST_F(RecordedDiscKindTest, TwoComponentsOnTwoDrivesKeepTheirOwnKind) {
  EXPECT_EQ(cd_.RecordedDiscKind(), dkUnknown);
  EXPECT_EQ(ram_.RecordedDiscKind(), dkUnknown);
  // The burn checks note each drive's kind, one after the other.
  TVeskBurner::TBurnPlan cd_plan, ram_plan;
  ASSERT_TRUE(cd_.CheckBurnDisc(cd_plan)) << cd_plan.Refusal;
  EXPECT_EQ(cd_.RecordedDiscKind(), dkCdR);
  ASSERT_TRUE(ram_.CheckBurnDisc(ram_plan)) << ram_plan.Refusal;
  EXPECT_EQ(ram_.RecordedDiscKind(), dkDvdRam);
  EXPECT_EQ(cd_.RecordedDiscKind(), dkCdR) << "the DVD-RAM's kind reached the CD-R's component";

  // Each size query sends the write parameters of its own component's kind:
  // a CD's track-at-once page to the CD-R, nothing to the DVD-RAM (written
  // like a hard disk). A shared kind would leave the CD-R without its page.
  std::fill(std::begin(cd_.WriteParamsPage), std::end(cd_.WriteParamsPage), 0);
  std::fill(std::begin(ram_.WriteParamsPage), std::end(ram_.WriteParamsPage), 0);
  EXPECT_GT(cd_.GetFreeBlocks(), 0u);
  EXPECT_GT(ram_.GetFreeBlocks(), 0u);
  EXPECT_EQ(cd_.WriteParamsPage[0] & 0x3F, 0x05);
  EXPECT_EQ(cd_.WriteParamsPage[2] & 0x0F, 0x01) << "track-at-once";
  EXPECT_EQ(cd_.WriteParamsPage[4], 8) << "mode 1";
  EXPECT_TRUE(std::all_of(std::begin(ram_.WriteParamsPage), std::end(ram_.WriteParamsPage),
                          [](uint8_t b) { return b == 0; }));

  // Noted again, the other way round: still apart.
  EXPECT_EQ(ram_.NoteDiscKind(), dkDvdRam);
  EXPECT_EQ(cd_.NoteDiscKind(), dkCdR);
  EXPECT_EQ(ram_.RecordedDiscKind(), dkDvdRam);
}

}  // namespace
}  // namespace zamo
