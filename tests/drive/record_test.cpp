// Recording on the emulated recorder through the writer thread: every kind
// of disc gets the compilation's bytes at the right sectors and the close it
// needs; test writes, injected write errors, busy and not-ready drives, an
// abort, a blank DVD+RW and an image file behave as a user expects.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/platform/file_attributes.h"
#include "tests/support/burner_job.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

class RecordTest : public test::BurnerJobTest {
 protected:
  void SetUp() override {
    test::MakeTree(dir_ / "src", {{"Lisez-moi.txt", "Bonjour\n"},
                                  {"Photos d'été/plage.jpg", test::RandomBytes(300000, 1)},
                                  {"Photos d'été/vide.txt", ""},
                                  {"Documents/rapport annuel 2024.pdf", test::RandomBytes(123457, 2)},
                                  {"Documents/Archives/ancien.doc", test::RandomBytes(2049, 3)}});
    burner_.OnFinalizingTrack = [this](TObject*) { ++finalizing_count_; };
  }

  void Compile() {
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    burner_.IdVolume = "ESSAI";
    ASSERT_GT(burner_.AddFolder("\\", dir_ / "src", false, false, true, faAnyFile, "*"), 0);
  }

  int finalizing_count_ = 0;
};

class RecordEveryKind : public RecordTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RecordEveryKind, DiscHoldsTheCompilationAndIsClosedAsItsKindNeeds) {
  LoadEmulated(GetParam());
  Compile();
  ASSERT_TRUE(RunJob([this] { EXPECT_EQ(burner_.RecordCompilation(), 1); }));
  ASSERT_EQ(error_, "") << log_;
  EXPECT_EQ(finalizing_count_, 1);
  EXPECT_EQ(burner_.BytesWritten(), burner_.ImageSectors() * 2048);
  EXPECT_NE(log_.find(">>> ÉCRITURE de "), std::string::npos) << log_;
  EXPECT_TRUE(DiscHolds(dir_ / "src"));
  const int status = burner_.GetDiscStatus();
  const std::string kind = GetParam();
  if (kind == "dvd+rw" || kind == "dvd-ram" || kind == "dvd-rw") {
    // Overwritable (a DVD-RW is quick-formatted to restricted overwrite
    // first): no sessions, the volume tells what is used.
    EXPECT_EQ(burner_.GetIsoVolumeSize(), static_cast<uint32_t>(burner_.VolumeSpaceSize));
  } else {
    EXPECT_EQ(status, 1) << "an open disc takes another session";
    EXPECT_EQ(burner_.GetSessionCount(), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RecordEveryKind,
                         ::testing::Values("cd-r", "cd-rw", "dvd-r", "dvd-rw", "dvd+r", "dvd+rw", "dvd-ram",
                                           "dvd+r-dl"),
                         test::KindParamName());

TEST_F(RecordTest, ClosingTheDiscLeavesItComplete) {
  LoadEmulated("cd-r");
  Compile();
  burner_.FinalizeDisc = true;
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  ASSERT_EQ(error_, "") << log_;
  EXPECT_EQ(burner_.GetDiscStatus(), 2);
  EXPECT_TRUE(DiscHolds(dir_ / "src"));
}

TEST_F(RecordTest, TestWriteRecordsNothingAndSaysSo) {
  LoadEmulated("cd-r");
  Compile();
  burner_.TestWrite = true;
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  ASSERT_EQ(error_, "") << log_;
  EXPECT_NE(log_.find(">>> TEST/ÉCRITURE"), std::string::npos) << log_;
  EXPECT_EQ(burner_.GetDiscStatus(), 0);
  EXPECT_EQ(burner_.GetNextWritableAddress(), 0u);
}

// A drive that misbehaves as it goes: the options of the emulated recorder,
// the writer's power calibration, and how the job must end.
struct DriveFault {
  const char* name;
  const char* kind;
  const char* faults;
  bool calibrate;
  const char* error;  // what the job's error starts with; "" for a burn that succeeds
};

class RecordThroughFaults : public RecordTest, public ::testing::WithParamInterface<DriveFault> {};

TEST_P(RecordThroughFaults, JobEndsAsTheFaultDemands) {
  const DriveFault& fault = GetParam();
  LoadEmulated(fault.kind, fault.faults);
  burner_.PerformOPC = fault.calibrate;
  Compile();
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  if (*fault.error == '\0') {
    ASSERT_EQ(error_, "") << log_;
    EXPECT_TRUE(DiscHolds(dir_ / "src"));
  } else {
    EXPECT_EQ(error_.rfind(fault.error, 0), 0u) << error_;
    EXPECT_EQ(finalizing_count_, 1);  // flushed all the same
    EXPECT_NE(burner_.GetDiscStatus(), 2) << "a failed burn leaves the disc open";
  }
}

// Instantiated as RecordTest so that make test-threads runs it with the other
// recording suites under ThreadSanitizer.
INSTANTIATE_TEST_SUITE_P(
    RecordTest, RecordThroughFaults,
    ::testing::Values(
        // Failures carry the drive's own text.
        DriveFault{"WriteErrorFailsWithTheDrivesText", "cd-r", ",writeerror=100:3/0C/00", false,
                   "ERREUR D'ÉCRITURE [ERREUR DISQUE"},
        DriveFault{"DiscTakenAwayMidWriteFailsWithTheDrivesText", "dvd+r", ",removeat=60", false,
                   "ERREUR D'ÉCRITURE [PAS PRÊT (MEDIUM NOT PRESENT"},
        // Busy and not-ready writes are retried.
        DriveFault{"BusyAndNotReadyWritesAreRetried", "dvd+r", ",notready=40,busy=20", false, ""},
        // The writer loads the disc (closing the tray) and does not check the
        // calibration: a drive that cannot record fails at its first write.
        DriveFault{"FailedPowerCalibrationAndAnOpenTrayDoNotStopIt", "cd-r", ",opc=fail,tray=open", true, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RecordTest, WriteThatNeverCompletesFailsTheJobInsteadOfBeingRetried) {
  LoadEmulated("cd-r", ",hang=2A");
  burner_.MinimumCommandWaitMs = 100;
  burner_.MaximumCommandWaitMs = 300;  // the two minutes of a real WRITE (10)
  Compile();
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  EXPECT_EQ(error_, "ERREUR D'ÉCRITURE [COMMAND TIMEOUT (LE GRAVEUR NE RÉPOND PAS)]");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

TEST_F(RecordTest, AbortEndsTheJobOnceWithTheUsersText) {
  LoadEmulated("cd-r");
  Compile();
  // Pressed at the end of the preparation, as the start message goes out:
  // the job stops at its first block.
  burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t) {
    std::lock_guard lock(log_mutex_);
    log_ += text + "\n";
    if (text.find(">>> ÉCRITURE de ") == 0) burner_.AbortWriting();
  };
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  EXPECT_EQ(error_, "OPÉRATION TERMINÉE PAR L'USAGER");
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

// A boot image that went missing after the compilation was made: the burn
// and the image save both say so and record the files without a boot record.
TEST_F(RecordTest, AMissingBootImageIsSaidAndLeftOutByTheBurnAndTheSaveAlike) {
  const std::string boot = dir_ / "boot.img";
  const auto missing_boot = [&] {
    test::WriteFile(boot, test::RandomBytes(4 * 2048, 8));
    Compile();
    burner_.Bootable = true;
    burner_.BootImage = boot;
    std::remove(boot.c_str());
  };
  const auto has_boot_record = [](const std::string& image) {
    std::ifstream in(image, std::ios::binary);
    std::string sector(2048, '\0');
    in.seekg(17 * 2048);
    in.read(sector.data(), 2048);
    return sector[0] == 0 && sector.compare(1, 5, "CD001") == 0;
  };

  LoadEmulated("dvd+r");
  missing_boot();
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  EXPECT_EQ(error_, "") << log_;
  EXPECT_NE(log_.find("IMAGE DE DÉMARRAGE INTROUVABLE OU VIDE \"" + boot + "\": LE DISQUE NE SERA PAS AMORÇABLE"),
            std::string::npos)
      << log_;
  EXPECT_FALSE(has_boot_record(image_));
  EXPECT_TRUE(DiscHolds(dir_ / "src"));

  const std::string saved = dir_ / "saved.iso";
  log_.clear();
  missing_boot();
  ASSERT_TRUE(RunJob([&] { burner_.SaveImageFile(saved, false); }));
  EXPECT_EQ(error_, "") << log_;
  EXPECT_NE(log_.find("LE DISQUE NE SERA PAS AMORÇABLE"), std::string::npos) << log_;
  EXPECT_FALSE(has_boot_record(saved));
}

TEST_F(RecordTest, ImageFileGoesToTheDiscFromSectorZeroPaddedToWholeSectors) {
  LoadEmulated("dvd+r");
  const std::string iso = dir_ / "one.iso";
  const std::string bytes = test::RandomBytes(1000001, 4);
  {
    std::ofstream out(iso, std::ios::binary);
    out << bytes;
  }
  burner_.SessionStart = 5000;  // whatever the last layout said
  ASSERT_TRUE(RunJob([this, &iso] { EXPECT_TRUE(burner_.RecordImageFile(iso)); }));
  ASSERT_EQ(error_, "") << log_;
  EXPECT_EQ(burner_.SessionSectors, 489);
  std::ifstream disc(image_, std::ios::binary);
  std::string recorded(489 * 2048, '\0');
  disc.read(recorded.data(), static_cast<std::streamsize>(recorded.size()));
  EXPECT_EQ(recorded.substr(0, bytes.size()), bytes);
  EXPECT_EQ(recorded.substr(bytes.size()), std::string(489 * 2048 - bytes.size(), '\0'));
}

TEST_F(RecordTest, AnImageFileThatCannotBeOpenedIsReportedAndNothingStarts) {
  LoadEmulated("cd-r");
  ASSERT_TRUE(RunJob([this] { EXPECT_FALSE(burner_.RecordImageFile(dir_ / "absent.iso")); }));
  EXPECT_NE(error_.find("IMPOSSIBLE D'OUVRIR LE FICHIER"), std::string::npos) << error_;
  EXPECT_EQ(finalizing_count_, 0);
}

TEST_F(RecordTest, SourceThatShrinksFailsTheBurnNamingTheFile) {
  LoadEmulated("cd-r");
  Compile();
  // Shrunk after being added: the cache must not fill the gap with zeros.
  truncate((dir_ / "src/Documents/rapport annuel 2024.pdf").c_str(), 1000);
  ASSERT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
  EXPECT_NE(error_.find("rapport annuel 2024.pdf"), std::string::npos) << error_;
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

}  // namespace
}  // namespace zamo
