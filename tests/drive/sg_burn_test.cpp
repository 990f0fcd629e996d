// Whole burns through the SG_IO back end: its ioctl hands each request, as
// the kernel would receive it (CDB, direction, length, buffer, time-out), to
// an emulated recorder and answers with the status, host byte and sense data
// a kernel returns. A burn that reads back whole proves every command the
// writer sends is built right for SG_IO; faults at the ioctl (an errno, a
// kernel time-out, a reset, lost sense) must end the burn at once, with the
// French reason and without one more WRITE, and the job's exclusive handle
// must be let go however the burn ends.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/file_attributes.h"
#include "emulator/drive_config.h"
#include "emulator/emulated_unit.h"
#include "tests/drive/fake_sysfs.h"
#include "tests/support/run.h"

namespace zamo {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kDidTimeOut = 0x03, kDidReset = 0x08, kDidError = 0x07;
constexpr uint16_t kDriverSense = 0x08;

// Replaces the answer of one request: fills `hdr` (or errno) and returns the
// ioctl's result, or nullopt to let the recorder answer.
using TSgFault = std::function<std::optional<int>(sg_io_hdr_t* hdr)>;

class SgBurnTest : public test::SgFixture {
 protected:
  void SetUp() override {
    SgFixture::SetUp();
    test::MakeTree(root_ / "src", {{"Lisez-moi.txt", "Bonjour\n"},
                                   {"Photos/plage.jpg", test::Bytes(300000, 1)},
                                   {"Documents/rapport.pdf", test::Bytes(123457, 2)}});
    burner_.Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
    burner_.OnWriteDone = [this](TObject*, const std::string& error) {
      ++done_count_;
      error_ = error;
    };
    burner_.LogCommandErrors = false;
    burner_.Sleep = [](int) {};
  }
  void TearDown() override {
    SgFixture::TearDown();
  }

  // sr0 holding a `kind` disc of the emulated recorder behind the ioctl.
  void Load(const std::string& kind) {
    image_ = root_ / "disc.img";
    std::vector<emu::TDriveConfig> configs;
    std::string error;
    ASSERT_TRUE(emu::ParseDriveList(kind + ":" + image_, &configs, &error)) << error;
    unit_ = emu::TEmulatedUnit::Open(configs.at(0), &error);
    ASSERT_NE(unit_, nullptr) << error;
    reply = [this](sg_io_hdr_t* hdr) { return Bridge(hdr); };
    AddNode("sr0", "0:0:0:0");
    back_end_ = Install();
    burner_.HostAdapterInquiry(0);
    burner_.ScanDevices();
    ASSERT_EQ(burner_.Devices.size(), 1u);
    burner_.SelectDevice(burner_.Devices[0]);
    ASSERT_NE(burner_.HaId, 0xFE);
    ASSERT_TRUE(burner_.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
    burner_.IdVolume = "ESSAI";
    ASSERT_GT(burner_.AddFolder("\\", root_ / "src", false, false, true, faAnyFile, "*"), 0);
  }

  // What the kernel does with one SG_IO for a synchronous target: waits for
  // the answer within the request's time-out, then reports it.
  int Bridge(sg_io_hdr_t* hdr) {
    if (hdr->cmdp[0] == 0x2A) ++writes_;
    if (fault) {
      if (std::optional<int> rc = fault(hdr)) return *rc;
    }
    const emu::TDataDirection direction = hdr->dxfer_direction == SG_DXFER_FROM_DEV ? emu::TDataDirection::kIn
                                          : hdr->dxfer_direction == SG_DXFER_TO_DEV ? emu::TDataDirection::kOut
                                                                                     : emu::TDataDirection::kNone;
    const std::span<const uint8_t> cdb(hdr->cmdp, hdr->cmd_len);
    const std::span<uint8_t> data(static_cast<uint8_t*>(hdr->dxferp), hdr->dxferp != nullptr ? hdr->dxfer_len : 0);
    const auto deadline = Clock::now() + std::chrono::milliseconds(hdr->timeout);
    emu::TCommandResult result = unit_->Execute(cdb, direction, data);
    while (result.pending()) {
      if (result.never || *result.retry_at > deadline) {
        std::this_thread::sleep_until(std::min(deadline, Clock::now() + std::chrono::milliseconds(50)));
        hdr->host_status = kDidTimeOut;
        return 0;
      }
      std::this_thread::sleep_until(*result.retry_at);
      result = unit_->Execute(cdb, direction, data);
    }
    hdr->status = result.status;
    hdr->host_status = result.host_status == HASTAT_OK ? 0 : kDidError;
    hdr->resid = static_cast<int>(data.size() - std::min<size_t>(data.size(), result.transferred));
    if (result.status == STATUS_CHKCOND) {
      hdr->driver_status = kDriverSense;
      const size_t length = std::min<size_t>(result.sense.size(), hdr->mx_sb_len);
      std::memcpy(hdr->sbp, result.sense.data(), length);
      hdr->sb_len_wr = static_cast<unsigned char>(length);
    }
    return 0;
  }

  // Runs a burn and pumps the queue until OnWriteDone (bounded).
  void Burn() {
    started_ = Clock::now();
    burner_.RecordCompilation();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (done_count_ == 0 && Clock::now() < deadline) queue_.RunFor(std::chrono::milliseconds(20));
    ended_ = Clock::now();
    ASSERT_EQ(done_count_, 1) << "the job did not end";
  }

  void ExpectDiscHoldsTheSources() {
    const std::string out = root_ / "out";
    const auto run = test::Run({"xorriso", "-osirrox", "on", "-indev", image_, "-extract", "/", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(test::SameTree(test::ReadTree(out), test::ReadTree(root_ / "src")));
  }

  std::string image_;
  std::unique_ptr<emu::TEmulatedUnit> unit_;
  TLinuxSgBackEnd* back_end_ = nullptr;
  TSgFault fault;
  int writes_ = 0;  // WRITE (10) requests that reached the ioctl
  TVeskBurner burner_{nullptr};
  CallQueue queue_;
  int done_count_ = 0;
  std::string error_;
  Clock::time_point started_, ended_;
};

class SgBurnEveryKind : public SgBurnTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(SgBurnEveryKind, ReadsBackWholeOnOneExclusiveHandle) {
  Load(GetParam());
  opens.clear();
  seen.clear();
  // The job takes the device for itself: every command of the burn went
  // through the one exclusive handle, let go when the job ended.
  ASSERT_NO_FATAL_FAILURE(Burn());
  EXPECT_EQ(error_, "");
  EXPECT_GT(writes_, 0);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].flags & O_EXCL, O_EXCL);
  for (const test::SeenIo& io : seen) {
    if (io.cdb[0] != 0x12) {
      EXPECT_EQ(io.fd, opens[0].fd) << "opcode " << int(io.cdb[0]);
    }
  }
  EXPECT_FALSE(burner_.HoldsExclusive());
  EXPECT_EQ(back_end_->OpenHandles(), 0);
  ExpectDiscHoldsTheSources();
}

INSTANTIATE_TEST_SUITE_P(Kinds, SgBurnEveryKind, ::testing::Values("cd-r", "dvd-r", "dvd+r", "dvd+rw"));

// ---------------------------------------------------------------------------
// A fault at the third WRITE (10).

struct BurnFault {
  const char* name;
  std::function<int(sg_io_hdr_t*)> answer;
  const char* reason;  // in the job's error text; %s: the node
};

class SgBurnFaults : public SgBurnTest, public ::testing::WithParamInterface<BurnFault> {};

TEST_P(SgBurnFaults, EndTheBurnAtOnceWithTheReason) {
  Load("cd-r");
  const BurnFault& f = GetParam();
  fault = [this, &f](sg_io_hdr_t* hdr) -> std::optional<int> {
    if (hdr->cmdp[0] != 0x2A || writes_ < 3) return std::nullopt;
    return f.answer(hdr);
  };
  ASSERT_NO_FATAL_FAILURE(Burn());
  EXPECT_LT(ended_ - started_, std::chrono::seconds(10));
  std::string reason = f.reason;
  if (const size_t at = reason.find("%s"); at != std::string::npos) reason.replace(at, 2, Node("sr0"));
  EXPECT_NE(error_.find(reason), std::string::npos) << error_;
  EXPECT_EQ(writes_, 3) << "no WRITE after the failed one";
  EXPECT_EQ(back_end_->OpenHandles(), 0) << "the drive is let go (the kernel unlocks its door)";
}

int Errno(int error) { return errno = error, -1; }

INSTANTIATE_TEST_SUITE_P(
    AtTheIoctl, SgBurnFaults,
    ::testing::Values(
        BurnFault{"EIO", [](sg_io_hdr_t*) { return Errno(EIO); }, "ERREUR D'ENTRÉE/SORTIE DU GRAVEUR %s OU DE SON CÂBLE"},
        BurnFault{"ENODEV", [](sg_io_hdr_t*) { return Errno(ENODEV); }, "LE GRAVEUR %s A ÉTÉ DÉCONNECTÉ"},
        BurnFault{"EPERM", [](sg_io_hdr_t*) { return Errno(EPERM); }, "ACCÈS REFUSÉ AU GRAVEUR %s: AJOUTEZ"},
        BurnFault{"KernelTimeOut",
                  [](sg_io_hdr_t* hdr) {
                    hdr->host_status = kDidTimeOut;
                    return 0;
                  },
                  "LE GRAVEUR NE RÉPOND PAS"},
        BurnFault{"Reset",
                  [](sg_io_hdr_t* hdr) {
                    hdr->host_status = kDidReset;
                    return 0;
                  },
                  "BUS RESET (LE GRAVEUR A ÉTÉ RÉINITIALISÉ PENDANT LA COMMANDE)"},
        BurnFault{"SenseLost",
                  [](sg_io_hdr_t* hdr) {
                    hdr->status = STATUS_CHKCOND;
                    hdr->driver_status = kDriverSense;
                    return 0;
                  },
                  "REQUEST SENSE FAILED"}),
    [](const ::testing::TestParamInfo<BurnFault>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace zamo
