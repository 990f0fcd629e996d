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
#include "tests/emulator/emu_test_util.h"
#include "tests/support/aspi_requests.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/temp_dir.h"

namespace zamo::emu {
namespace {

using namespace zamo::emu::test;  // the command blocks
namespace support = zamo::test;

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
  TSRB_ExecSCSICmd Run(uint8_t target, const Cdb& cdb, uint8_t flags, uint32_t length = 0) {
    data_.assign(length, 0x5A);
    uint8_t* const buffer = length > 0 ? data_.data() : nullptr;
    TSRB_ExecSCSICmd srb = support::ExecRequest({.target = target}, cdb, flags, buffer, length);
    EXPECT_NE(support::SendAndWait(*back_end_, srb), SS_PENDING);
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
    const TSRB_ExecSCSICmd info = Run(target, ReadTrackInfo(1, 1), kFlagsIn, 48);
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
  EXPECT_EQ(Run(0, Write10(0, 32), kFlagsOut, 32 * 2048).SRB_Status, SS_COMP);
  ExpectErrno(Run(0, Write10(32, 16), kFlagsOut, 16 * 2048), EIO);
  EXPECT_EQ(NextWritable(0), 32u);
  ExpectErrno(Run(0, Cdb(0x5C, 10).Be16(7, 12), kFlagsIn, 12), EBUSY);
  EXPECT_EQ(Run(0, TestUnitReady(), kFlagsNone).SRB_Status, SS_COMP);  // others pass
  // A READ covering the block meets the same fault.
  ExpectErrno(Run(0, Read10(39, 2), kFlagsIn, 2 * 2048), EIO);
  EXPECT_EQ(Run(0, Read10(30, 2), kFlagsIn, 2 * 2048).SRB_Status, SS_COMP);
}

TEST_F(TransportFaults, AnUnpluggedDriveAnswersNothingAnyMore) {
  Open("dvd+r:" + Image("a.img") + ",ioerror=64:ENODEV,trace=" + Image("trace.txt"));
  EXPECT_EQ(Run(0, Write10(0, 32), kFlagsOut, 32 * 2048).SRB_Status, SS_COMP);
  ExpectErrno(Run(0, Write10(32, 64), kFlagsOut, 64 * 2048), ENODEV);
  ExpectErrno(Run(0, TestUnitReady(), kFlagsNone), ENODEV);
  ExpectErrno(Run(0, Inquiry(96), kFlagsIn, 96), ENODEV);
  // The trace shows where the drive went away.
  const std::string trace = zamo::test::ReadFile(Image("trace.txt"));
  EXPECT_NE(trace.find(" 2A 00 00 00 00 20 00 00 40 00 -> ENODEV BELOW SCSI\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find(" 12 00 00 00 60 00 -> ENODEV BELOW SCSI\n"), std::string::npos) << trace;
}

TEST_F(TransportFaults, AKernelTimeOutEndsTheRequestAfterAMomentWithTheTimeOutStatus) {
  Open("cd-r:" + Image("a.img") + ",kerneltimeout=35");
  const auto start = steady_clock::now();
  const TSRB_ExecSCSICmd srb = Run(0, SynchronizeCache(), kFlagsNone);
  const auto waited = steady_clock::now() - start;
  sg_io_hdr_t timed_out{};
  timed_out.host_status = 0x03;  // DID_TIME_OUT
  EXPECT_EQ(srb.SRB_Status, MapSgResult(0, 0, timed_out).status);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(srb.TransportErrno, 0);  // the ioctl itself succeeded
  EXPECT_GE(waited, kKernelTimeoutDelay);
  EXPECT_LT(waited, kKernelTimeoutDelay + std::chrono::seconds(2));
  EXPECT_EQ(Run(0, TestUnitReady(), kFlagsNone).SRB_Status, SS_COMP);
}

TEST_F(TransportFaults, AReadOnlyHandleCarriesOnlyTheCommandsSafeForReading) {
  Open("dvd+rw:" + Image("a.img") + ",access=readonly;cd-r:" + Image("b.img"));
  const TDeviceAccess access = back_end_->Access(0, 0, 0);
  EXPECT_TRUE(access.read_only);
  EXPECT_NE(access.problem.find("LECTURE SEULE"), std::string::npos) << access.problem;
  EXPECT_FALSE(back_end_->Access(0, 1, 0).read_only);
  EXPECT_TRUE(back_end_->Access(0, 1, 0).problem.empty());

  EXPECT_EQ(Run(0, Inquiry(96), kFlagsIn, 96).SRB_Status, SS_COMP);
  EXPECT_EQ(Run(0, ReadDiscInfo(), kFlagsIn, 34).SRB_Status, SS_COMP);
  EXPECT_EQ(Run(0, StartStop(2), kFlagsNone).SRB_Status, SS_COMP);  // eject is allowed
  EXPECT_EQ(Run(0, StartStop(3), kFlagsNone).SRB_Status, SS_COMP);
  for (const uint8_t opcode : {0x2A, 0x04, 0x35, 0x5B, 0xA1, 0xBB, 0xB6, 0x1E}) {
    SCOPED_TRACE(opcode);
    TSRB_ExecSCSICmd srb = Run(0, Cdb(opcode, 12), kFlagsNone);
    ExpectErrno(srb, EPERM);
  }
  ExpectErrno(Run(0, ModeSelect(60), kFlagsOut, 60), EPERM);
  EXPECT_EQ(Run(1, ModeSelect(60), kFlagsOut, 60).TransportErrno, 0);  // the other drive
}

TEST_F(TransportFaults, ACommandCarryingMoreThanTheLimitIsRefusedByTheKernel) {
  Open("dvd+r:" + Image("a.img") + ",maxtransfer=64K");
  EXPECT_EQ(back_end_->Access(0, 0, 0).max_transfer_bytes, 64u * 1024);
  EXPECT_EQ(Run(0, Write10(0, 32), kFlagsOut, 32 * 2048).SRB_Status, SS_COMP);
  ExpectErrno(Run(0, Write10(32, 48), kFlagsOut, 48 * 2048), EIO);
  EXPECT_EQ(NextWritable(0), 32u);  // the drive never saw it
  ExpectErrno(Run(0, Read10(0, 33), kFlagsIn, 33 * 2048), EIO);
  const support::AdapterInquiry adapter = support::InquireAdapter(*back_end_, 0);
  ASSERT_EQ(adapter.status, SS_COMP);
  EXPECT_EQ(GetLe32(std::span<const uint8_t>(adapter.record.HA_Unique, 16), 4), 64u * 1024);
}

// The component keeps what the back end says of the selected device.
TEST_F(TransportFaults, TheComponentKnowsTheHandleAndTheLimitOfTheDeviceItSelects) {
  Open("cd-r:" + Image("a.img") + ";dvd-r:" + Image("b.img") + ",access=readonly,maxtransfer=120K");
  TSCSIDevice device(nullptr);
  ASSERT_TRUE(support::SelectFirstDrive(device, std::move(back_end_), 2));
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
