// burn_plan_test.cpp: the checks before a burn, on the emulated recorder: each
// refusal with its French reason, and a plan that keeps the previous
// session's files and knows the session's size.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "burner/platform/file_attributes.h"
#include "emulator/emulated_backend.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using ::testing::HasSubstr;

class BurnPlanTest : public ::testing::Test {
 protected:
  void TearDown() override {
    transport::AspiUnload();
  }

  void Load(const std::string& drive) {
    std::string error;
    auto back_end = emu::CreateEmulatedBackEnd(drive, &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    burner_.LogCommandErrors = false;
    burner_.Sleep = [](int) {};
    burner_.MaximumCommandWaitMs = 300;  // a command that never completes fails at once
    burner_.HostAdapterInquiry(0);
    burner_.ScanDevices();
    ASSERT_EQ(burner_.Devices.size(), 1u);
    burner_.SelectDevice(burner_.Devices[0]);
  }

  void Compile(const test::TreeContents& files) {
    test::MakeTree(dir_ / "src", files);
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    ASSERT_GT(burner_.AddFolder("\\", dir_ / "src", false, false, true, faAnyFile, "*"), 0);
  }

  // A CD-R whose closed first session leaves `free` blocks.
  std::string NearlyFullCd(uint32_t free) { return test::NearlyFullCd(dir_ / "full.img", free); }

  test::TempDir dir_;
  TVeskBurner burner_{nullptr};
};

TEST_F(BurnPlanTest, ABlankDiscTakesTheCompilationWithNothingToImport) {
  Load("dvd+r:" + dir_ / "disc.img");
  TVeskBurner::TBurnPlan plan;
  ASSERT_TRUE(burner_.CheckBurnDisc(plan)) << plan.Refusal;
  EXPECT_EQ(plan.Kind, dkDvdPlusR);
  EXPECT_FALSE(plan.Overwritable);
  EXPECT_FALSE(plan.HoldsFiles);
  Compile({{"a.txt", "un"}, {"b/c.txt", test::Bytes(100000)}});
  ASSERT_TRUE(burner_.PlanBurn(plan, -1)) << plan.Refusal;
  EXPECT_EQ(burner_.SessionToImport, 0);
  EXPECT_EQ(plan.Sectors, burner_.ImageSectors());
  EXPECT_GT(plan.FreeBlocks, 2000000u);
}

TEST_F(BurnPlanTest, ADiscWithASessionHasItsFilesKept) {
  const std::string image = NearlyFullCd(100000);
  Load("cd-r:" + image);
  Compile({{"a.txt", "un"}});
  TVeskBurner::TBurnPlan plan;
  ASSERT_TRUE(burner_.PlanBurn(plan, -1)) << plan.Refusal;  // the disc checked on the way
  EXPECT_TRUE(plan.HoldsFiles);
  EXPECT_EQ(burner_.SessionToImport, 0xFFFF);
  EXPECT_EQ(plan.FreeBlocks, 100000u);
  ASSERT_TRUE(burner_.PlanBurn(plan, 0)) << plan.Refusal;
  EXPECT_EQ(burner_.SessionToImport, 0) << "the user asked for none";
}

struct Refusal {
  const char* name;
  const char* drive;  // KIND:IMAGE[,options], IMAGE being replaced
  const char* reason;
};

class BurnPlanRefusals : public BurnPlanTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(BurnPlanRefusals, TheDiscIsRefusedWithItsReason) {
  std::string drive = GetParam().drive;
  drive.replace(drive.find("IMAGE"), 5, dir_ / "disc.img");
  if (std::string(GetParam().name) == "Pressed") {
    // A pressed disc: somebody's image in a read-only drive.
    test::WriteFile(dir_ / "disc.img", std::string(300 * 2048, '\0'));
  }
  if (std::string(GetParam().name) == "Closed") {
    test::WriteFile(dir_ / "disc.img.state",
                    "zamo-disc 1\nkind cd-r\nfinalized yes\nformatted no\nrestricted-overwrite no\n"
                    "session 1 closed\ntrack 1 complete 0 300 300\n");
    test::WriteFile(dir_ / "disc.img", std::string(300 * 2048, '\0'));
  }
  Load(drive);
  TVeskBurner::TBurnPlan plan;
  EXPECT_FALSE(burner_.CheckBurnDisc(plan));
  EXPECT_THAT(plan.Refusal, HasSubstr(GetParam().reason));
  Compile({{"a.txt", "un"}});
  EXPECT_FALSE(burner_.PlanBurn(plan, -1));
  EXPECT_THAT(plan.Refusal, HasSubstr(GetParam().reason));
}

INSTANTIATE_TEST_SUITE_P(
    Drives, BurnPlanRefusals,
    ::testing::Values(Refusal{"NoDisc", "cd-r:IMAGE,disc=none", "AUCUN DISQUE PRÊT DANS LE GRAVEUR"},
                      Refusal{"TrayOpen", "dvd+r:IMAGE,tray=open", "AUCUN DISQUE PRÊT DANS LE GRAVEUR"},
                      Refusal{"NoAnswer", "cd-r:IMAGE,hang=51", "LE GRAVEUR NE RÉPOND PAS"},
                      Refusal{"Pressed", "cd-rom:IMAGE", "LE DISQUE CD-ROM NE PEUT PAS ÊTRE GRAVÉ"},
                      Refusal{"Closed", "cd-r:IMAGE", "LE DISQUE EST FERMÉ"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(BurnPlanTest, AnEmptyCompilationIsNothingToBurn) {
  Load("cd-r:" + dir_ / "disc.img");
  ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
  TVeskBurner::TBurnPlan plan;
  EXPECT_FALSE(burner_.PlanBurn(plan, -1));
  EXPECT_EQ(plan.Refusal, "RIEN À GRAVER: AUCUN FICHIER DANS LA COMPILATION");
}

TEST_F(BurnPlanTest, ACompilationLargerThanTheFreeSpaceDoesNotFit) {
  Load("cd-r:" + NearlyFullCd(1000));  // 1.95 MB free
  Compile({{"gros.bin", test::Bytes(3 * 1024 * 1024)}});
  TVeskBurner::TBurnPlan plan;
  EXPECT_FALSE(burner_.PlanBurn(plan, -1));
  EXPECT_THAT(plan.Refusal, HasSubstr("LA COMPILATION NE TIENT PAS SUR LE DISQUE: "));
  EXPECT_THAT(plan.Refusal, HasSubstr(" POUR 1"));
  EXPECT_GT(plan.Sectors, 1000);
  EXPECT_EQ(plan.FreeBlocks, 1000u);
}

}  // namespace
}  // namespace zamo
