// Faults below SCSI on the emulated back end, as Linux SG_IO reports them: an
// errno and no sense data for a request the kernel could not carry, the
// kernel's time-out, a read-only handle, a transfer limit. The drive never
// sees such a request.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "burner/drive/linux_sg.h"
#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "burner/platform/byte_order.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo::emu {
namespace {

using std::chrono::steady_clock;

class TransportFaults : public ::testing::Test {
 protected:
  void Open(const std::string& list) {
    std::string error;
    back_end_ = CreateEmulatedBackEnd(list, &error);
    ASSERT_NE(back_end_, nullptr) << error;
  }
  std::string Image(const char* name) const { return dir_ / name; }

  // Runs a request as the command gate does and waits (boundedly) for its end.
  TSRB_ExecSCSICmd Run(uint8_t target, std::initializer_list<uint8_t> cdb, uint8_t flags, uint32_t length = 0) {
    TSRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = target;
    srb.SRB_Flags = flags;
    srb.SRB_SenseLen = kSenseLength;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
    data_.assign(length, 0x5A);
    srb.SRB_BufPointer = length > 0 ? data_.data() : nullptr;
    srb.SRB_BufLen = length;
    TCompletionEvent event;
    srb.SRB_PostProc = &event;
    if (back_end_->SendASPI32Command(&srb) == SS_PENDING) {
      EXPECT_TRUE(event.Wait(5000));
    }
    srb.SRB_PostProc = nullptr;
    return srb;
  }
  // The request failed below SCSI with `error`, exactly as the SG_IO back end reports it.
  static void ExpectErrno(const TSRB_ExecSCSICmd& srb, int error) {
    const TSgOutcome sg = MapSgResult(-1, error, sg_io_hdr_t{});
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, sg.ha_status);
    EXPECT_EQ(srb.SRB_TargStat, STATUS_GOOD);
    EXPECT_EQ(srb.TransportErrno, error);
    for (uint8_t byte : srb.SenseArea) EXPECT_EQ(byte, 0) << "no sense data below SCSI";
  }
  uint32_t NextWritable(uint8_t target) {
    const TSRB_ExecSCSICmd info = Run(target, {0x52, 1, 0, 0, 0, 1, 0, 0, 48, 0}, kFlagsIn, 48);
    EXPECT_EQ(info.SRB_Status, SS_COMP);
    return GetBe32(data_, 12);
  }

  zamo::test::TempDir dir_;
  std::unique_ptr<TAspiBackEnd> back_end_;
  std::vector<uint8_t> data_;
};

TEST_F(TransportFaults, AnErrnoAtABlockOrForACommandFailsTheRequestBeforeTheDrive) {
  Open("cd-r:" + Image("a.img") + ",ioerror=40:EIO,ioerrorop=5C:EBUSY");
  // Blocks 0 to 31 pass; the write covering block 40 never reaches the disc.
  EXPECT_EQ(Run(0, {0x2A, 0, 0, 0, 0, 0, 0, 0, 32, 0}, kFlagsOut, 32 * 2048).SRB_Status, SS_COMP);
  ExpectErrno(Run(0, {0x2A, 0, 0, 0, 0, 32, 0, 0, 16, 0}, kFlagsOut, 16 * 2048), EIO);
  EXPECT_EQ(NextWritable(0), 32u);
  ExpectErrno(Run(0, {0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, kFlagsIn, 12), EBUSY);
  EXPECT_EQ(Run(0, {0x00, 0, 0, 0, 0, 0}, kFlagsNone).SRB_Status, SS_COMP);  // others pass
  // A READ covering the block meets the same fault.
  ExpectErrno(Run(0, {0x28, 0, 0, 0, 0, 39, 0, 0, 2, 0}, kFlagsIn, 2 * 2048), EIO);
  EXPECT_EQ(Run(0, {0x28, 0, 0, 0, 0, 30, 0, 0, 2, 0}, kFlagsIn, 2 * 2048).SRB_Status, SS_COMP);
}

TEST_F(TransportFaults, AnUnpluggedDriveAnswersNothingAnyMore) {
  Open("dvd+r:" + Image("a.img") + ",ioerror=64:ENODEV,trace=" + Image("trace.txt"));
  EXPECT_EQ(Run(0, {0x2A, 0, 0, 0, 0, 0, 0, 0, 32, 0}, kFlagsOut, 32 * 2048).SRB_Status, SS_COMP);
  ExpectErrno(Run(0, {0x2A, 0, 0, 0, 0, 32, 0, 0, 64, 0}, kFlagsOut, 64 * 2048), ENODEV);
  ExpectErrno(Run(0, {0x00, 0, 0, 0, 0, 0}, kFlagsNone), ENODEV);
  ExpectErrno(Run(0, {0x12, 0, 0, 0, 96, 0}, kFlagsIn, 96), ENODEV);
  // The trace shows where the drive went away.
  const std::string trace = zamo::test::ReadFile(Image("trace.txt"));
  EXPECT_NE(trace.find(" 2A 00 00 00 00 20 00 00 40 00 -> ENODEV BELOW SCSI\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" 12 00 00 00 60 00 -> ENODEV BELOW SCSI\n"), std::string::npos) << trace;
}

TEST_F(TransportFaults, AKernelTimeOutEndsTheRequestAfterAMomentWithTheTimeOutStatus) {
  Open("cd-r:" + Image("a.img") + ",kerneltimeout=35");
  const auto start = steady_clock::now();
  const TSRB_ExecSCSICmd srb = Run(0, {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kFlagsNone);
  const auto waited = steady_clock::now() - start;
  sg_io_hdr_t timed_out{};
  timed_out.host_status = 0x03;  // DID_TIME_OUT
  EXPECT_EQ(srb.SRB_Status, MapSgResult(0, 0, timed_out).status);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(srb.TransportErrno, 0);  // the ioctl itself succeeded
  EXPECT_GE(waited, kKernelTimeoutDelay);
  EXPECT_LT(waited, kKernelTimeoutDelay + std::chrono::seconds(2));
  EXPECT_EQ(Run(0, {0x00, 0, 0, 0, 0, 0}, kFlagsNone).SRB_Status, SS_COMP);
}

TEST_F(TransportFaults, AReadOnlyHandleCarriesOnlyTheCommandsSafeForReading) {
  Open("dvd+rw:" + Image("a.img") + ",access=readonly;cd-r:" + Image("b.img"));
  const TDeviceAccess access = back_end_->Access(0, 0, 0);
  EXPECT_TRUE(access.read_only);
  EXPECT_NE(access.problem.find("LECTURE SEULE"), std::string::npos) << access.problem;
  EXPECT_FALSE(back_end_->Access(0, 1, 0).read_only);
  EXPECT_TRUE(back_end_->Access(0, 1, 0).problem.empty());

  EXPECT_EQ(Run(0, {0x12, 0, 0, 0, 96, 0}, kFlagsIn, 96).SRB_Status, SS_COMP);
  EXPECT_EQ(Run(0, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, kFlagsIn, 34).SRB_Status, SS_COMP);
  EXPECT_EQ(Run(0, {0x1B, 0, 0, 0, 2, 0}, kFlagsNone).SRB_Status, SS_COMP);  // eject is allowed
  EXPECT_EQ(Run(0, {0x1B, 0, 0, 0, 3, 0}, kFlagsNone).SRB_Status, SS_COMP);
  for (const uint8_t opcode : {0x2A, 0x04, 0x35, 0x5B, 0xA1, 0xBB, 0xB6, 0x1E}) {
    SCOPED_TRACE(opcode);
    TSRB_ExecSCSICmd srb = Run(0, {opcode, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kFlagsNone);
    ExpectErrno(srb, EPERM);
  }
  ExpectErrno(Run(0, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, kFlagsOut, 60), EPERM);
  EXPECT_EQ(Run(1, {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, kFlagsOut, 60).TransportErrno, 0);  // the other drive
}

TEST_F(TransportFaults, ACommandCarryingMoreThanTheLimitIsRefusedByTheKernel) {
  Open("dvd+r:" + Image("a.img") + ",maxtransfer=64K");
  EXPECT_EQ(back_end_->Access(0, 0, 0).max_transfer_bytes, 64u * 1024);
  EXPECT_EQ(Run(0, {0x2A, 0, 0, 0, 0, 0, 0, 0, 32, 0}, kFlagsOut, 32 * 2048).SRB_Status, SS_COMP);
  ExpectErrno(Run(0, {0x2A, 0, 0, 0, 0, 32, 0, 0, 48, 0}, kFlagsOut, 48 * 2048), EIO);
  EXPECT_EQ(NextWritable(0), 32u);  // the drive never saw it
  ExpectErrno(Run(0, {0x28, 0, 0, 0, 0, 0, 0, 0, 33, 0}, kFlagsIn, 33 * 2048), EIO);
  TSRB_HAInquiry inquiry{};
  inquiry.SRB_Cmd = SC_HA_INQUIRY;
  ASSERT_EQ(back_end_->SendASPI32Command(&inquiry), SS_COMP);
  EXPECT_EQ(GetLe32(std::span<const uint8_t>(inquiry.HA_Unique, 16), 4), 64u * 1024);
}

// The component keeps what the back end says of the selected device.
TEST_F(TransportFaults, TheComponentKnowsTheHandleAndTheLimitOfTheDeviceItSelects) {
  Open("cd-r:" + Image("a.img") + ";dvd-r:" + Image("b.img") + ",access=readonly,maxtransfer=120K");
  transport::Install(std::move(back_end_));
  TSCSIDevice device(nullptr);
  device.HostAdapterInquiry(0);
  device.ScanDevices();
  ASSERT_EQ(device.Devices.size(), 2u);
  device.SelectDevice(device.Devices[1]);
  EXPECT_TRUE(device.ReadOnlyAccess);
  EXPECT_EQ(device.MaxTransferBytes, 120u * 1024);
  EXPECT_FALSE(device.DeviceAccessText.empty());
  EXPECT_EQ(device.TransferSectors(64), 60u);
  device.SelectDevice(device.Devices[0]);
  EXPECT_FALSE(device.ReadOnlyAccess);
  EXPECT_EQ(device.MaxTransferBytes, 0u);
  transport::AspiUnload();
}

}  // namespace
}  // namespace zamo::emu
