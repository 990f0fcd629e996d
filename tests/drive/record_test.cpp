// Recording on the emulated recorder through the writer thread: every kind
// of disc gets the compilation's bytes at the right sectors and the close it
// needs; test writes, injected write errors, busy and not-ready drives, an
// abort, a blank DVD+RW and an image file behave as a user expects.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/file_attributes.h"
#include "emulator/emulated_backend.h"
#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(n, '\0');
  for (auto& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::MakeTree(dir_ / "src", {{"Lisez-moi.txt", "Bonjour\n"},
                                  {"Photos d'été/plage.jpg", RandomBytes(300000, 1)},
                                  {"Photos d'été/vide.txt", ""},
                                  {"Documents/rapport annuel 2024.pdf", RandomBytes(123457, 2)},
                                  {"Documents/Archives/ancien.doc", RandomBytes(2049, 3)}});
    burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t) {
      std::lock_guard lock(log_mutex_);
      log_ += text + "\n";
    };
    burner_.Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
    burner_.OnWriteDone = [this](TObject*, const std::string& error) {
      ++done_count_;
      error_ = error;
    };
    burner_.OnFinalizingTrack = [this](TObject*) { ++finalizing_count_; };
  }
  void TearDown() override {
    transport::AspiUnload();
  }

  void Load(const std::string& kind, const std::string& options = "") {
    image_ = dir_ / "disc.img";
    std::string error;
    auto back_end = emu::CreateEmulatedBackEnd(kind + ":" + image_ + options, &error);
    ASSERT_NE(back_end, nullptr) << error;
    transport::Install(std::move(back_end));
    burner_.LogCommandErrors = false;
    burner_.Sleep = [](int) {};  // the drive waits are real bounds, not needed here
    burner_.HostAdapterInquiry(0);
    burner_.ScanDevices();
    ASSERT_EQ(burner_.Devices.size(), 1u);
    burner_.SelectDevice(burner_.Devices[0]);
    ASSERT_NE(burner_.HaId, 0xFE);
  }

  void Compile() {
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    burner_.IdVolume = "ESSAI";
    ASSERT_GT(burner_.AddFolder("\\", dir_ / "src", false, false, true, faAnyFile, "*"), 0);
  }

  // Runs `start` and pumps the queue until OnWriteDone (bounded).
  void Run(const std::function<void()>& start) {
    start();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (done_count_ == 0 && std::chrono::steady_clock::now() < deadline) {
      queue_.RunFor(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(done_count_, 1) << "the job did not end";
    queue_.RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(done_count_, 1) << "OnWriteDone once";
  }

  // The disc's first session read back by a peer tool from the emulator's
  // image file, compared with the source tree.
  void ExpectDiscHoldsTheSources() {
    const std::string out = dir_ / "out";
    const auto run = test::Run({"xorriso", "-osirrox", "on", "-indev", image_, "-extract", "/", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadTree(out), test::ReadTree(dir_ / "src"));
  }

  test::TempDir dir_;
  std::string image_;
  TVeskBurner burner_{nullptr};
  CallQueue queue_;
  int done_count_ = 0;
  int finalizing_count_ = 0;
  std::string error_;
  std::mutex log_mutex_;
  std::string log_;
};

class RecordEveryKind : public RecordTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RecordEveryKind, DiscHoldsTheCompilationAndIsClosedAsItsKindNeeds) {
  Load(GetParam());
  Compile();
  Run([this] { EXPECT_EQ(burner_.RecordCompilation(), 1); });
  ASSERT_EQ(error_, "") << log_;
  EXPECT_EQ(finalizing_count_, 1);
  EXPECT_EQ(burner_.BytesWritten(), burner_.ImageSectors() * 2048);
  EXPECT_NE(log_.find(">>> ÉCRITURE de "), std::string::npos) << log_;
  ExpectDiscHoldsTheSources();
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
                         [](const ::testing::TestParamInfo<const char*>& kind) {
                           std::string name = kind.param;
                           for (char& c : name) c = c == '-' ? '_' : c == '+' ? 'P' : c;
                           return name;
                         });

TEST_F(RecordTest, ClosingTheDiscLeavesItComplete) {
  Load("cd-r");
  Compile();
  burner_.FinalizeDisc = true;
  Run([this] { burner_.RecordCompilation(); });
  ASSERT_EQ(error_, "") << log_;
  EXPECT_EQ(burner_.GetDiscStatus(), 2);
  ExpectDiscHoldsTheSources();
}

TEST_F(RecordTest, TestWriteRecordsNothingAndSaysSo) {
  Load("cd-r");
  Compile();
  burner_.TestWrite = true;
  Run([this] { burner_.RecordCompilation(); });
  ASSERT_EQ(error_, "") << log_;
  EXPECT_NE(log_.find(">>> TEST/ÉCRITURE"), std::string::npos) << log_;
  EXPECT_EQ(burner_.GetDiscStatus(), 0);
  EXPECT_EQ(burner_.GetNextWritableAddress(), 0u);
}

TEST_F(RecordTest, WriteErrorFailsTheJobWithTheDrivesTextAndLeavesTheDiscOpen) {
  Load("cd-r", ",writeerror=100:3/0C/00");
  Compile();
  Run([this] { burner_.RecordCompilation(); });
  EXPECT_EQ(error_.rfind("ERREUR D'ÉCRITURE [ERREUR DISQUE", 0), 0u) << error_;
  EXPECT_EQ(finalizing_count_, 1);  // flushed all the same
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

TEST_F(RecordTest, BusyAndNotReadyWritesAreRetried) {
  Load("dvd+r", ",notready=40,busy=20");
  Compile();
  Run([this] { burner_.RecordCompilation(); });
  ASSERT_EQ(error_, "") << log_;
  ExpectDiscHoldsTheSources();
}

TEST_F(RecordTest, WriteThatNeverCompletesFailsTheJobInsteadOfBeingRetried) {
  Load("cd-r", ",hang=2A");
  burner_.MinimumCommandWaitMs = 100;
  burner_.MaximumCommandWaitMs = 300;  // the two minutes of a real WRITE (10)
  Compile();
  const auto started = std::chrono::steady_clock::now();
  Run([this] { burner_.RecordCompilation(); });
  EXPECT_EQ(error_, "ERREUR D'ÉCRITURE [COMMAND TIMEOUT (LE GRAVEUR NE RÉPOND PAS)]");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

TEST_F(RecordTest, DiscTakenAwayMidWriteFailsWithTheDrivesText) {
  Load("dvd+r", ",removeat=60");
  Compile();
  Run([this] { burner_.RecordCompilation(); });
  EXPECT_EQ(error_.rfind("ERREUR D'ÉCRITURE [PAS PRÊT (MEDIUM NOT PRESENT", 0), 0u) << error_;
  EXPECT_EQ(finalizing_count_, 1);
}

TEST_F(RecordTest, FailedPowerCalibrationAndAnOpenTrayDoNotStopTheRecording) {
  // The writer loads the disc (closing the tray) and does not check the
  // calibration: a drive that cannot record fails at its first write.
  Load("cd-r", ",opc=fail,tray=open");
  burner_.PerformOPC = true;
  Compile();
  Run([this] { burner_.RecordCompilation(); });
  ASSERT_EQ(error_, "") << log_;
  ExpectDiscHoldsTheSources();
}

TEST_F(RecordTest, AbortEndsTheJobOnceWithTheUsersText) {
  Load("cd-r");
  Compile();
  // Pressed at the end of the preparation, as the start message goes out:
  // the job stops at its first block.
  burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t) {
    std::lock_guard lock(log_mutex_);
    log_ += text + "\n";
    if (text.find(">>> ÉCRITURE de ") == 0) burner_.AbortWriting();
  };
  Run([this] { burner_.RecordCompilation(); });
  EXPECT_EQ(error_, "OPÉRATION TERMINÉE PAR L'USAGER");
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

// A boot image that went missing after the compilation was made: the burn
// and the image save both say so and record the files without a boot record.
TEST_F(RecordTest, AMissingBootImageIsSaidAndLeftOutByTheBurnAndTheSaveAlike) {
  const std::string boot = dir_ / "boot.img";
  const auto missing_boot = [&] {
    test::WriteFile(boot, RandomBytes(4 * 2048, 8));
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

  Load("dvd+r");
  missing_boot();
  Run([this] { burner_.RecordCompilation(); });
  EXPECT_EQ(error_, "") << log_;
  EXPECT_NE(log_.find("IMAGE DE DÉMARRAGE INTROUVABLE OU VIDE \"" + boot + "\": LE DISQUE NE SERA PAS AMORÇABLE"),
            std::string::npos)
      << log_;
  EXPECT_FALSE(has_boot_record(image_));
  ExpectDiscHoldsTheSources();

  const std::string saved = dir_ / "saved.iso";
  log_.clear();
  done_count_ = 0;
  missing_boot();
  Run([&] { burner_.SaveImageFile(saved, false); });
  EXPECT_EQ(error_, "") << log_;
  EXPECT_NE(log_.find("LE DISQUE NE SERA PAS AMORÇABLE"), std::string::npos) << log_;
  EXPECT_FALSE(has_boot_record(saved));
}

TEST_F(RecordTest, ImageFileGoesToTheDiscFromSectorZeroPaddedToWholeSectors) {
  Load("dvd+r");
  const std::string iso = dir_ / "one.iso";
  const std::string bytes = RandomBytes(1000001, 4);
  {
    std::ofstream out(iso, std::ios::binary);
    out << bytes;
  }
  burner_.SessionStart = 5000;  // whatever the last layout said
  Run([this, &iso] { EXPECT_TRUE(burner_.RecordImageFile(iso)); });
  ASSERT_EQ(error_, "") << log_;
  EXPECT_EQ(burner_.SessionSectors, 489);
  std::ifstream disc(image_, std::ios::binary);
  std::string recorded(489 * 2048, '\0');
  disc.read(recorded.data(), static_cast<std::streamsize>(recorded.size()));
  EXPECT_EQ(recorded.substr(0, bytes.size()), bytes);
  EXPECT_EQ(recorded.substr(bytes.size()), std::string(489 * 2048 - bytes.size(), '\0'));
}

TEST_F(RecordTest, AnImageFileThatCannotBeOpenedIsReportedAndNothingStarts) {
  Load("cd-r");
  Run([this] { EXPECT_FALSE(burner_.RecordImageFile(dir_ / "absent.iso")); });
  EXPECT_NE(error_.find("IMPOSSIBLE D'OUVRIR LE FICHIER"), std::string::npos) << error_;
  EXPECT_EQ(finalizing_count_, 0);
}

TEST_F(RecordTest, SourceThatShrinksFailsTheBurnNamingTheFile) {
  Load("cd-r");
  Compile();
  // Shrunk after being added: the cache must not fill the gap with zeros.
  truncate((dir_ / "src/Documents/rapport annuel 2024.pdf").c_str(), 1000);
  Run([this] { burner_.RecordCompilation(); });
  EXPECT_NE(error_.find("rapport annuel 2024.pdf"), std::string::npos) << error_;
  EXPECT_NE(burner_.GetDiscStatus(), 2);
}

}  // namespace
}  // namespace zamo
