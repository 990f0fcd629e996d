// A read-only drive that knows no READ TRACK INFORMATION (QEMU's CD-ROM,
// many DVD-ROM drives): where a session starts comes from its table of
// contents, the full one for any session, the multisession form for the last.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/drive/fake_backend.h"
#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;

constexpr uint32_t kSecondSession = 300;

class ReadOnlyDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two sessions: one file each; the second one lists both.
    for (uint32_t start : {0u, kSecondSession}) {
      disc_.Descriptor(start + 16, 2, start + 20, 2048, start + 64);
      disc_.Terminator(start + 17);
      size_t at = disc_.DotRecords(start + 20, 2048, start + 20);
      at = disc_.Record(start + 20, at, Utf16Be("un.txt;1"), 30, 3, 0);
      if (start != 0) disc_.Record(start + 20, at, Utf16Be("deux.txt;1"), start + 30, 4, 0);
    }
    std::memcpy(disc_.Sector(30), "un!", 3);
    std::memcpy(disc_.Sector(kSecondSession + 30), "deux", 4);

    fake_ = InstallFakeBackEnd();
    fake_->AddDevice(1, 0, 0, MakeInquiry(5, "QEMU", "QEMU DVD-ROM", "2.5+"), "/dev/sr0");
    fake_->responder = [this](const TRecordedRequest& r) { return Answer(r); };
    burner_.HaId = 1;
    burner_.TargetId = 0;
    burner_.Lun = 0;
    burner_.LogCommandErrors = false;
    burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t) { log_ += text + "\n"; };
  }
  void TearDown() override { transport::AspiUnload(); }

  std::optional<TFakeReply> Answer(const TRecordedRequest& r) {
    switch (r.opcode()) {
      case 0x51: {  // READ DISC INFORMATION: complete disc, two sessions
        std::vector<uint8_t> info(34, 0);
        info[1] = 32;
        info[2] = 0x0E;
        info[3] = 1;
        info[4] = 2;
        info[5] = 2;
        info[6] = 2;
        return Good(info);
      }
      case 0x52:
        return CheckCondition(5, 0x20, 0);  // INVALID COMMAND OPERATION CODE
      case 0x43:
        return Toc(r.cdb[2] & 0x0F);
      case 0x28: {
        const uint32_t lba = GetBe32(r.cdb, 2);
        const uint16_t blocks = GetBe16(r.cdb, 7);
        if (size_t{lba} + blocks > disc_.Sectors()) return CheckCondition(5, 0x21, 0);
        const auto* from = reinterpret_cast<const uint8_t*>(disc_.bytes().data()) + size_t{lba} * 2048;
        return Good(std::vector<uint8_t>(from, from + size_t{blocks} * 2048));
      }
      default:
        return std::nullopt;
    }
  }

  std::optional<TFakeReply> Toc(uint8_t format) {
    if (format == 2 && full_toc_) {
      std::vector<uint8_t> toc = {0, 0, 1, 2};
      // Session, ADR/control, TNO, point, MSF, zero, PMIN, PSEC, PFRAME.
      const auto add = [&](uint8_t session, uint8_t point, uint32_t pmin_or_lba, bool address) {
        std::vector<uint8_t> d = {session, 0x14, 0, point, 0, 0, 0, 0, 0, 0, 0};
        if (address) {
          const uint32_t frames = pmin_or_lba + 150;
          d[8] = static_cast<uint8_t>(frames / 4500);
          d[9] = static_cast<uint8_t>(frames / 75 % 60);
          d[10] = static_cast<uint8_t>(frames % 75);
        } else {
          d[8] = static_cast<uint8_t>(pmin_or_lba);
        }
        toc.insert(toc.end(), d.begin(), d.end());
      };
      add(1, 0xA0, 1, false);
      add(1, 0xA1, 1, false);
      add(1, 1, 0, true);
      add(2, 0xA0, 2, false);
      add(2, 0xA1, 2, false);
      add(2, 2, kSecondSession, true);
      toc[1] = static_cast<uint8_t>(toc.size() - 2);
      return Good(toc);
    }
    if (format == 1) {  // the last session's first track
      std::vector<uint8_t> toc = {0, 10, 1, 2, 0, 0x14, 2, 0, 0, 0, 0, 0};
      PutBe32(toc, 8, kSecondSession);
      return Good(toc);
    }
    return CheckCondition(5, 0x24, 0);
  }

  std::string Content(const std::string& name) {
    const TFEntry* e = FindPath(burner_, name);
    if (e == nullptr) return "(none)";
    const std::string path = dir_ / "x";
    if (!burner_.ExtractFile(e, path)) return "(failed)";
    return ReadFile(path);
  }

  MiniDisc disc_{kSecondSession + 64};
  TFakeBackEnd* fake_ = nullptr;
  bool full_toc_ = true;
  TVeskBurner burner_{nullptr};
  TempDir dir_;
  std::string log_;
};

TEST_F(ReadOnlyDrive, EachSessionStartsWhereTheFullTableOfContentsSays) {
  ASSERT_TRUE(burner_.ImportSessionTree(1, nullptr)) << log_;
  EXPECT_EQ(Content("un.txt"), "un!");
  EXPECT_EQ(FindPath(burner_, "deux.txt"), nullptr);
  burner_.ClearCompilation(100, 10);
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << log_;
  EXPECT_EQ(burner_.ImportedSession, 2);
  EXPECT_EQ(Content("deux.txt"), "deux");
}

TEST_F(ReadOnlyDrive, WithoutAFullTableOfContentsOnlyTheLastSessionIsFound) {
  full_toc_ = false;
  ASSERT_TRUE(burner_.ImportSessionTree(-1, nullptr)) << log_;
  EXPECT_EQ(Content("deux.txt"), "deux");
  burner_.ClearCompilation(100, 10);
  EXPECT_FALSE(burner_.ImportSessionTree(1, nullptr));
  EXPECT_THAT(log_, HasSubstr(">>> ERREUR IMPORTATION SESSION # 1\n"));
}

}  // namespace
}  // namespace zamo::test
