// A session read back after it was recorded through the writer thread and
// compared with what was laid out: every area of the head that differs is
// named, so are the boot image, a file whose source changed or vanished,
// the descriptors an overwritable disc holds at its start, and a sector the
// drive cannot read; reads are large, smaller when the drive refuses; an
// abort and the component's end stop the verification within a moment.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "burner/drive/messages.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/str_format.h"
#include "tests/import/import_fixture.h"

namespace zamo::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

// The emulated recorder behind a back end that watches READ (10): it keeps
// each command's start and length, refuses transfers above `largest_read`
// sectors as a host adapter refuses a buffer too large, fails every read
// that covers `bad_lba` with a medium error, and can make each read slow.
class WatchedReads : public PassThroughDrive {
 public:
  using PassThroughDrive::PassThroughDrive;

  uint32_t SendASPI32Command(void* srb) override {
    auto* request = static_cast<TSRB_ExecSCSICmd*>(srb);
    if (request->SRB_Cmd != SC_EXEC_SCSI_CMD || request->CDBByte[0] != 0x28) {
      return PassThroughDrive::SendASPI32Command(srb);
    }
    const uint32_t lba = GetBe32(std::span<const uint8_t>(request->CDBByte, 10), 2);
    const uint32_t count = GetBe16(std::span<const uint8_t>(request->CDBByte, 10), 7);
    {
      std::lock_guard lock(mutex_);
      reads_.push_back({lba, count});
    }
    if (read_delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(read_delay_ms));
    if (count > largest_read) return Finish(request, SS_BUFFER_TO_BIG, HASTAT_OK, STATUS_GOOD);
    if (bad_lba >= lba && bad_lba < lba + count) {
      const uint8_t sense[18] = {0x70, 0, 0x03, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x11, 0x00};
      std::memcpy(request->SenseArea, sense, sizeof sense);
      return Finish(request, SS_ERR, HASTAT_OK, STATUS_CHKCOND);
    }
    return PassThroughDrive::SendASPI32Command(srb);
  }

  std::vector<std::pair<uint32_t, uint32_t>> Reads() {
    std::lock_guard lock(mutex_);
    return reads_;
  }
  void ClearReads() {
    std::lock_guard lock(mutex_);
    reads_.clear();
  }

  std::atomic<uint32_t> largest_read{0xFFFF};
  std::atomic<uint32_t> bad_lba{0xFFFFFFFF};
  std::atomic<int> read_delay_ms{0};

 private:
  static uint32_t Finish(TSRB_ExecSCSICmd* request, uint8_t status, uint8_t host, uint8_t target) {
    request->SRB_HaStat = host;
    request->SRB_TargStat = target;
    request->SRB_Status = status;
    if (request->SRB_PostProc) request->SRB_PostProc->Set();
    return status;
  }

  std::mutex mutex_;
  std::vector<std::pair<uint32_t, uint32_t>> reads_;
};

class VerifyTest : public DiscTest {
 protected:
  void SetUp() override {
    DiscTest::SetUp();
    image_ = dir_ / "disc.img";
    MakeTree(dir_ / "src", {{"Lisez-moi.txt", "Bonjour\n"},
                            {"Photos d'été/plage.jpg", Bytes(300000, 1)},
                            {"Photos d'été/vide.txt", ""},
                            {"Documents/rapport annuel.pdf", Bytes(123457, 2)},
                            {"Documents/Archives/ancien.doc", Bytes(2049, 3)}});
    burner_.Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
    burner_.OnWriteDone = [this](TObject*, const std::string& error) {
      write_error_ = error;
      write_done_ = true;
    };
    burner_.OnVerifyDone = [this](TObject*, const std::string& error) {
      verify_error_ = error;
      ++verify_done_;
    };
  }

  // A drive of `kind` whose reads go through a WatchedReads back end.
  void LoadWatched(const std::string& kind) { LoadBehind(kind + ":" + image_, watched_); }

  // Records `folder` as the disc's next session through RecordCompilation
  // (the previous session's files imported), keeping the head for a verification.
  void Record(const std::string& folder) {
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    burner_.IdVolume = "ESSAI";
    burner_.SessionToImport = 0xFFFF;
    burner_.KeepImageHead = true;
    ASSERT_GT(burner_.AddFolder("\\", folder, false, false, true, faAnyFile, "*"), 0);
    write_done_ = false;
    ASSERT_EQ(burner_.RecordCompilation(), 1) << Log();
    Pump([this] { return write_done_; });
    ASSERT_TRUE(write_done_) << "the recording did not end";
    ASSERT_EQ(write_error_, "") << Log();
  }

  // Runs `start` and pumps the queue until OnVerifyDone (bounded); its error.
  std::string Verify(const std::function<bool()>& start = nullptr) {
    const int before = verify_done_;
    ClearLog();
    if (start) {
      start();
    } else {
      burner_.VerifyRecording();
    }
    Pump([&] { return verify_done_ > before; });
    EXPECT_EQ(verify_done_, before + 1) << "OnVerifyDone once";
    EXPECT_FALSE(burner_.Verifying());
    return verify_error_;
  }

  void Pump(const std::function<bool()>& done, std::chrono::seconds bound = std::chrono::seconds(60)) {
    const auto deadline = Clock::now() + bound;
    while (!done() && Clock::now() < deadline) queue_.RunFor(std::chrono::milliseconds(10));
    queue_.RunFor(std::chrono::milliseconds(10));
  }

  // Inverts one byte of the disc: byte `offset` of sector `lba`.
  void Corrupt(int64_t lba, int64_t offset) {
    const int fd = open(image_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const off_t at = static_cast<off_t>(lba * 2048 + offset);
    uint8_t byte = 0;
    ASSERT_EQ(pread(fd, &byte, 1, at), 1);
    byte ^= 0xFF;
    ASSERT_EQ(pwrite(fd, &byte, 1, at), 1);
    close(fd);
  }

  // The sector where the data of the compilation's file `name` starts.
  int64_t DataSector(const std::string& name) {
    for (const TFEntry* e : burner_.FileEntries()) {
      if (e->LongName == name && !e->Imported) return int64_t{burner_.FirstFileLba} + e->IsoExtent;
    }
    ADD_FAILURE() << name << " is not in the compilation";
    return 0;
  }

  std::string image_;
  CallQueue queue_;
  WatchedReads* watched_ = nullptr;  // owned by the transport
  bool write_done_ = false;
  std::string write_error_;
  int verify_done_ = 0;
  std::string verify_error_;
};

TEST_F(VerifyTest, ARecordedSessionReadsBackAsItWasLaidOut) {
  Load("cd-r", image_);
  Record(dir_ / "src");
  EXPECT_EQ(Verify(), "") << Log();
  const TVeskBurner::TVerifyCounts& c = burner_.VerifyCounts;
  EXPECT_EQ(c.Identical, 5);
  EXPECT_EQ(c.Errors(), 0);
  // System area, descriptors, two path tables, 4 + 4 directories, padding.
  EXPECT_EQ(c.AreasIdentical, 13) << Log();
  EXPECT_EQ(burner_.VerifyBytesDone(), burner_.VerifyBytesTotal());
  EXPECT_THAT(Log(), HasSubstr(">>> VÉRIFICATION: 5 FICHIERS IDENTIQUES, 0 DIFFÉRENT, 0 ILLISIBLE\n"));
  EXPECT_THAT(Log(), HasSubstr(">>> VÉRIFICATION DE L'EN-TÊTE: 13 ZONES IDENTIQUES, 0 DIFFÉRENTE, 0 ILLISIBLE\n"));
}

TEST_F(VerifyTest, AnImageFileReadsBackByteForByteAndAChangedByteIsNamed) {
  Load("dvd-r", image_);
  const std::string iso = dir_ / "image.iso";
  WriteFile(iso, Bytes(100000, 9));  // 49 sectors, the last one partial
  write_done_ = false;
  ASSERT_TRUE(burner_.RecordImageFile(iso)) << Log();
  Pump([this] { return write_done_; });
  ASSERT_EQ(write_error_, "") << Log();
  EXPECT_EQ(Verify([&] { return burner_.VerifyImageFile(iso); }), "") << Log();
  EXPECT_EQ(burner_.VerifyCounts.Identical, 1);
  EXPECT_THAT(Log(), HasSubstr("VÉRIFICATION DE L'IMAGE GRAVÉE (SECTEURS 0 À 48)"));

  Corrupt(48, 1695);  // the image's last byte
  EXPECT_THAT(Verify([&] { return burner_.VerifyImageFile(iso); }), HasSubstr("LE DISQUE NE CORRESPOND PAS"));
  EXPECT_THAT(Log(), HasSubstr("IMAGE \"" + iso + "\", CONTENU DIFFÉRENT À L'OCTET 99999 (SECTEUR 48)")) << Log();
}

// The folder of the compilation whose long name is `name`.
const TDEntry* FolderNamed(const TVeskBurner& b, const std::string& name) {
  for (const TDEntry* d : b.DirEntries()) {
    if (d->LongName == name) return d;
  }
  return b.RootDir;
}

// One byte of one area of the head, changed on the disc after the
// recording: its sector, the area's first sector, the byte in the sector.
struct HeadByte {
  const char* name;
  std::function<int64_t(const TVeskBurner&)> sector;
  std::function<int64_t(const TVeskBurner&)> area_start;
  int64_t offset;
  std::string label;
};

class VerifyHeadAreas : public VerifyTest, public ::testing::WithParamInterface<HeadByte> {};

TEST_P(VerifyHeadAreas, AChangedByteIsNamedByItsArea) {
  const HeadByte& param = GetParam();
  Load("cd-r", image_);
  Record(dir_ / "src");
  const int64_t sector = param.sector(burner_);
  const int64_t in_area = (sector - param.area_start(burner_)) * 2048 + param.offset;
  Corrupt(sector, param.offset);
  EXPECT_THAT(Verify(), HasSubstr("LE DISQUE NE CORRESPOND PAS")) << Log();
  EXPECT_THAT(Log(), HasSubstr(StrFormat(">>> ERREUR DE VÉRIFICATION: %s, CONTENU DIFFÉRENT À L'OCTET %lld (SECTEUR %lld)\n",
                                         param.label.c_str(), static_cast<long long>(in_area),
                                         static_cast<long long>(sector))))
      << Log();
  EXPECT_EQ(burner_.VerifyCounts.AreasDifferent, 1);
  EXPECT_EQ(burner_.VerifyCounts.AreasIdentical, 12);
  EXPECT_EQ(burner_.VerifyCounts.Identical, 5) << "the files are intact";
}

int64_t Fixed(int64_t sector) { return sector; }

INSTANTIATE_TEST_SUITE_P(
    Areas, VerifyHeadAreas,
    ::testing::Values(
        HeadByte{"SystemArea", [](const TVeskBurner&) { return Fixed(3); }, [](const TVeskBurner&) { return Fixed(0); },
                 7, "ZONE SYSTÈME"},
        HeadByte{"VolumeIdentifier", [](const TVeskBurner&) { return Fixed(16); },
                 [](const TVeskBurner&) { return Fixed(16); }, 41, "DESCRIPTEURS DE VOLUME"},
        HeadByte{"JolietDescriptor", [](const TVeskBurner&) { return Fixed(17); },
                 [](const TVeskBurner&) { return Fixed(16); }, 2047, "DESCRIPTEURS DE VOLUME"},
        HeadByte{"TypeMPathTable", [](const TVeskBurner& b) { return int64_t{b.IsoPathTableM}; },
                 [](const TVeskBurner& b) { return int64_t{b.IsoPathTableL}; }, 2, "TABLES DES CHEMINS ISO 9660"},
        HeadByte{"JolietPathTable", [](const TVeskBurner& b) { return int64_t{b.JolietPathTableL}; },
                 [](const TVeskBurner& b) { return int64_t{b.JolietPathTableL}; }, 12, "TABLES DES CHEMINS JOLIET"},
        HeadByte{"IsoRootDirectory", [](const TVeskBurner& b) { return int64_t{b.IsoDirBase}; },
                 [](const TVeskBurner& b) { return int64_t{b.IsoDirBase}; }, 40, "DOSSIER ISO 9660 \"\\\""},
        HeadByte{"JolietFolder",
                 [](const TVeskBurner& b) { return int64_t{b.JolietDirBase} + FolderNamed(b, "Documents")->JolietSector; },
                 [](const TVeskBurner& b) { return int64_t{b.JolietDirBase} + FolderNamed(b, "Documents")->JolietSector; },
                 70, "DOSSIER JOLIET \"\\Documents\""},
        HeadByte{"Padding", [](const TVeskBurner& b) { return int64_t{b.FirstFileLba} - 1; },
                 [](const TVeskBurner& b) { return int64_t{b.JolietDirBase} + SectorsFor(b.JolietDirBytes); }, 100,
                 "REMPLISSAGE"}),
    [](const ::testing::TestParamInfo<HeadByte>& head) { return std::string(head.param.name); });

TEST_F(VerifyTest, BootImageAndThePaddingAfterItAreCompared) {
  // A boot image shorter than the head's padding: the padding follows it.
  const std::string boot = dir_ / "boot.img";
  WriteFile(boot, Bytes(20000, 9));
  Load("dvd+r", image_);
  burner_.BootImage = boot;
  burner_.Bootable = true;
  Record(dir_ / "src");
  ASSERT_TRUE(burner_.Bootable);
  ASSERT_GT(burner_.PadAfterBoot, 0);
  EXPECT_EQ(Verify(), "") << Log();
  EXPECT_EQ(burner_.VerifyCounts.Errors(), 0);

  Corrupt(burner_.BootImageLba + 5, 17);
  Corrupt(burner_.FirstFileLba - 1, 2047);
  EXPECT_NE(Verify(), "");
  EXPECT_THAT(Log(), HasSubstr(StrFormat("IMAGE DE DÉMARRAGE \"%s\", CONTENU DIFFÉRENT À L'OCTET %d (SECTEUR %d)",
                                         boot.c_str(), 5 * 2048 + 17, burner_.BootImageLba + 5)))
      << Log();
  EXPECT_THAT(Log(), HasSubstr(StrFormat("REMPLISSAGE, CONTENU DIFFÉRENT À L'OCTET %lld (SECTEUR %d)",
                                         static_cast<long long>(burner_.PadAfterBoot * 2048 - 1),
                                         burner_.FirstFileLba - 1)))
      << Log();
  EXPECT_EQ(burner_.VerifyCounts.AreasDifferent, 2);
}

TEST_F(VerifyTest, SourcesChangedOrGoneSinceTheRecordingAreNamed) {
  Load("dvd+r", image_);
  Record(dir_ / "src");
  // The same size, one byte other; another file gone; a third one longer.
  std::string bytes = ReadFile(dir_ / "src/Photos d'été/plage.jpg");
  bytes[250000] = static_cast<char>(bytes[250000] ^ 1);
  WriteFile(dir_ / "src/Photos d'été/plage.jpg", bytes);
  ASSERT_EQ(unlink((dir_ / "src/Lisez-moi.txt").c_str()), 0);
  WriteFile(dir_ / "src/Documents/Archives/ancien.doc", Bytes(2050, 3));
  EXPECT_NE(Verify(), "");
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr(StrFormat("FICHIER \"\\Photos d'été\\plage.jpg\", CONTENU DIFFÉRENT À L'OCTET 250000 "
                                       "(SECTEUR %lld)",
                                       static_cast<long long>(DataSector("plage.jpg") + 250000 / 2048))))
      << log;
  EXPECT_THAT(log, HasSubstr("FICHIER \"\\Lisez-moi.txt\", FICHIER SOURCE \"" + dir_ / "src/Lisez-moi.txt" +
                             "\" ILLISIBLE"))
      << log;
  EXPECT_THAT(log, HasSubstr("FICHIER \"\\Documents\\Archives\\ancien.doc\", 2049 OCTETS SUR LE DISQUE ET 2050 DANS "
                             "LE FICHIER SOURCE"))
      << log;
  const TVeskBurner::TVerifyCounts& c = burner_.VerifyCounts;
  EXPECT_EQ(c.Identical, 2);
  EXPECT_EQ(c.Different, 2);
  EXPECT_EQ(c.Unverified, 1);
  EXPECT_THAT(log, HasSubstr(">>> VÉRIFICATION: 2 FICHIERS IDENTIQUES, 2 DIFFÉRENTS, 0 ILLISIBLE, 1 NON VÉRIFIÉ\n"));
}

TEST_F(VerifyTest, OverwritableDiscsDescriptorsAtTheStartAreCompared) {
  Load("dvd+rw", image_);
  Record(dir_ / "src");
  MakeTree(dir_ / "src2", {{"Courrier/lettre.txt", "deuxième session\n"}, {"gros.bin", Bytes(500000, 4)}});
  Record(dir_ / "src2");
  ASSERT_GT(burner_.SessionStart, 0);
  EXPECT_EQ(Verify(), "") << Log();
  EXPECT_EQ(burner_.VerifyCounts.Identical, 2);
  EXPECT_EQ(burner_.VerifyCounts.ReadOnly, 4) << "the first session's files, read back (one is empty)";

  // Sector 16 holds this session's primary descriptor, not the first one's.
  Corrupt(16, 813);
  EXPECT_NE(Verify(), "");
  EXPECT_THAT(Log(), HasSubstr("DESCRIPTEURS DE VOLUME DU DÉBUT DU DISQUE, CONTENU DIFFÉRENT À L'OCTET 813 (SECTEUR 16)"))
      << Log();
  EXPECT_EQ(burner_.VerifyCounts.AreasDifferent, 1);
}

TEST_F(VerifyTest, LargeReadsSmallerWhenRefusedAndTheUnreadableSectorNamed) {
  LoadWatched("dvd+r");
  MakeTree(dir_ / "src", {{"gros.bin", Bytes(2 << 20, 7)}});
  Record(dir_ / "src");
  const int64_t bad = DataSector("rapport annuel.pdf") + 40;
  watched_->ClearReads();
  watched_->largest_read = 64;
  watched_->bad_lba = static_cast<uint32_t>(bad);
  EXPECT_NE(Verify(), "");
  EXPECT_THAT(Log(), HasSubstr(StrFormat("FICHIER \"\\Documents\\rapport annuel.pdf\", SECTEUR %lld ILLISIBLE",
                                         static_cast<long long>(bad))))
      << Log();
  EXPECT_EQ(burner_.VerifyCounts.Unreadable, 1);
  EXPECT_EQ(burner_.VerifyCounts.Identical, 5);

  // The reads: refused above 64 sectors three times (1 MiB, 512 KiB,
  // 256 KiB), then of 64, never so small that the data takes a read per few sectors.
  const auto reads = watched_->Reads();
  size_t refused = 0, largest_accepted = 0;
  for (const auto& [lba, count] : reads) {
    if (count > 64) ++refused;
    if (count <= 64) largest_accepted = std::max<size_t>(largest_accepted, count);
  }
  EXPECT_EQ(refused, 3u) << "each refusal halves the reads";
  EXPECT_EQ(largest_accepted, 64u);
  const int64_t sectors = burner_.VerifyBytesTotal() / 2048;
  EXPECT_LT(static_cast<int64_t>(reads.size()), sectors / 8 + 64) << reads.size() << " reads for " << sectors;
}

TEST_F(VerifyTest, AbortEndsItAtOnceWithTheUsersMessage) {
  LoadWatched("cd-r");
  MakeTree(dir_ / "src", {{"grand.bin", Bytes(8 << 20, 5)}});
  Record(dir_ / "src");
  watched_->read_delay_ms = 200;  // a few seconds for the whole session
  ASSERT_TRUE(burner_.VerifyRecording());
  Pump([this] { return burner_.VerifyBytesDone() > 0; }, std::chrono::seconds(10));
  const auto asked = Clock::now();
  burner_.AbortVerify();
  Pump([this] { return verify_done_ > 0; }, std::chrono::seconds(10));
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
  EXPECT_EQ(verify_done_, 1);
  EXPECT_EQ(verify_error_, msg::kAbortedByUser);
  EXPECT_THAT(Log(), Not(HasSubstr("ERREUR DE VÉRIFICATION")));
  EXPECT_LT(burner_.VerifyBytesDone(), burner_.VerifyBytesTotal());
}

TEST_F(VerifyTest, AComponentGoingAwayStopsItsVerification) {
  LoadWatched("cd-r");
  auto burner = std::make_unique<TVeskBurner>(nullptr);
  burner->LogCommandErrors = false;
  burner->HostAdapterInquiry(0);
  burner->ScanDevices();
  burner->SelectDevice(burner->Devices.at(0));
  Record(dir_ / "src");
  // The other component verifies what this one recorded: its own layout.
  ASSERT_TRUE(burner->ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
  ASSERT_GT(burner->AddFolder("\\", dir_ / "src", false, false, true, faAnyFile, "*"), 0);
  const auto sources = burner->VerifySources();
  ASSERT_EQ(sources.size(), 5u);
  watched_->read_delay_ms = 200;
  bool reported = false;
  burner->OnVerifyDone = [&](TObject*, const std::string&) { reported = true; };
  ASSERT_TRUE(burner->VerifySession(-1, sources));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(burner->Verifying());
  const auto start = Clock::now();
  burner.reset();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_FALSE(reported);
}

}  // namespace
}  // namespace zamo::test
