// Speeds of a drive that follows MMC-5: the capabilities page leaves its
// obsolete speed fields at zero, and the component takes the speeds (and the
// speed list the capabilities show) from GET PERFORMANCE instead.
#include <gtest/gtest.h>

#include <array>

#include "burner/drive/scsi_device.h"
#include "burner/platform/byte_order.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

constexpr uint8_t kModeSense = 0x5A, kGetPerformance = 0xAC;

// MODE SENSE (10) data: the header, then page 2Ah with the given speed
// fields (max read, current read, max write, current write) and write speed list.
std::vector<uint8_t> CapabilitiesPage(uint16_t max_read, uint16_t read, uint16_t max_write, uint16_t write,
                                      const std::vector<uint16_t>& list) {
  std::vector<uint8_t> data(8 + 32 + 4 * list.size(), 0);
  uint8_t* page = data.data() + 8;
  page[0] = 0x2A;
  page[1] = static_cast<uint8_t>(30 + 4 * list.size());
  page[2] = 0x3F;
  page[3] = 0x37;
  const auto put = [page](int at, uint32_t value) {
    page[at] = static_cast<uint8_t>(value >> 8);
    page[at + 1] = static_cast<uint8_t>(value);
  };
  put(8, max_read);
  put(12, 2048);
  put(14, read);
  put(18, max_write);
  put(20, write);
  put(28, write);
  put(30, static_cast<uint32_t>(list.size()));
  for (size_t i = 0; i < list.size(); ++i) put(static_cast<int>(32 + 4 * i + 2), list[i]);
  data[1] = static_cast<uint8_t>(data.size() - 2);
  return data;
}

// GET PERFORMANCE data: header, then 16-byte descriptors of four 32-bit fields.
std::vector<uint8_t> Performance(const std::vector<std::array<uint32_t, 4>>& descriptors, uint8_t flags = 0) {
  std::vector<uint8_t> data(8 + 16 * descriptors.size(), 0);
  const auto put = [&data](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) data[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  };
  put(0, static_cast<uint32_t>(data.size() - 4));
  data[4] = flags;
  for (size_t i = 0; i < descriptors.size(); ++i)
    for (size_t f = 0; f < 4; ++f) put(8 + 16 * i + 4 * f, descriptors[i][f]);
  return data;
}

class PerformanceSpeeds : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_ = test::InstallFakeBackEnd();
    fake_->AddDevice(0, 0, 0, test::MakeInquiry(5, "ZAMO", "MODERN DVD", "1.00"));
    device_.LogCommandErrors = false;
    device_.HostAdapterInquiry(0);
    device_.ScanDevices();
    ASSERT_EQ(device_.Devices.size(), 1u);
  }
  void TearDown() override { transport::AspiUnload(); }

  // The GET PERFORMANCE requests the last reading sent (type, data type byte).
  std::vector<std::pair<uint8_t, uint8_t>> PerformanceRequests() const {
    std::vector<std::pair<uint8_t, uint8_t>> sent;
    for (const test::TRecordedRequest& r : fake_->Commands())
      if (r.opcode() == kGetPerformance) sent.emplace_back(r.cdb[10], r.cdb[1]);
    return sent;
  }
  std::vector<uint16_t> SpeedList() const {
    std::vector<uint16_t> list;
    for (const TWriteSpeed& speed : device_.DriveCapabilities().WriteSpeeds) list.push_back(speed.Speed);
    return list;
  }

  test::TFakeBackEnd* fake_ = nullptr;
  TSCSIDevice device_{nullptr};
};

TEST_F(PerformanceSpeeds, ZeroFieldsAndNoSpeedListAreTakenFromGetPerformance) {
  fake_->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == kModeSense && (r.cdb[2] & 0x3F) == 0x2A) return test::Good(CapabilitiesPage(0, 0, 0, 0, {}));
    if (r.opcode() != kGetPerformance) return std::nullopt;
    if (r.cdb[10] == 0x03 && (r.cdb[8] << 8 | r.cdb[9]) >= 3)  // write speed descriptors, fastest first
      return test::Good(Performance({{0x02000000, 2295103, 16620, 22160},
                                     {0x02000000, 2295103, 16620, 16620},
                                     {0x0A000000, 2295103, 16620, 11080}}));  // the last one CAV (WRC 01b)
    if (r.cdb[10] == 0x00 && r.cdb[1] == 0x14) return test::Good(Performance({{0, 11080, 2295103, 11080}}, 0x02));
    if (r.cdb[10] == 0x00 && r.cdb[1] == 0x10) return test::Good(Performance({{0, 8310, 2295103, 8310}}));
    return test::CheckCondition(5, 0x24, 0);
  };
  device_.SelectDevice(device_.Devices[0]);
  fake_->ClearRequests();
  EXPECT_EQ(device_.GetMaxWriteSpeed(), 22160);
  EXPECT_EQ(PerformanceRequests(),
            (std::vector<std::pair<uint8_t, uint8_t>>{{0x03, 0x00}, {0x00, 0x10}, {0x00, 0x14}}));
  EXPECT_EQ(device_.GetCurrentWriteSpeed(), 11080);
  EXPECT_EQ(device_.GetMaxReadSpeed(), 16620);
  EXPECT_EQ(device_.DriveCapabilities().CurrentReadSpeed, 8310);
  EXPECT_EQ(device_.DeviceMaxWriteSpeed, 22160);
  EXPECT_EQ(device_.DeviceMaxReadSpeed, 16620);
  EXPECT_EQ(SpeedList(), (std::vector<uint16_t>{22160, 16620, 11080}));
  EXPECT_EQ(device_.DriveCapabilities().WriteSpeeds[2].RotationControl, 1);  // CAV
  EXPECT_EQ(device_.CapabilitiesPage[kCapSpeedCount + 1], 0) << "the page is kept as the drive sent it";
  EXPECT_EQ(device_.CapabilitiesPage[kCapMaxWriteSpeed + 1], 0);
}

TEST_F(PerformanceSpeeds, APageWithItsSpeedsIsTakenAsItIsWithoutGetPerformance) {
  fake_->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == kModeSense && (r.cdb[2] & 0x3F) == 0x2A)
      return test::Good(CapabilitiesPage(8467, 8467, 8467, 7056, {8467, 7056}));
    if (r.opcode() == kGetPerformance) return test::Good(Performance({{0, 0, 0, 1}}));
    return std::nullopt;
  };
  device_.SelectDevice(device_.Devices[0]);
  fake_->ClearRequests();
  EXPECT_EQ(device_.GetMaxWriteSpeed(), 8467);
  EXPECT_EQ(device_.GetCurrentWriteSpeed(), 7056);
  EXPECT_EQ(device_.DriveCapabilities().BufferSize, 2048);
  EXPECT_EQ(GetBe16(std::span<const uint8_t>(device_.CapabilitiesPage), kCapMaxWriteSpeed), 8467)
      << "big-endian, as the drive sent it";
  EXPECT_TRUE(PerformanceRequests().empty());
  EXPECT_EQ(SpeedList(), (std::vector<uint16_t>{8467, 7056}));
}

TEST_F(PerformanceSpeeds, ADriveWithoutGetPerformanceKeepsTheOneXDefaultForWriting) {
  fake_->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == kModeSense && (r.cdb[2] & 0x3F) == 0x2A) return test::Good(CapabilitiesPage(0, 0, 0, 0, {}));
    if (r.opcode() == kGetPerformance) return test::CheckCondition(5, 0x20, 0);  // not offered
    return std::nullopt;
  };
  device_.SelectDevice(device_.Devices[0]);
  EXPECT_EQ(device_.GetMaxWriteSpeed(), 1385);
  EXPECT_EQ(device_.GetCurrentWriteSpeed(), 1385);
  EXPECT_EQ(device_.GetMaxReadSpeed(), 0);
  EXPECT_TRUE(SpeedList().empty());
}

}  // namespace
}  // namespace zamo
