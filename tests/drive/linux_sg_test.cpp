// The SG_IO back end against a fake sysfs tree and a fake ioctl: drive
// discovery, request building, status mapping, the INQUIRY table and handles.
#include "burner/drive/linux_sg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "burner/drive/transport.h"
#include "tests/drive/fake_backend.h"
#include "tests/drive/fake_sysfs.h"
#include "tests/support/aspi_requests.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

namespace fs = std::filesystem;

class LinuxSgTest : public test::SgFixture {
 protected:
  // Runs one execute request through the back end: `opcode` in a 10-byte
  // block whose transfer length (bytes 7-8) is 1.
  TSRB_ExecSCSICmd Execute(TLinuxSgBackEnd& back_end, uint8_t ha, uint8_t opcode, uint8_t flags, uint8_t* buffer,
                           uint32_t length, uint32_t timeout_ms = 10000) {
    TSRB_ExecSCSICmd r = test::ExecRequest({.ha = ha}, Cdb(opcode, 10).Be16(7, 1), flags, buffer, length);
    r.TimeoutMs = timeout_ms;
    back_end.SendASPI32Command(&r);
    return r;
  }

  // A back end with one drive, sr0 at `address`, scanned; the scan's
  // requests are forgotten.
  std::unique_ptr<TLinuxSgBackEnd> OneDrive(const std::string& address = "0:0:0:0") {
    AddNode("sr0", address);
    auto back_end = Make();
    EXPECT_EQ(back_end->Scan(), 1);
    seen.clear();
    return back_end;
  }
};

TEST_F(LinuxSgTest, DrivesWithoutAddressShareAnExtraAdapter) {
  AddNode("sr0", "1:0:0:0");
  AddNode("sr10", "");
  AddNode("sr1", "0:0:3:0");
  AddNode("sr2", "not-an-address");
  fs::create_directories(root_ / "sys/class/block/sda");
  auto back_end = Make();
  ASSERT_EQ(back_end->Scan(), 4);
  const auto drives = back_end->Drives();
  ASSERT_EQ(drives.size(), 4u);
  // Node order sr0, sr1, sr2, sr10; the two without an address on adapter 2.
  EXPECT_EQ(std::tie(drives[0].ha, drives[0].target, drives[0].lun), std::make_tuple(1, 0, 0));
  EXPECT_EQ(std::tie(drives[1].ha, drives[1].target, drives[1].lun), std::make_tuple(0, 3, 0));
  EXPECT_EQ(std::tie(drives[2].ha, drives[2].target, drives[2].lun), std::make_tuple(2, 0, 0));
  EXPECT_EQ(std::tie(drives[3].ha, drives[3].target, drives[3].lun), std::make_tuple(2, 1, 0));
  EXPECT_EQ(back_end->AdapterCount(), 3);
  EXPECT_EQ(back_end->GetASPI32SupportInfo(), 0x0103u);
  EXPECT_EQ(back_end->DevicePath(2, 1, 0), root_ / "dev/sr10");
  EXPECT_EQ(back_end->DevicePath(2, 2, 0), "");
  // Probes: 96-byte INQUIRY, data in, 120 s, on a read/write handle closed after.
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 96, 0}));
  EXPECT_EQ(seen[0].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen[0].length, 96u);
  EXPECT_EQ(seen[0].timeout, 120000u);
  EXPECT_EQ(seen[0].access_mode, O_RDWR);
  EXPECT_EQ(back_end->OpenHandles(), 0);
}

TEST_F(LinuxSgTest, NodesThatDoNotAnswerAreLeftOut) {
  AddNode("sr0", "0:0:0:0");
  AddNode("sr1", "0:0:1:0");
  auto back_end = std::make_unique<TLinuxSgBackEnd>(root_ / "sys", root_ / "dev", [](int, sg_io_hdr_t* hdr) {
    static int calls = 0;
    if (++calls == 1) return errno = EIO, -1;
    hdr->status = 0;
    return 0;
  });
  EXPECT_EQ(back_end->Scan(), 1);
  EXPECT_EQ(back_end->Drives()[0].target, 1);

  TLinuxSgBackEnd empty(root_ / "nothing", root_ / "dev");
  EXPECT_EQ(empty.Scan(), 0);
  EXPECT_EQ(empty.GetASPI32SupportInfo(), 0xE800u);
}

TEST_F(LinuxSgTest, InquiryIsAnsweredFromTheTableWith36Bytes) {
  auto back_end = OneDrive();
  uint8_t buffer[96];
  std::memset(buffer, 0xEE, sizeof buffer);
  TSRB_ExecSCSICmd r = Execute(*back_end, 0, 0x12, kFlagsIn, buffer, sizeof buffer);
  EXPECT_EQ(r.SRB_Status, SS_COMP);
  EXPECT_TRUE(seen.empty()) << "the drive is not asked again";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer + 8), 8), "VENDOR  ");
  EXPECT_EQ(buffer[35], '0');
  EXPECT_EQ(buffer[36], 0xEE);
  std::vector<uint8_t> small(21, 0xEE);
  EXPECT_EQ(Execute(*back_end, 0, 0x12, kFlagsIn, small.data(), 20).SRB_Status, SS_COMP);
  EXPECT_EQ(small[19], 'V');  // "DRIVE 1"[3]
  EXPECT_EQ(small[20], 0xEE) << "never more than the caller's length";
  EXPECT_EQ(Execute(*back_end, 1, 0x12, kFlagsIn, small.data(), 20).SRB_Status, SS_NO_DEVICE);
}

TEST_F(LinuxSgTest, RequestsCarryDirectionLengthSenseAndTimeout) {
  auto back_end = OneDrive();
  uint8_t buffer[2048] = {};
  Execute(*back_end, 0, 0x28, kFlagsIn, buffer, sizeof buffer);
  Execute(*back_end, 0, 0x2A, kFlagsOut, buffer, sizeof buffer, 4800000);
  Execute(*back_end, 0, 0x00, kFlagsNone, nullptr, 0);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].cdb, (std::vector<uint8_t>{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
  EXPECT_EQ(seen[0].direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(seen[0].length, 2048u);
  EXPECT_EQ(seen[0].buffer, buffer);
  EXPECT_EQ(seen[0].sense_max, 24u);
  EXPECT_EQ(seen[0].timeout, 120000u) << "at least 120 s";
  EXPECT_EQ(seen[1].direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(seen[1].timeout, 4800000u) << "a longer request timeout is kept";
  EXPECT_EQ(seen[2].direction, SG_DXFER_NONE);
  EXPECT_EQ(seen[2].length, 0u);
}

TEST_F(LinuxSgTest, CheckConditionBringsItsSense) {
  auto back_end = OneDrive();
  reply = [](sg_io_hdr_t* hdr) {
    const std::vector<uint8_t> sense = test::FixedSense(2, 0x3A, 0);
    std::memcpy(hdr->sbp, sense.data(), sense.size());
    hdr->sb_len_wr = static_cast<unsigned char>(sense.size());
    hdr->status = STATUS_CHKCOND;
    hdr->driver_status = 0x08;
    return 0;
  };
  TSRB_ExecSCSICmd r = Execute(*back_end, 0, 0x00, kFlagsNone, nullptr, 0);
  EXPECT_EQ(r.SRB_Status, SS_ERR);
  EXPECT_EQ(r.SRB_HaStat, 0);
  EXPECT_EQ(r.SRB_TargStat, STATUS_CHKCOND);
  EXPECT_EQ(r.SenseArea[0], 0x70);
  EXPECT_EQ(r.SenseArea[12], 0x3A);
  EXPECT_EQ(r.SenseArea[18], 0) << "only the bytes the drive wrote";
}

TEST(SgStatusMapTest, HostDriverAndScsiStatus) {
  struct Case {
    int rc, error;
    uint16_t host, driver;
    uint8_t scsi, sense_length;
    TSgOutcome expected;
  } cases[] = {
      {0, 0, 0x00, 0x00, 0x00, 0, {SS_COMP, 0, 0, 0}},
      {0, 0, 0x00, 0x08, 0x02, 18, {SS_ERR, 0, 0x02, 0}},
      {0, 0, 0x00, 0x08, 0x02, 0, {SS_ERR, 0x10, 0x02, 0}},  // CHECK CONDITION, its sense lost
      {0, 0, 0x00, 0x00, 0x08, 0, {SS_ERR, 0, 0x08, 0}},
      {0, 0, 0x00, 0x00, 0x18, 0, {SS_ERR, 0, 0x18, 0}},
      {0, 0, 0x03, 0x00, 0x00, 0, {SS_ERR, 9, 0, 0}},     // DID_TIME_OUT
      {0, 0, 0x00, 0x06, 0x00, 0, {SS_ERR, 9, 0, 0}},     // DRIVER_TIMEOUT
      {0, 0, 0x01, 0x00, 0x00, 0, {SS_ERR, 0x11, 0, 0}},  // DID_NO_CONNECT
      {0, 0, 0x04, 0x00, 0x00, 0, {SS_ERR, 0x11, 0, 0}},  // DID_BAD_TARGET
      {0, 0, 0x02, 0x00, 0x00, 0, {SS_ERR, 0, 0x08, 0}},  // DID_BUS_BUSY: retry as busy
      {0, 0, 0x05, 0x00, 0x00, 0, {SS_ERR, 0x0B, 0, 0}},  // DID_ABORT
      {0, 0, 0x06, 0x00, 0x00, 0, {SS_ERR, 0x0F, 0, 0}},  // DID_PARITY
      {0, 0, 0x08, 0x00, 0x00, 0, {SS_ERR, 0x0E, 0, 0}},  // DID_RESET
      {0, 0, 0x07, 0x00, 0x00, 0, {SS_ERR, 0x13, 0, 0}},  // DID_ERROR
      {0, 0, 0x00, 0x04, 0x00, 0, {SS_ERR, 0x13, 0, 0}},  // DRIVER_ERROR
      {-1, EIO, 0, 0, 0, 0, {SS_ERR, 0x13, 0, EIO}},
      {-1, ENODEV, 0, 0, 0, 0, {SS_ERR, 0x11, 0, ENODEV}},
      {-1, ETIMEDOUT, 0, 0, 0, 0, {SS_ERR, 9, 0, ETIMEDOUT}},
      {-1, EACCES, 0, 0, 0, 0, {SS_ERR, 0, 0, EACCES}},
      {-1, 0, 0, 0, 0, 0, {SS_ERR, 0x13, 0, EIO}},  // a failure without errno still names one
  };
  for (const Case& c : cases) {
    sg_io_hdr_t hdr{};
    hdr.host_status = c.host;
    hdr.driver_status = c.driver;
    hdr.status = c.scsi;
    hdr.sb_len_wr = c.sense_length;
    const TSgOutcome out = MapSgResult(c.rc, c.error, hdr);
    SCOPED_TRACE(testing::Message() << "rc " << c.rc << " errno " << c.error << " host " << c.host << " driver "
                                    << c.driver << " scsi " << int(c.scsi));
    EXPECT_EQ(out.status, c.expected.status);
    EXPECT_EQ(out.ha_status, c.expected.ha_status);
    EXPECT_EQ(out.target_status, c.expected.target_status);
    EXPECT_EQ(out.transport_errno, c.expected.transport_errno);
  }
}

TEST_F(LinuxSgTest, HandlesAreReleasedOrHeldAsAsked) {
  auto back_end = OneDrive();
  Execute(*back_end, 0, 0x00, kFlagsNone, nullptr, 0);
  EXPECT_EQ(back_end->OpenHandles(), 0);
  transport::ReleaseHandles = false;
  Execute(*back_end, 0, 0x00, kFlagsNone, nullptr, 0);
  Execute(*back_end, 0, 0x00, kFlagsNone, nullptr, 0);
  EXPECT_EQ(back_end->OpenHandles(), 1);
  EXPECT_EQ(seen[1].fd, seen[2].fd) << "the held handle is reused";
  back_end->Finalize();
  EXPECT_EQ(back_end->OpenHandles(), 0);
  EXPECT_EQ(fcntl(seen[2].fd, F_GETFD), -1) << "closed, not just forgotten";
}

TEST_F(LinuxSgTest, ReadOnlyNodeIsOpenedReadOnly) {
  AddNode("sr0", "0:0:0:0");
  fs::remove(root_ / "dev/sr0");
  fs::create_directory(root_ / "dev/sr0");  // refuses O_RDWR even for root
  auto back_end = Make();
  ASSERT_EQ(back_end->Scan(), 1);
  EXPECT_EQ(seen[0].access_mode, O_RDONLY);
}

TEST_F(LinuxSgTest, OtherRequestCodes) {
  auto back_end = OneDrive("1:0:0:0");
  const test::AdapterInquiry adapter = test::InquireAdapter(*back_end, 1);
  EXPECT_EQ(adapter.status, SS_COMP);
  const TSRB_HAInquiry& ha = adapter.record;
  EXPECT_EQ(ha.HA_Count, 2);
  EXPECT_EQ(ha.HA_SCSI_ID, 7);
  EXPECT_STREQ(ha.HA_ManagerId, "Annotation");
  EXPECT_STREQ(ha.HA_Identifier, "SPTI 1");
  EXPECT_EQ(std::vector<uint8_t>(ha.HA_Unique, ha.HA_Unique + 8), (std::vector<uint8_t>{7, 0, 0, 8, 0, 0, 0xFF, 0}));
  EXPECT_EQ(test::InquireAdapter(*back_end, 2).status, SS_INVALID_HA);

  EXPECT_EQ(test::GetDeviceType(*back_end, {.ha = 1}), (test::DeviceType{SS_COMP, 5}));
  EXPECT_EQ(test::GetDeviceType(*back_end, {.ha = 1, .target = 1}), (test::DeviceType{SS_NO_DEVICE, 0x1F}));

  TSRB_GetDiskInfo disk{};
  disk.SRB_Cmd = SC_GET_DISK_INFO;
  EXPECT_EQ(back_end->SendASPI32Command(&disk), SS_ERR);
  EXPECT_EQ(disk.SRB_Status, 0);
  TSRB_Abort abort{};
  abort.SRB_Cmd = SC_ABORT_SRB;
  EXPECT_EQ(back_end->SendASPI32Command(&abort), SS_COMP);
  TSRB_Abort unknown{};
  unknown.SRB_Cmd = 9;
  EXPECT_EQ(back_end->SendASPI32Command(&unknown), SS_ERR);
  EXPECT_EQ(unknown.SRB_Status, SS_ERR);
}

}  // namespace
}  // namespace zamo
