// robust_record_test.cpp: recording through a drive that misbehaves as real
// ones do, on the emulated recorder behind an interposed back end. A failure
// below SCSI ends the job at once (never taken for a busy drive); the answers
// MMC calls transient are waited out; speeds reach the drive as chosen; every
// command stays within the device's transfer limit; a read-only device takes
// no writing job; closes go with the immediate bit; a DVD-RW's quick grow
// asks for the blocks the session needs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <errno.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "burner/compilation/veskburner.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/file_attributes.h"
#include "emulator/emulated_backend.h"
#include "tests/drive/interposed_drive.h"
#include "tests/support/burner_job.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using test::InterposedDrive;
using ::testing::HasSubstr;

class RobustRecord : public test::BurnerJobTest {
 protected:
  void SetUp() override {
    test::MakeTree(dir_ / "src", {{"Lisez-moi.txt", "Bonjour\n"},
                                  {"Photos/plage.jpg", test::Bytes(300000, 1)},
                                  {"Documents/rapport.pdf", test::Bytes(123457, 2)}});
  }

  // A drive of `kind` behind the interposer; `access` is what the back end
  // says of the device.
  void Load(const std::string& kind, const TDeviceAccess& access = {}) {
    image_ = dir_ / "disc.img";
    std::string error;
    auto emulated = emu::CreateEmulatedBackEnd(kind + ":" + image_, &error);
    ASSERT_NE(emulated, nullptr) << error;
    auto drive = std::make_unique<InterposedDrive>(std::move(emulated));
    drive->access = access;
    drive_ = drive.get();
    LoadBackEnd(std::move(drive));
  }

  void Compile() {
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    burner_.SessionToImport = 0xFFFF;
    ASSERT_GT(burner_.AddFolder("\\", dir_ / "src", false, false, true, faAnyFile, "*"), 0);
    burner_.CalculateLayout(false, nullptr);
  }

  // Records the compilation; the job's error ("" on success).
  std::string Record() {
    EXPECT_TRUE(RunJob([this] { burner_.RecordCompilation(); }));
    return error_;
  }

  InterposedDrive* drive_ = nullptr;  // owned by the transport
};

// ---- Failures below SCSI end the job at once --------------------------------

struct TransportFault {
  const char* name;
  uint8_t host_status;
  int transport_errno;
};

class TransportFaults : public RobustRecord, public ::testing::WithParamInterface<TransportFault> {};

TEST_P(TransportFaults, AFailedWriteEndsTheJobWithoutARetry) {
  Load("dvd+r");
  Compile();
  std::atomic<int> writes{0};
  drive_->answer = [&](TSRB_ExecSCSICmd& r) -> std::optional<uint32_t> {
    // The third WRITE fails below SCSI: no sense data, a host error or errno.
    if (r.CDBByte[0] != 0x2A || ++writes != 3) return std::nullopt;
    return InterposedDrive::Finish(r, SS_ERR, GetParam().host_status, STATUS_GOOD, {}, GetParam().transport_errno);
  };
  const auto started = std::chrono::steady_clock::now();
  const std::string error = Record();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_THAT(error, HasSubstr("ERREUR D'ÉCRITURE [")) << log_;
  EXPECT_EQ(drive_->Requests(0x2A).size(), 3u) << "the failed write was sent again";
  EXPECT_TRUE(drive_->Requests(0x5B).empty()) << "a failed job is never closed";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TransportFaults,
    ::testing::Values(TransportFault{"EIO", HASTAT_OK, EIO}, TransportFault{"ENODEV", HASTAT_OK, ENODEV},
                      TransportFault{"EPERM", HASTAT_OK, EPERM}, TransportFault{"KernelTimeOut", HASTAT_TIMEOUT, 0},
                      TransportFault{"BusReset", HASTAT_BUS_RESET, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RobustRecord, TransientAnswersAreWaitedOut) {
  Load("cd-r");
  Compile();
  // Before the fourth WRITE is taken: a unit attention after a reset, a long
  // write in progress three times, a busy status twice.
  std::atomic<int> writes{0};
  drive_->answer = [&](TSRB_ExecSCSICmd& r) -> std::optional<uint32_t> {
    if (r.CDBByte[0] != 0x2A) return std::nullopt;
    const int n = ++writes;
    if (n == 4) return InterposedDrive::Sense(r, 0x06, 0x29, 0x00);
    if (n >= 5 && n <= 7) return InterposedDrive::Sense(r, 0x02, 0x04, 0x08);
    if (n == 8 || n == 9) return InterposedDrive::Finish(r, SS_ERR, HASTAT_OK, STATUS_BUSY);
    return std::nullopt;
  };
  EXPECT_EQ(Record(), "") << log_;
  EXPECT_TRUE(DiscHolds(dir_ / "src"));
}

// ---- Speeds ------------------------------------------------------------------

// The write size (KB/s) of each SET STREAMING performance descriptor sent.
std::vector<uint32_t> StreamingWriteSizes(InterposedDrive& drive) {
  std::vector<uint32_t> sizes;
  for (const auto& r : drive.Requests(0xB6)) {
    if (r.data_out.size() >= 28) sizes.push_back(GetBe32(std::span<const uint8_t>(r.data_out), 20));
  }
  return sizes;
}

TEST_F(RobustRecord, TheFastestSpeedIsTheDrivesMaximumNeverZero) {
  Load("dvd+r");
  Compile();
  burner_.SetWriteSpeed(0);  // "max"
  ASSERT_EQ(Record(), "") << log_;
  const std::vector<uint32_t> sizes = StreamingWriteSizes(*drive_);
  ASSERT_FALSE(sizes.empty());
  const uint32_t drive_max = static_cast<uint32_t>(burner_.GetMaxWriteSpeed() / 1385.0 * 1440.25);
  ASSERT_GT(drive_max, 0u);
  for (const uint32_t size : sizes) EXPECT_EQ(size, drive_max);
}

TEST_F(RobustRecord, ADvdRRecordsAtTheChosenSpeed) {
  Load("dvd-r");
  Compile();
  burner_.SetWriteSpeed(5540);  // 4x
  ASSERT_EQ(Record(), "") << log_;
  const std::vector<uint32_t> sizes = StreamingWriteSizes(*drive_);
  // The performance of the session, then the whole disc's streaming: both at 4x.
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[0], static_cast<uint32_t>(5540 / 1385.0 * 1440.25));
  EXPECT_EQ(sizes[1], sizes[0]);
}

// ---- Transfer limit ----------------------------------------------------------

class TransferLimit : public RobustRecord, public ::testing::WithParamInterface<const char*> {};

TEST_P(TransferLimit, EveryCommandStaysWithinTheDevicesLimit) {
  constexpr uint32_t kLimit = 32768;  // a USB bridge's 32 KiB
  TDeviceAccess access;
  access.max_transfer_bytes = kLimit;
  Load(GetParam(), access);
  // The kernel refuses a larger transfer outright.
  drive_->answer = [](TSRB_ExecSCSICmd& r) -> std::optional<uint32_t> {
    if (r.SRB_BufLen <= kLimit) return std::nullopt;
    return InterposedDrive::Finish(r, SS_ERR, HASTAT_OK, STATUS_GOOD, {}, EINVAL);
  };
  Compile();
  ASSERT_EQ(Record(), "") << log_;
  EXPECT_TRUE(DiscHolds(dir_ / "src"));
  // A large read, as a verification makes, comes back whole in pieces.
  std::vector<uint8_t> sectors(64 * 2048);
  ASSERT_TRUE(burner_.Read10(0, 64, sectors.data(), static_cast<uint32_t>(sectors.size())));
  EXPECT_EQ(std::memcmp(sectors.data() + 16 * 2048 + 1, "CD001", 5), 0);
  for (uint8_t opcode : {0x2A, 0x28}) {
    for (const auto& r : drive_->Requests(opcode)) EXPECT_LE(r.length, kLimit);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TransferLimit, ::testing::Values("cd-r", "dvd+r", "dvd+rw"), test::KindParamName());

// ---- A read-only device ------------------------------------------------------

TEST_F(RobustRecord, AReadOnlyDeviceTakesNoWritingJob) {
  TDeviceAccess access;
  access.read_only = true;
  access.problem = "OUVERTURE EN ÉCRITURE REFUSÉE POUR /dev/sr0";
  Load("cd-rw", access);
  Compile();
  EXPECT_THAT(Record(), HasSubstr("OUVERTURE EN ÉCRITURE REFUSÉE POUR /dev/sr0"));
  EXPECT_FALSE(burner_.EraseDisc(true));
  EXPECT_THAT(burner_.EraseErrorText, HasSubstr("ACCESSIBLE QU'EN LECTURE"));
  EXPECT_TRUE(drive_->Requests(0x2A).empty());
  EXPECT_TRUE(drive_->Requests(0xA1).empty()) << "no BLANK sent";
}

// ---- Closing -----------------------------------------------------------------

class ImmediateClose : public RobustRecord, public ::testing::WithParamInterface<const char*> {};

TEST_P(ImmediateClose, ClosesGoWithTheImmediateBitAndAreWaitedFor) {
  Load(GetParam());
  Compile();
  // The drive stays busy for a while after each close: the job waits.
  std::atomic<int> busy_after_close{0};
  drive_->answer = [&](TSRB_ExecSCSICmd& r) -> std::optional<uint32_t> {
    if (r.CDBByte[0] == 0x5B) {
      busy_after_close = 3;
      return std::nullopt;
    }
    if (r.CDBByte[0] == 0x00 && busy_after_close > 0) {
      --busy_after_close;
      return InterposedDrive::Sense(r, 0x02, 0x04, 0x08);
    }
    return std::nullopt;
  };
  ASSERT_EQ(Record(), "") << log_;
  const auto closes = drive_->Requests(0x5B);
  ASSERT_FALSE(closes.empty());
  for (const auto& close : closes) EXPECT_EQ(close.cdb[1] & 0x01, 1) << "without the immediate bit";
  EXPECT_EQ(busy_after_close, 0) << "the job ended while the drive was still closing";
  EXPECT_TRUE(DiscHolds(dir_ / "src"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, ImmediateClose, ::testing::Values("dvd-r", "dvd+r", "dvd+rw", "dvd+r-dl"),
                         test::KindParamName());

// ---- DVD-RW: the quick grow of a second session ------------------------------

TEST_F(RobustRecord, AQuickGrowAsksForTheBlocksTheSessionNeeds) {
  Load("dvd-rw");
  Compile();
  ASSERT_EQ(Record(), "") << log_;  // formatted to restricted overwrite
  Compile();
  const int64_t sectors = burner_.ImageSectors();
  ASSERT_EQ(Record(), "") << log_;
  const auto formats = drive_->Requests(0x04);
  ASSERT_EQ(formats.size(), 2u);
  const std::vector<uint8_t>& grow = formats[1].data_out;
  ASSERT_GE(grow.size(), 12u);
  EXPECT_EQ(grow[8] >> 2, 0x13) << "a quick grow";
  EXPECT_EQ(GetBe32(std::span<const uint8_t>(grow), 4), static_cast<uint32_t>((sectors + 15) / 16 * 16));
}

}  // namespace
}  // namespace zamo
