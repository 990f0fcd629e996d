// Sense data in every SPC format where the component waits for a drive: the
// readiness wait and the erase thread tell a drive still at work (current
// 04h, fixed or descriptor format), a settled one (F0h is current sense with
// the VALID bit, not a deferred error) and a failed long operation (a
// deferred error, 71h/F1h or 73h), on the fake back end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "burner/drive/scsi_device.h"
#include "burner/drive/sense.h"
#include "burner/platform/call_queue.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

using test::TFakeReply;
using test::TRecordedRequest;
using namespace std::chrono_literals;

// Sense data in a response code's own format, with additional length 10.
std::vector<uint8_t> Sense(uint8_t response_code, uint8_t key, uint8_t asc, uint8_t ascq) {
  if ((response_code & 0x7F) == 0x72 || (response_code & 0x7F) == 0x73) {
    std::vector<uint8_t> s(18, 0);
    s[0] = response_code;
    s[1] = key;
    s[2] = asc;
    s[3] = ascq;
    s[7] = 10;
    return s;
  }
  std::vector<uint8_t> s = test::FixedSense(key, asc, ascq);
  s[0] = response_code;
  if (response_code & 0x80) s[6] = 0x40;  // VALID: an information field that says something
  return s;
}

TFakeReply Check(std::vector<uint8_t> sense) {
  TFakeReply r;
  r.status = SS_ERR;
  r.target_status = STATUS_CHKCOND;
  r.sense = std::move(sense);
  return r;
}

TEST(DecodeSenseTest, EveryResponseCodeIsReadWhereItsFormatPutsTheFields) {
  struct Case {
    uint8_t code;
    bool recognised, descriptor, deferred;
  } cases[] = {
      {0x70, true, false, false}, {0xF0, true, false, false}, {0x71, true, false, true},
      {0xF1, true, false, true},  {0x72, true, true, false},  {0x73, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.code));
    const TSenseFields f = DecodeSense(Sense(c.code, 0x03, 0x0C, 0x09));
    EXPECT_EQ(f.recognised, c.recognised);
    EXPECT_EQ(f.descriptor, c.descriptor);
    EXPECT_EQ(f.deferred, c.deferred);
    EXPECT_EQ(f.DeferredError(), c.deferred);
    EXPECT_EQ(f.key, 0x03);
    EXPECT_EQ(f.asc, 0x0C);
    EXPECT_EQ(f.ascq, 0x09);
  }
  // A deferred recovered error reports a success.
  EXPECT_FALSE(DecodeSense(Sense(0x71, 0x01, 0x17, 0x01)).DeferredError());
  EXPECT_FALSE(DecodeSense(Sense(0x7F, 0x03, 0x0C, 0x00)).recognised);
  EXPECT_EQ(DecodeSense(std::vector<uint8_t>{0x72, 0x02}).key, 2) << "missing bytes read as zero";
  EXPECT_EQ(DecodeSense(std::vector<uint8_t>{0x72, 0x02}).asc, 0);
}

TEST(DecodeSenseTest, DescriptorFormatTakesFilemarkEndOfMediumAndLengthFromItsDescriptors) {
  // Header, an information descriptor (00h, 12 bytes), then the stream
  // commands descriptor (04h) with EOM and ILI set.
  std::vector<uint8_t> sense = {0x72, 0x00, 0x00, 0x00, 0, 0, 0, 14 + 4};
  const std::vector<uint8_t> information = {0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x34};
  sense.insert(sense.end(), information.begin(), information.end());
  sense.insert(sense.end(), {0x04, 0x02, 0x00, 0x60});
  const TSenseFields f = DecodeSense(sense);
  EXPECT_EQ(f.flags, 0x60);
  EXPECT_EQ(SenseKeyText(f.KeyByte()), "FIN DU DISQUE");
  sense[7] = 14;  // the additional length stops before the stream descriptor
  EXPECT_EQ(DecodeSense(sense).flags, 0);
}

TEST(DecodeSenseTest, ProgressIndicationIsReadOnlyWhereSpcPutsIt) {
  // A blank in progress: 04/07 with SKSV and 3/4 done, in fixed format.
  std::vector<uint8_t> fixed = Sense(0x70, 0x02, 0x04, 0x07);
  fixed[15] = 0x80;
  fixed[16] = 0xC0;
  fixed[17] = 0x01;
  EXPECT_EQ(DecodeSense(fixed).progress, 0xC001);
  fixed[2] = 0x00;  // NO SENSE (a background format) carries one too
  EXPECT_EQ(DecodeSense(fixed).progress, 0xC001);
  fixed[2] = 0x05;  // ILLEGAL REQUEST: the same bytes point at a field, not a progress
  EXPECT_EQ(DecodeSense(fixed).progress, -1);
  fixed[2] = 0x02;
  fixed[15] = 0x00;  // SKSV clear
  EXPECT_EQ(DecodeSense(fixed).progress, -1);
  fixed[15] = 0x80;
  fixed[7] = 6;  // the additional length stops before byte 15
  EXPECT_EQ(DecodeSense(fixed).progress, -1);

  // Descriptor format: the sense-key specific descriptor (02h) after an information descriptor.
  std::vector<uint8_t> sense = {0x72, 0x02, 0x04, 0x04, 0, 0, 0, 12 + 8};
  sense.insert(sense.end(), {0x00, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  sense.insert(sense.end(), {0x02, 0x06, 0, 0, 0x80, 0x40, 0x00, 0});
  EXPECT_EQ(DecodeSense(sense).progress, 0x4000);
  sense[7] = 12 + 4;  // cut inside the descriptor
  EXPECT_EQ(DecodeSense(sense).progress, -1);
}

// ---------------------------------------------------------------------------
// The readiness wait.

class ReadyWait : public test::FakeDriveTest {
 protected:
  void SetUp() override {
    FakeDriveTest::SetUp();
    device->Sleep = [this](int ms) { slept_ms += ms; };
  }
  std::atomic<int> slept_ms{0};
};

TEST_F(ReadyWait, DescriptorFormatNotReadyKeepsTheWaitGoingUntilTheDriveIsReady) {
  std::atomic<int> polls{0};
  fake->responder = [&polls](const TRecordedRequest& r) -> std::optional<TFakeReply> {
    if (r.opcode() == 0x51 && ++polls <= 4) return Check(Sense(0x72, 0x02, 0x04, 0x08));
    return std::nullopt;
  };
  EXPECT_TRUE(device->WaitUntilReady(30000, 1000));
  EXPECT_EQ(polls, 5) << "four not-ready answers, then the ready one";
  EXPECT_EQ(device->LastAsc(), 0);
}

TEST_F(ReadyWait, CurrentSenseWithTheValidBitIsASettledDrive) {
  // TEST UNIT READY fails once, so the wait asks REQUEST SENSE: F0h, 00/00.
  std::atomic<int> units{0};
  fake->responder = [&units](const TRecordedRequest& r) -> std::optional<TFakeReply> {
    if (r.opcode() == 0x00 && ++units == 1) return Check(Sense(0x70, 0x06, 0x28, 0x00));
    if (r.opcode() == 0x03) return test::Good(Sense(0xF0, 0x00, 0x00, 0x00));
    return std::nullopt;
  };
  EXPECT_TRUE(device->WaitUntilReady(30000, 1000));
  EXPECT_LT(slept_ms, 5000);
}

TEST_F(ReadyWait, ADeferredErrorEndsTheWaitWithTheDrivesReason) {
  for (const uint8_t code : {0x71, 0xF1, 0x73}) {
    SCOPED_TRACE(testing::Message() << std::hex << int(code));
    slept_ms = 0;
    // Kept for REQUEST SENSE after a not-ready TEST UNIT READY.
    std::atomic<int> units{0};
    fake->responder = [&units, code](const TRecordedRequest& r) -> std::optional<TFakeReply> {
      if (r.opcode() == 0x00 && ++units == 1) return Check(Sense(0x70, 0x02, 0x04, 0x08));
      if (r.opcode() == 0x03) return test::Good(Sense(code, 0x03, 0x72, 0x00));
      return std::nullopt;
    };
    EXPECT_FALSE(device->WaitUntilReady(240000, 5000));
    EXPECT_LT(slept_ms, 30000) << "not the whole budget";
    EXPECT_EQ(device->LastError, "ERREUR DISQUE (SESSION FIXATION ERROR)");
    EXPECT_TRUE(device->LastDeferredError());

    // Reported on READ DISC INFORMATION instead: the same.
    fake->responder = [code](const TRecordedRequest& r) -> std::optional<TFakeReply> {
      if (r.opcode() == 0x51) return Check(Sense(code, 0x03, 0x72, 0x00));
      return std::nullopt;
    };
    EXPECT_FALSE(device->WaitUntilReady(240000, 5000));
    EXPECT_TRUE(device->LastDeferredError());
    EXPECT_EQ(device->LastAsc(), 0x72);
  }
}

// ---------------------------------------------------------------------------
// The erase thread's waits, on a CD-RW: after the BLANK, `after_blank`
// answers the drive's polls (nullopt: the default, ready, answer).

class EraseSense : public test::FakeDriveTest {
 protected:
  using TPolls = std::function<std::optional<TFakeReply>(const TRecordedRequest&)>;

  void SetUp() override {
    FakeDriveTest::SetUp();
    device->Sleep = [this](int ms) { slept_ms += ms; };
    device->Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
    device->OnEraseDone = [this](TObject*, bool with_error) {
      ++done;
      failed = with_error;
    };
  }
  void Drive(TPolls after_blank) {
    fake->responder = [this, after_blank](const TRecordedRequest& r) -> std::optional<TFakeReply> {
      if (r.opcode() == 0x46) return test::Good({0, 0, 0, 8, 0, 0, 0x00, 0x0A});  // current profile: CD-RW
      if (r.opcode() == 0xA1) {
        blanked = true;
        return test::Good();
      }
      if (blanked) return after_blank(r);
      return std::nullopt;
    };
  }

  // Starts a quick erase and waits (boundedly) for OnEraseDone.
  void RunErase() {
    ASSERT_TRUE(device->EraseDisc(true)) << device->EraseErrorText;
    const auto start = std::chrono::steady_clock::now();
    while (done == 0 && std::chrono::steady_clock::now() - start < 30s) queue_.RunFor(20ms);
    ASSERT_EQ(done, 1);
  }

  CallQueue queue_;
  std::atomic<bool> blanked{false};
  std::atomic<int> slept_ms{0};
  int done = 0;
  bool failed = false;
};

TEST_F(EraseSense, ADriveAnsweringCurrentSenseWithTheValidBitIsDoneAtOnce) {
  std::atomic<int> units{0};
  Drive([&units](const TRecordedRequest& r) -> std::optional<TFakeReply> {
    // Still blanking at the first look, so the thread asks REQUEST SENSE.
    if (r.opcode() == 0x00 && ++units == 1) return Check(Sense(0x70, 0x02, 0x04, 0x07));
    if (r.opcode() == 0x03) return test::Good(Sense(0xF0, 0x00, 0x00, 0x00));
    return std::nullopt;
  });
  RunErase();
  EXPECT_FALSE(failed) << device->EraseErrorText;
  EXPECT_LT(slept_ms, 20000) << "the 150-second estimate was not waited out";
}

class EraseDeferred : public EraseSense, public ::testing::WithParamInterface<std::tuple<uint8_t, uint8_t>> {};

TEST_P(EraseDeferred, ADeferredErrorFailsTheEraseWithTheDrivesReason) {
  const auto [code, opcode] = GetParam();
  std::atomic<int> units{0};
  Drive([&, code = code, opcode = opcode](const TRecordedRequest& r) -> std::optional<TFakeReply> {
    if (opcode == 0x03) {  // kept for REQUEST SENSE: TEST UNIT READY says "busy" first
      if (r.opcode() == 0x00 && ++units == 1) return Check(Sense(0x70, 0x02, 0x04, 0x07));
      if (r.opcode() == 0x03) return test::Good(Sense(code, 0x03, 0x51, 0x00));
    } else if (r.opcode() == opcode && ++units == 1) {
      return Check(Sense(code, 0x03, 0x51, 0x00));
    }
    return std::nullopt;
  });
  RunErase();
  EXPECT_TRUE(failed);
  EXPECT_EQ(device->EraseErrorText, "LE GRAVEUR SIGNALE L'ÉCHEC DE L'EFFACEMENT [ERREUR DISQUE (ERASE FAILURE)]");
  EXPECT_LT(slept_ms, 20000);
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<uint8_t, uint8_t>>& param) {
  const auto [code, opcode] = param.param;
  const char* hex = "0123456789ABCDEF";
  return std::string(1, hex[code >> 4]) + hex[code & 15] + (opcode == 0 ? "h_OnTestUnitReady" : "h_OnRequestSense");
}

INSTANTIATE_TEST_SUITE_P(CodesAndCommands, EraseDeferred,
                         ::testing::Combine(::testing::Values(uint8_t{0x71}, uint8_t{0xF1}, uint8_t{0x73}),
                                            ::testing::Values(uint8_t{0x00}, uint8_t{0x03})),
                         CaseName);

TEST_F(EraseSense, DescriptorFormatNotReadyIsWaitedForUntilTheDriveIsDone) {
  // Busy, in descriptor format, for the first twelve polls of any kind.
  std::atomic<int> polls{0};
  Drive([&polls](const TRecordedRequest& r) -> std::optional<TFakeReply> {
    const bool poll = r.opcode() == 0x00 || r.opcode() == 0x51 || r.opcode() == 0x03;
    if (!poll || ++polls > 12) return std::nullopt;
    if (r.opcode() == 0x03) return test::Good(Sense(0x72, 0x02, 0x04, 0x07));
    return Check(Sense(0x72, 0x02, 0x04, 0x07));
  });
  RunErase();
  EXPECT_FALSE(failed) << device->EraseErrorText;
  EXPECT_GT(polls, 12) << "the erase ended while the drive still said it was blanking";
}

}  // namespace
}  // namespace zamo
