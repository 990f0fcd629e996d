// The command set: every CDB byte for byte with its direction, length and
// timeout, and the decoding of the answers.
#include <gtest/gtest.h>

#include <functional>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

using Bytes = std::vector<uint8_t>;

struct CdbCase {
  const char* name;
  std::function<void(TSCSIDevice&, uint8_t*)> send;
  Bytes cdb;
  uint8_t flags;
  uint32_t length;
  uint32_t timeout_ms;
};

class CommandsTest : public test::FakeDriveTest {
 protected:
  // Answers data-in commands with `data` (good status).
  void Answer(uint8_t opcode, Bytes data) {
    answers_[opcode] = std::move(data);
    fake->responder = [this](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
      if (fail_) return test::CheckCondition(5, 0x24, 0);
      auto it = answers_.find(r.opcode());
      return it == answers_.end() ? std::nullopt : std::optional(test::Good(it->second));
    };
  }
  void FailEverything() {
    fail_ = true;
    Answer(0, {});
  }

 private:
  std::map<uint8_t, Bytes> answers_;
  bool fail_ = false;
};

TEST_F(CommandsTest, EveryCdbDirectionLengthAndTimeout) {
  const std::vector<CdbCase> cases = {
      {"TEST UNIT READY", [](TSCSIDevice& d, uint8_t*) { d.TestUnitReady(5000); }, {0x00, 0, 0, 0, 0, 0}, 0x40, 0, 5000},
      {"REZERO UNIT", [](TSCSIDevice& d, uint8_t*) { d.RezeroUnit(); }, {0x01, 0, 0, 0, 0, 0}, 0x40, 0, 10000},
      {"REQUEST SENSE", [](TSCSIDevice& d, uint8_t* b) { d.RequestSense(b, 40); }, {0x03, 0, 0, 0, 40, 0}, 0x48, 40, 10000},
      {"FORMAT UNIT", [](TSCSIDevice& d, uint8_t* b) { d.FormatUnit(0x11, b, 12); }, {0x04, 0x11, 0, 0, 0, 0}, 0x50, 12, 10000},
      {"INQUIRY", [](TSCSIDevice& d, uint8_t*) { d.Inquiry(); }, {0x12, 0, 0, 0, 128, 0}, 0x48, 128, 10000},
      {"EJECT", [](TSCSIDevice& d, uint8_t*) { d.LoadEject(true); }, {0x1B, 0, 0, 0, 2, 0}, 0x40, 0, 20000},
      {"LOAD", [](TSCSIDevice& d, uint8_t*) { d.LoadEject(false); }, {0x1B, 0, 0, 0, 3, 0}, 0x40, 0, 20000},
      {"PREVENT", [](TSCSIDevice& d, uint8_t*) { d.PreventAllowRemoval(false); }, {0x1E, 0, 0, 0, 1, 0}, 0x40, 0, 10000},
      {"ALLOW", [](TSCSIDevice& d, uint8_t*) { d.PreventAllowRemoval(true); }, {0x1E, 0, 0, 0, 0, 0}, 0x40, 0, 10000},
      {"READ FORMAT CAPACITIES", [](TSCSIDevice& d, uint8_t*) { uint32_t a, b; d.ReadFormatCapacities(a, b); },
       {0x23, 0, 0, 0, 0, 0, 0, 0, 248, 0}, 0x48, 248, 10000},
      {"READ CAPACITY", [](TSCSIDevice& d, uint8_t*) { uint32_t a, b; d.ReadCapacity(a, b); },
       {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x48, 8, 10000},
      {"READ (10)", [](TSCSIDevice& d, uint8_t* b) { d.Read10(0x01020304, 0x0506, b, 4096); },
       {0x28, 0, 1, 2, 3, 4, 0, 5, 6, 0}, 0x48, 4096, 10000},
      {"WRITE (10)", [](TSCSIDevice& d, uint8_t* b) { d.Write10(0xA0B0C0D0, 32, b, 65536, 0x50); },
       {0x2A, 0, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 32, 0}, 0x50, 65536, 120000},
      {"SYNCHRONIZE CACHE", [](TSCSIDevice& d, uint8_t*) { d.SynchronizeCache(300000, true); },
       {0x35, 2, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, 300000},
      {"READ TOC/PMA/ATIP", [](TSCSIDevice& d, uint8_t* b) { d.ReadTocPmaAtip(4, b, 0, true, 1, 28); },
       {0x43, 2, 4, 0, 0, 0, 1, 0, 28, 0}, 0x48, 28, 10000},
      {"GET CONFIGURATION", [](TSCSIDevice& d, uint8_t* b) { d.GetConfiguration(2, 0x2F, 114, b); },
       {0x46, 2, 0, 0x2F, 0, 0, 0, 0, 114, 0}, 0x48, 114, 30000},
      {"GET CONFIGURATION 16-bit", [](TSCSIDevice& d, uint8_t* b) { d.GetConfiguration(1, 0x0107, 300, b); },
       {0x46, 1, 0x01, 0x07, 0, 0, 0, 0x01, 0x2C, 0}, 0x48, 300, 30000},
      {"READ DISC INFORMATION", [](TSCSIDevice& d, uint8_t* b) { d.ReadDiscInformation(b, 34); },
       {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 0x48, 34, 10000},
      {"READ DISC INFO", [](TSCSIDevice& d, uint8_t*) { d.ReadDiscInfo(); },
       {0x51, 0, 0, 0, 0, 0, 0, 0, 56, 0}, 0x48, 56, 10000},
      {"READ TRACK INFORMATION", [](TSCSIDevice& d, uint8_t*) { d.ReadTrackInformation(0x0123); },
       {0x52, 1, 0, 0, 0x01, 0x23, 0, 0, 40, 0}, 0x48, 40, 60000},
      {"RESERVE TRACK", [](TSCSIDevice& d, uint8_t*) { d.ReserveTrack(0x11223344); },
       {0x53, 0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0}, 0x40, 0, 10000},
      {"SEND OPC", [](TSCSIDevice& d, uint8_t*) { d.SendOpcInformation(); }, {0x54, 1, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, 150000},
      {"MODE SELECT", [](TSCSIDevice& d, uint8_t* b) { d.ModeSelect(b, 60); },
       {0x55, 0x10, 0, 0, 0, 0, 0, 0, 60, 0}, 0x50, 60, 10000},
      {"MODE SENSE defaults", [](TSCSIDevice& d, uint8_t* b) { d.ModeSense(0x2A, b, true, 255, 255); },
       {0x5A, 0, 0xAA, 0, 0, 0, 0, 0, 255, 0}, 0x48, 255, 20000},
      {"MODE SENSE current", [](TSCSIDevice& d, uint8_t* b) { d.ModeSense(0x05, b, false, 512, 512); },
       {0x5A, 0, 0x05, 0, 0, 0, 0, 0x02, 0, 0}, 0x48, 512, 20000},
      // A close with the immediate bit answers at once; without it, it may
      // take many minutes and gets an hour.
      {"CLOSE TRACK/SESSION", [](TSCSIDevice& d, uint8_t*) { d.CloseTrackSession(true, 2, 7); },
       {0x5B, 1, 2, 0, 0, 7, 0, 0, 0, 0}, 0x40, 0, 30000},
      {"CLOSE TRACK", [](TSCSIDevice& d, uint8_t*) { d.CloseSessionOrTrack(true, false, false); },
       {0x5B, 0, 1, 0, 0, 0xFF, 0, 0, 0, 0}, 0x40, 0, 3600000},
      {"CLOSE SESSION", [](TSCSIDevice& d, uint8_t*) { d.CloseSessionOrTrack(false, true, false); },
       {0x5B, 1, 2, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, 30000},
      {"FINALIZE", [](TSCSIDevice& d, uint8_t*) { d.CloseSessionOrTrack(true, false, true); },
       {0x5B, 0, 5, 0, 0, 0xFF, 0, 0, 0, 0}, 0x40, 0, 3600000},
      {"READ BUFFER CAPACITY", [](TSCSIDevice& d, uint8_t*) { uint32_t a, b; d.ReadBufferCapacity(a, b); },
       {0x5C, 0, 0, 0, 0, 0, 0, 0, 32, 0}, 0x48, 32, 10000},
      {"SEND CUE SHEET", [](TSCSIDevice& d, uint8_t* b) { d.SendCueSheet(b, 0x1234); },
       {0x5D, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0}, 0x50, 0x1234, 30000},
      {"BLANK quick", [](TSCSIDevice& d, uint8_t*) { d.Blank(true); }, {0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, 4800000},
      {"BLANK full", [](TSCSIDevice& d, uint8_t*) { d.Blank(false); }, {0xA1, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x40, 0, 4800000},
      {"SET STREAMING", [](TSCSIDevice& d, uint8_t* b) { d.SetStreaming(b, 28); },
       {0xB6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 28, 0}, 0x50, 28, 10000},
      {"SET CD SPEED max", [](TSCSIDevice& d, uint8_t*) { d.SetCdSpeed(0, 0); },
       {0xBB, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}, 0x40, 0, 10000},
      {"SET CD SPEED", [](TSCSIDevice& d, uint8_t*) { d.SetCdSpeed(1764, 5292); },
       {0xBB, 0, 0x06, 0xE4, 0x14, 0xAC, 0, 0, 0, 0, 0, 0}, 0x40, 0, 10000},
      {"SEND DVD STRUCTURE", [](TSCSIDevice& d, uint8_t* b) { d.SendDvdStructure(0x0F, b, 22); },
       {0xBF, 0, 0, 0, 0, 0, 0, 0x0F, 0, 22, 0, 0}, 0x50, 22, 10000},
  };
  std::vector<uint8_t> buffer(65536);
  for (const CdbCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::fill(buffer.begin(), buffer.end(), 0x5A);
    fake->ClearRequests();
    c.send(*device, buffer.data());
    ASSERT_EQ(fake->Requests().size(), 1u);
    const test::TRecordedRequest r = fake->Last();
    EXPECT_EQ(r.cdb, c.cdb);
    EXPECT_EQ(r.flags, c.flags);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.timeout_ms, c.timeout_ms);
    if (c.flags == kFlagsOut) {
      EXPECT_EQ(r.data_out, Bytes(c.length, 0x5A)) << "the caller's bytes are sent";
    }
  }
}

TEST_F(CommandsTest, OverlongTocRequestIsRefusedBeforeSending) {
  uint8_t buffer[300] = {};
  EXPECT_FALSE(device->ReadTocPmaAtip(0, buffer, 0, false, 1, 256));
  EXPECT_TRUE(fake->Requests().empty());
}

TEST_F(CommandsTest, CapacitiesAndTrackRecordAreDecodedFromBigEndian) {
  Answer(0x25, {0x00, 0x05, 0x43, 0x21, 0x00, 0x00, 0x08, 0x00});
  Bytes track(40, 0);
  track[1] = 38;
  track[2] = 3;
  for (int f = 0; f < 6; ++f) {
    track[8 + 4 * f] = 0x80;
    track[8 + 4 * f + 3] = static_cast<uint8_t>(f + 1);
  }
  Answer(0x52, track);
  Bytes disc(56, 0);
  disc[0] = 0x00;
  disc[1] = 0x20;
  Answer(0x51, disc);

  uint32_t lba = 0, block = 0;
  ASSERT_TRUE(device->ReadCapacity(lba, block));
  EXPECT_EQ(lba, 0x054321u);
  EXPECT_EQ(block, 2048u);
  ASSERT_TRUE(device->ReadTrackInformation(300));
  const TTrackInfo& t = device->TrackInfo;
  EXPECT_EQ(t.DataLength, 38);
  EXPECT_EQ(t.TrackNumber(), 3);
  EXPECT_EQ(t.TrackStart, 0x80000001u);
  EXPECT_EQ(t.NextWritable, 0x80000002u);
  EXPECT_EQ(t.FreeBlocks, 0x80000003u);
  EXPECT_EQ(t.FixedPacketSize, 0x80000004u);
  EXPECT_EQ(t.TrackSize, 0x80000005u);
  EXPECT_EQ(t.LastRecorded, 0x80000006u);
  EXPECT_EQ(t.Raw[11], 1) << "raw bytes kept as the drive sent them";
  ASSERT_TRUE(device->ReadDiscInfo());
  EXPECT_EQ(device->DiscInfoLength, 0x20);

  FailEverything();
  EXPECT_FALSE(device->ReadTrackInformation(1));
  EXPECT_EQ(device->TrackInfo.TrackStart, 0u) << "the record is cleared before the command";
  lba = block = 77;
  EXPECT_FALSE(device->ReadCapacity(lba, block));
  EXPECT_EQ(lba, 77u);
}

TEST_F(CommandsTest, BufferCapacityFreeSizeRules) {
  Answer(0x5C, {0, 0x1E, 0, 0, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00});
  uint32_t size = 0, free = 0;
  ASSERT_TRUE(device->ReadBufferCapacity(size, free));
  EXPECT_EQ(size, 0x200000u);
  EXPECT_EQ(free, 0x1000u);
  EXPECT_EQ(device->DeviceBufferSize, 0x200000u);
  EXPECT_EQ(device->DeviceFreeBufferSize, 0x1000u);

  Answer(0x5C, {0, 0x1E, 0, 0, 0x00, 0x20, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_TRUE(device->ReadBufferCapacity(size, free));
  EXPECT_EQ(free, 0xFFFFFFFFu);
  EXPECT_EQ(device->DeviceFreeBufferSize, 0x200000u) << "unknown free size counts as an empty buffer";

  FailEverything();
  size = free = 9;
  EXPECT_FALSE(device->ReadBufferCapacity(size, free));
  EXPECT_EQ(device->DeviceFreeBufferSize, 0u);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(free, 9u);
}

// Format capacities: header (list length), current/maximum descriptor, then
// formattable descriptors; each descriptor = count (4) + type (1) + parameter (3).
Bytes Capacities(std::vector<std::pair<uint32_t, uint32_t>> descriptors) {
  Bytes d(4, 0);
  d[3] = static_cast<uint8_t>(8 * descriptors.size());
  for (auto [count, type_and_parameter] : descriptors) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(count >> (24 - 8 * i)));
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(type_and_parameter >> (24 - 8 * i)));
  }
  return d;
}

TEST_F(CommandsTest, FormatCapacitiesPickTheFirstUsableDescriptor) {
  struct Case {
    const char* name;
    Bytes answer;
    uint32_t blocks;
  } cases[] = {
      {"current, type 0 with 2048", Capacities({{1000, 0x00000800}, {2000, 0x00000800}}), 1000},
      {"formatted; first formattable is type 26h", Capacities({{1000, 0x02000800}, {2000, 0x98000000}}), 2000},
      {"first formattable type 0 with 2048", Capacities({{1000, 0x01000800}, {3000, 0x00000800}}), 3000},
      {"second formattable", Capacities({{1000, 0x01000800}, {3000, 0x04000000}, {4000, 0x00000800}}), 4000},
      {"none fits", Capacities({{1000, 0x03000800}, {3000, 0x04000000}}), 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Answer(0x23, c.answer);
    uint32_t blocks = 0, length = 0;
    ASSERT_TRUE(device->ReadFormatCapacities(blocks, length));
    EXPECT_EQ(blocks, c.blocks);
    EXPECT_EQ(length, 2048u);
  }
  // Bytes past the list length are not descriptors.
  Bytes short_list = Capacities({{1000, 0x02000800}, {2000, 0x00000800}});
  short_list[3] = 8;
  Answer(0x23, short_list);
  uint32_t blocks = 0, length = 0;
  ASSERT_TRUE(device->ReadFormatCapacities(blocks, length));
  EXPECT_EQ(blocks, 1000u);
}

TEST_F(CommandsTest, ModeSenseCopiesWithinTheCallersBuffer) {
  Bytes page(64);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i + 1);
  Answer(0x5A, page);
  uint8_t buffer[33];
  std::memset(buffer, 0xEE, sizeof buffer);
  ASSERT_TRUE(device->ModeSense(0x2A, buffer, false, 64, 32));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(buffer[i], i + 1);
  EXPECT_EQ(buffer[32], 0xEE) << "nothing written past BufferSize";

  FailEverything();
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_FALSE(device->ModeSense(0x2A, buffer, false, 64, 32));
  EXPECT_EQ(buffer[0], 0) << "cleared before the command";
  EXPECT_EQ(buffer[32], 0xEE);
}

TEST_F(CommandsTest, TimeStampStructure) {
  ASSERT_TRUE(device->SendTimeStamp(EncodeDateTime({2024, 2, 29, 13, 45, 7, 0})));
  const test::TRecordedRequest r = fake->Last();
  Bytes expected = {0x00, 0x14, 0, 0, 0, 0, 0, 0};
  for (char c : std::string("20240229134507")) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(r.data_out, expected);
  EXPECT_EQ(r.cdb[7], 0x0F);
}

TEST_F(CommandsTest, TrayCommandsReleaseTheHandleAndLeaveHandlesHeld) {
  std::vector<bool> during;
  fake->responder = [&](const test::TRecordedRequest&) -> std::optional<test::TFakeReply> {
    during.push_back(transport::ReleaseHandles);
    return std::nullopt;
  };
  transport::ReleaseHandles = true;
  device->LoadEject(true);
  EXPECT_FALSE(transport::ReleaseHandles);
  device->PreventAllowRemoval(false);  // prevent: sent with the flag as it is
  device->PreventAllowRemoval(true);   // allow: sent with handles released
  EXPECT_FALSE(transport::ReleaseHandles);
  EXPECT_EQ(during, (std::vector<bool>{true, false, true}));
  TSCSIDevice::SetReleaseHandles(true);
  EXPECT_TRUE(transport::ReleaseHandles);
}

TEST(CommandNameTest, NamesArePaddedOthersAreHex) {
  EXPECT_EQ(TSCSIDevice::CommandName(0x2A), "WRITE (10)            ");
  EXPECT_EQ(TSCSIDevice::CommandName(0x1E), "PREVENT/ALLOW REMOVAL ");
  EXPECT_EQ(TSCSIDevice::CommandName(0x02), "02");
  EXPECT_EQ(TSCSIDevice::CommandName(0xFE), "FE");
  EXPECT_EQ(TSCSIDevice::CommandName(0xFF), "");
  int named = 0;
  for (int op = 0; op < 256; ++op) named += TSCSIDevice::CommandName(static_cast<uint8_t>(op)).size() == 22;
  EXPECT_EQ(named, 51);
}

}  // namespace
}  // namespace zamo
