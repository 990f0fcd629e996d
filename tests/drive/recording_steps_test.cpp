// The drive readied for a recording, per disc kind, against a scripted
// drive: the SET STREAMING descriptors byte for byte, a DVD-R's time stamp
// and reservation in their order, the speeds, the head and the calibration
// each kind gets; and the background format of a blank DVD+RW.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "burner/drive/messages.h"
#include "burner/drive/recording_steps.h"
#include "burner/platform/byte_order.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

using Bytes = std::vector<uint8_t>;

class RecordingStepsTest : public test::FakeDriveTest {
 protected:
  void SetUp() override {
    FakeDriveTest::SetUp();
    device->Sleep = [](int) {};
    device->LogCommandErrors = false;
    StartLogging();
    wait_ = std::make_unique<TDriveWait>(*device, abort_);
    steps_ = std::make_unique<TRecordingSteps>(*device, *wait_);
  }
  void TearDown() override {
    steps_.reset();
    wait_.reset();
    FakeDriveTest::TearDown();
  }

  // A drive holding a disc of `profile`; `refuse` answers the opcodes it
  // refuses (a write to a blank DVD+RW, a format).
  void Disc(uint16_t profile, std::function<std::optional<test::TFakeReply>(const test::TRecordedRequest&)> refuse = {}) {
    fake->responder = [profile, refuse](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
      if (refuse) {
        if (auto reply = refuse(r)) return reply;
      }
      if (r.opcode() == 0x46) return test::Good({0, 0, 0, 4, 0, 0, static_cast<uint8_t>(profile >> 8),
                                                 static_cast<uint8_t>(profile)});
      return std::nullopt;
    };
  }

  std::vector<test::TRecordedRequest> Sent(uint8_t opcode) const {
    std::vector<test::TRecordedRequest> chosen;
    for (const auto& r : fake->Commands()) {
      if (r.opcode() == opcode) chosen.push_back(r);
    }
    return chosen;
  }
  // The order of the given opcodes among the commands sent.
  Bytes Order(std::initializer_list<uint8_t> opcodes) const {
    Bytes order;
    for (const auto& r : fake->Commands()) {
      if (std::find(opcodes.begin(), opcodes.end(), r.opcode()) != opcodes.end()) order.push_back(r.opcode());
    }
    return order;
  }

  static Bytes Descriptor(uint32_t start, uint32_t end, uint32_t read_size, uint32_t write_size) {
    Bytes d(28, 0);
    PutBe32(d, 4, start);
    PutBe32(d, 8, end);
    PutBe32(d, 12, read_size);
    PutBe32(d, 16, 1000);
    PutBe32(d, 20, write_size);
    PutBe32(d, 24, 1000);
    return d;
  }

  TRecordingSession Session() const {
    TRecordingSession session;
    session.start = 4096;
    session.image_sectors = 1000;
    session.sectors_to_write = 1001;
    return session;
  }

  std::atomic<bool> abort_{false};
  std::unique_ptr<TDriveWait> wait_;
  std::unique_ptr<TRecordingSteps> steps_;
};

// 2x and 4x DVD in MMC's unit, as streaming rates (1x = 1440.25 KB/s there).
constexpr uint16_t kReadKbs = 2770, kWriteKbs = 5540;
constexpr uint32_t kReadRate = 2880, kWriteRate = 5761;

TEST_F(RecordingStepsTest, ADvdRGetsItsSessionsStreamingTheWholeDiscsTimeStampAndReservation) {
  Disc(0x11);
  device->ReadSpeed = kReadKbs;
  device->SetWriteSpeed(kWriteKbs);
  fake->ClearRequests();
  steps_->Prepare(Session());
  EXPECT_EQ(steps_->kind(), dkDvdR);
  EXPECT_EQ(device->RecordedDiscKind(), dkDvdR);

  const auto streaming = Sent(0xB6);
  ASSERT_EQ(streaming.size(), 2u);
  EXPECT_EQ(streaming[0].data_out, Descriptor(4096, 5096, kReadRate, kWriteRate)) << "the session";
  EXPECT_EQ(streaming[1].data_out, Descriptor(0, 2298495, kReadRate, kWriteRate)) << "the whole disc";
  for (const auto& r : streaming) EXPECT_EQ(GetBe16(r.cdb, 9), 28);
  // Then the time stamp (SEND DVD STRUCTURE 0Fh) and the track: the sectors
  // written, in whole 32-sector writes.
  EXPECT_EQ(Order({0xB6, 0xBF, 0x53}), (Bytes{0xB6, 0xB6, 0xBF, 0x53}));
  ASSERT_EQ(Sent(0xBF).size(), 1u);
  EXPECT_EQ(Sent(0xBF)[0].cdb[7], 0x0F);
  EXPECT_EQ(GetBe32(Sent(0x53)[0].cdb, 5), 1024u);
  // The page as for a disc to be closed, before the streaming.
  EXPECT_EQ(Order({0x55, 0xB6}), (Bytes{0x55, 0xB6, 0xB6}));
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().rfind(">>> ÉCRITURE de DVD-R vers ", 0), 0u) << log.back();
}

TEST_F(RecordingStepsTest, EveryDvdMinusAndPlusKindGetsTheSessionsStreamingOnly) {
  for (uint16_t profile : {0x13, 0x14, 0x1A, 0x1B, 0x2B}) {
    Disc(profile);
    device->ReadSpeed = kReadKbs;
    device->SetWriteSpeed(kWriteKbs);
    fake->ClearRequests();
    steps_->Prepare(Session());
    SCOPED_TRACE(DiscKindName(steps_->kind()));
    const auto streaming = Sent(0xB6);
    ASSERT_EQ(streaming.size(), 1u);
    EXPECT_EQ(streaming[0].data_out, Descriptor(4096, 5096, kReadRate, kWriteRate));
    EXPECT_TRUE(Sent(0x53).empty()) << "no reservation";
    EXPECT_TRUE(Sent(0xBF).empty()) << "no time stamp";
  }
}

TEST_F(RecordingStepsTest, CdsAndDvdRamGetNoStreamingAndTheFastestIsTheDrivesMaximumNeverZero) {
  for (uint16_t profile : {0x09, 0x0A, 0x12}) {
    Disc(profile);
    fake->ClearRequests();
    steps_->Prepare(Session());
    EXPECT_TRUE(Sent(0xB6).empty()) << DiscKindName(steps_->kind());
    EXPECT_TRUE(Sent(0x55).empty() == (steps_->kind() == dkDvdRam)) << "a page for all but a DVD-RAM";
  }
  // A DVD+R at "max" (0) with a drive that reports no speed: its default
  // of 1x, never a zero rate.
  Disc(0x1B);
  device->ReadSpeed = 0;
  device->SetWriteSpeed(0);
  fake->ClearRequests();
  steps_->Prepare(Session());
  const auto streaming = Sent(0xB6);
  ASSERT_EQ(streaming.size(), 1u);
  EXPECT_EQ(GetBe32(streaming[0].data_out, 12), 1u) << "no read speed known: the slowest rate, not 0";
  EXPECT_EQ(GetBe32(streaming[0].data_out, 20), 1440u) << "1x DVD";
}

TEST_F(RecordingStepsTest, TheHeadGoesHomeButOnADvdPlusRwAndCalibrationOnlyWhenItCounts) {
  const auto rezeroes = [&](uint16_t profile) {
    Disc(profile);
    fake->ClearRequests();
    steps_->Prepare(Session());
    return Sent(0x01).size();
  };
  EXPECT_EQ(rezeroes(0x1A), 0u);
  EXPECT_EQ(rezeroes(0x09), 1u);

  const auto calibrations = [&](uint16_t profile, bool opc, bool test_write) {
    device->PerformOPC = opc;
    device->TestWrite = test_write;
    Disc(profile);
    fake->ClearRequests();
    steps_->Prepare(Session());
    return Sent(0x54).size();
  };
  EXPECT_EQ(calibrations(0x09, true, false), 1u);
  EXPECT_EQ(calibrations(0x09, false, false), 0u);
  EXPECT_EQ(calibrations(0x09, true, true), 0u) << "a test write";
  EXPECT_EQ(log.back(), std::string(">>> ") + msg::kTestWrite);
  EXPECT_EQ(calibrations(0x12, true, false), 0u) << "a DVD-RAM";
}

TEST_F(RecordingStepsTest, ABlankDvdPlusRwIsFormattedOnceInTheBackground) {
  bool refuse_writes = true;
  int formatting_answers = 2;  // the disc information answers "format in progress" twice
  Disc(0x1A, [&](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == 0x2A && refuse_writes) return test::CheckCondition(5, 0x30, 0x00);
    if (r.opcode() == 0x51 && !refuse_writes && formatting_answers > 0) {
      --formatting_answers;
      return test::CheckCondition(2, 0x04, 0x04);
    }
    return std::nullopt;
  });
  steps_->Prepare(Session());
  Bytes block(2048);
  EXPECT_FALSE(device->Write10(0, 1, block.data(), 2048, kFlagsOut));
  ASSERT_TRUE(steps_->NeedsFormat());
  fake->ClearRequests();
  refuse_writes = false;
  const Status s = steps_->FormatBlankDvdPlusRw();
  EXPECT_TRUE(s.ok()) << s.UserText();
  EXPECT_EQ(Sent(0x51).size(), 3u) << "polled until the format runs";
  const auto formats = Sent(0x04);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].cdb[1], 0x11);
  EXPECT_EQ(formats[0].data_out, (Bytes{0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40, 0x98, 0x00, 0x00, 0x00}));
  // Refused again after the format: not formatted a second time.
  refuse_writes = true;
  EXPECT_FALSE(device->Write10(0, 1, block.data(), 2048, kFlagsOut));
  EXPECT_FALSE(steps_->NeedsFormat());
}

TEST_F(RecordingStepsTest, AFormatTheDriveRefusesSaysWhyAndOnlyABlankDvdPlusRwIsFormatted) {
  Disc(0x1A, [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == 0x04) return test::CheckCondition(5, 0x24, 0x00);
    if (r.opcode() == 0x2A) return test::CheckCondition(5, 0x30, 0x00);
    return std::nullopt;
  });
  steps_->Prepare(Session());
  const Status s = steps_->FormatBlankDvdPlusRw();
  EXPECT_EQ(s.UserText(), std::string(msg::kFormatFailed) + " [" + device->LastError + "]");

  // A DVD+R refusing a write for the same reason is not formatted.
  Disc(0x1B, [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == 0x2A) return test::CheckCondition(5, 0x30, 0x00);
    return std::nullopt;
  });
  TRecordingSteps dvd_plus_r(*device, *wait_);
  dvd_plus_r.Prepare(Session());
  Bytes block(2048);
  EXPECT_FALSE(device->Write10(0, 1, block.data(), 2048, kFlagsOut));
  EXPECT_FALSE(dvd_plus_r.NeedsFormat());
}

}  // namespace
}  // namespace zamo
