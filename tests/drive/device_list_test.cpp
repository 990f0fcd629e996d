// The device list: its lines, the adapters scanned, selecting a line (any
// width of numbers) and the per-model quirks.
#include <gtest/gtest.h>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

using test::MakeInquiry;

class DeviceListTest : public ::testing::Test {
 protected:
  void SetUp() override { fake = test::InstallFakeBackEnd(); }
  void TearDown() override { transport::AspiUnload(); }
  // A component made while the fake is installed lists its devices.
  std::unique_ptr<TSCSIDevice> Scanned() { return std::make_unique<TSCSIDevice>(nullptr); }
  // Selects a line while the device answers INQUIRY with `inquiry`.
  void Select(TSCSIDevice& device, const std::string& line, const std::vector<uint8_t>& inquiry) {
    fake->responder = [inquiry](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
      return r.opcode() == 0x12 ? std::optional(test::Good(inquiry)) : std::nullopt;
    };
    device.SelectDevice(line);
    fake->responder = nullptr;
  }

  test::TFakeBackEnd* fake = nullptr;
};

TEST_F(DeviceListTest, LinesNameAddressNodeAndRawInquiryText) {
  fake->AddDevice(1, 0, 0, MakeInquiry(5, "QEMU", "QEMU DVD-ROM", "2.5+"), "/dev/sr0");
  fake->AddDevice(0, 3, 0, MakeInquiry(5, "HL-DT-ST", "DVDRAM GH24NSD1", "LG00"), "/dev/sr1");
  fake->AddDevice(2, 1, 2, MakeInquiry(4, "OLD", "WORM", "1"));  // no node known
  fake->AddDevice(0, 0, 0, MakeInquiry(0, "ATA", "DISK", "1"), "/dev/sda");
  std::vector<uint8_t> odd = MakeInquiry(5, "ODD", "NAME", "1");
  odd[10] = 0;  // a NUL inside the vendor field
  odd[20] = '\n';
  fake->AddDevice(0, 7, 7, odd, "/dev/sr2");

  auto device = Scanned();
  EXPECT_EQ(device->Devices, (std::vector<std::string>{
                                 "0:3:0,/dev/sr1: HL-DT-STDVDRAM GH24NSD1 LG00",
                                 "0:7:7,/dev/sr2: OD      NAME            1   ",
                                 "1:0:0,/dev/sr0: QEMU    QEMU DVD-ROM    2.5+",
                                 "2:1:2,?: OLD     WORM            1    (not supported)",
                             }));
  EXPECT_EQ(device->HaId, 0xFE) << "the address is restored after the scan";
  EXPECT_EQ(device->LastError, "");
  // Every address of every adapter was asked: 3 adapters x 8 targets x 8 LUNs.
  EXPECT_EQ(fake->Requests().size(), 3u * 64);
}

TEST_F(DeviceListTest, ZeroReportedAdaptersScanSevenAndDebugLinesNameThem) {
  fake->AddDevice(0, 0, 0, MakeInquiry(5, "A", "B", "C"));
  fake->adapter_count = 7;
  fake->reported_count = 0;
  auto device = std::make_unique<TSCSIDevice>(nullptr);
  std::vector<std::string> lines;
  device->OnDebugMessage = [&](TObject*, const std::string& line, uint8_t type) {
    EXPECT_EQ(type, kMsgInfo);
    lines.push_back(line);
  };
  device->DoDebug = true;
  device->HostAdapterInquiry(0);
  EXPECT_EQ(device->HostAdapterCount, 7);
  fake->ClearRequests();
  device->ScanDevices();
  EXPECT_EQ(fake->Last().ha, 6);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], ">>> FAKEASPI");
  EXPECT_EQ(lines[1], ">>> FAKE MANAGER (FAKE ADAPTER)");

  transport::AspiUnload();
  device->HostAdapterInquiry(0);
  EXPECT_EQ(device->HostAdapterCount, -1);
}

TEST_F(DeviceListTest, SelectReadsNumbersOfAnyWidth) {
  const auto inquiry = MakeInquiry(5, "V", "P", "R");
  fake->AddDevice(12, 3, 0, inquiry, "/dev/sr4");
  auto device = Scanned();
  int changes = 0;
  device->OnDeviceChange = [&](TObject* sender) {
    EXPECT_EQ(sender, device.get());
    ++changes;
  };
  Select(*device, "12:3:0,/dev/sr4: V       P               R   ", inquiry);
  EXPECT_EQ(device->HaId, 12);
  EXPECT_EQ(device->TargetId, 3);
  EXPECT_EQ(device->Lun, 0);
  EXPECT_EQ(device->DeviceString, "12:3:0,/dev/sr4: V       P               R   ");
  EXPECT_EQ(device->GetDevicePath(), "/dev/sr4");
  EXPECT_EQ(changes, 1);

  // A write-once (type 4) device listed as not supported can still be chosen.
  const auto worm = MakeInquiry(4, "OLD", "WORM", "1");
  fake->AddDevice(0, 1, 0, worm);
  Select(*device, "0:1:0,?: OLD     WORM            1    (not supported)", worm);
  EXPECT_EQ(device->HaId, 0);
  EXPECT_EQ(changes, 2);
}

TEST_F(DeviceListTest, UnusableLinesClearTheSelection) {
  const auto inquiry = MakeInquiry(5, "V", "P", "R");
  fake->AddDevice(1, 0, 0, inquiry, "/dev/sr0");
  auto device = Scanned();
  std::vector<std::string> lines;
  device->OnDebugMessage = [&](TObject*, const std::string& line, uint8_t) { lines.push_back(line); };
  const std::vector<std::uint8_t> disk = MakeInquiry(0, "ATA", "DISK", "1");
  const std::pair<std::string, std::vector<uint8_t>> cases[] = {
      {"", inquiry},                         // no message for an empty line
      {"1:0", inquiry},                      // too short
      {"a:0:0,/dev/sr0: x", inquiry},        // not a number
      {"1:0:0/dev/sr0: x", inquiry},         // no comma after the LUN
      {"1:0:254,/dev/sr0: x", inquiry},      // 254 means "no device"
      {"1:0:0,/dev/sr0: ATA DISK", disk},    // not a CD/DVD device
  };
  for (const auto& [line, data] : cases) {
    SCOPED_TRACE(line);
    Select(*device, "1:0:0,/dev/sr0: V", inquiry);
    ASSERT_EQ(device->HaId, 1);
    Select(*device, line, data);
    EXPECT_EQ(device->HaId, 0xFE);
    EXPECT_EQ(device->TargetId, 0xFE);
    EXPECT_EQ(device->Lun, 0xFE);
    EXPECT_EQ(device->DeviceString, "");
    EXPECT_EQ(device->DeviceType, 0x7F);
    EXPECT_EQ(device->GetDevicePath(), "");
  }
  EXPECT_EQ(lines, std::vector<std::string>(5, "ID MATÉRIEL NON VALIDE / PAS UN CD OU DVD"));
  uint8_t buffer[8];
  EXPECT_FALSE(device->Read10(0, 1, buffer, sizeof buffer)) << "nothing is sent without a selection";
}

TEST_F(DeviceListTest, QuirksFollowVendorAndProduct) {
  struct Case {
    const char* vendor;
    const char* product;
    bool underrun, link_size, slow_vendor, immediate_close, slow_model;
  } cases[] = {
      {"PLEXTOR", "PX-716A", false, false, false, true, false},
      {"RICOH", "CD-W512EB", true, false, false, true, false},
      {"YAMAHA", "CRX175E", false, true, false, true, false},
      {"YAMAHA", "CD-RW  CRX800E", false, true, false, true, false},
      {"MATSHITA", "UJDA750 DVD/CDRW", false, false, true, true, false},
      {"TDK", "CDRW321040X", false, false, true, false, false},
      {"TD", "X", false, false, false, true, false},
      {"PIONEER", "DVD-RW  DVR-104", false, false, false, true, true},
      {"PIONEER", "DVD-RW  DVR-1040", false, false, false, true, false},
  };
  fake->AddDevice(0, 0, 0, MakeInquiry(5, "X", "Y", "Z"));
  auto device = Scanned();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    const auto inquiry = MakeInquiry(5, c.vendor, c.product, "1.00");
    Select(*device, "0:0:0,?: x", inquiry);
    ASSERT_EQ(device->HaId, 0);
    EXPECT_EQ(device->UnderrunCapableModel, c.underrun);
    EXPECT_EQ(device->LinkSizeValidModel, c.link_size);
    EXPECT_EQ(TSCSIDevice::SlowReadyVendor, c.slow_vendor);
    EXPECT_EQ(TSCSIDevice::ImmediateCloseModel, c.immediate_close);
    EXPECT_EQ(device->SlowReadyModel, c.slow_model);
  }
}

}  // namespace
}  // namespace zamo
