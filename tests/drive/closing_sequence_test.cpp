// The closing sequence per disc kind against a scripted drive: the write
// parameters, the close commands and the waits in their order for every
// kind, finalized or left open; the flush per kind; the retries of a close
// the drive is too busy for; the reasons a close fails; the drive returned
// to idle.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "burner/drive/closing_sequence.h"
#include "burner/drive/messages.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

using Trace = std::vector<std::string>;

class ClosingSequenceTest : public test::FakeDriveTest {
 protected:
  void SetUp() override {
    FakeDriveTest::SetUp();
    device->Sleep = [](int) {};
    device->LogCommandErrors = false;
    TSCSIDevice::ImmediateCloseModel = true;
    wait_ = std::make_unique<TDriveWait>(*device, abort_);
  }
  void TearDown() override {
    TSCSIDevice::ImmediateCloseModel = true;
    wait_.reset();
    FakeDriveTest::TearDown();
  }

  TClosingSequence Closing(TDiscKind kind) { return TClosingSequence(*device, *wait_, kind); }

  // Answers `opcode` with the given replies in turn, GOOD once they are used up.
  void Script(uint8_t opcode, std::vector<test::TFakeReply> replies) {
    scripts_[opcode] = std::move(replies);
    fake->responder = [this](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
      auto it = scripts_.find(r.opcode());
      if (it == scripts_.end() || it->second.empty()) return std::nullopt;
      test::TFakeReply reply = it->second.front();
      it->second.erase(it->second.begin());
      return reply;
    };
  }

  // What the drive was asked, in order, queries of its pages and features left out.
  Trace Sent() const {
    Trace trace;
    for (const auto& r : fake->Commands()) {
      const auto& c = r.cdb;
      switch (r.opcode()) {
        case 0x00: trace.push_back("ready"); break;
        case 0x01: trace.push_back("rezero"); break;
        case 0x1B: trace.push_back("load"); break;
        case 0x1E: trace.push_back(c[4] ? "lock" : "unlock"); break;
        case 0x35: trace.push_back((c[1] & 0x02) ? "flush immed" : "flush"); break;
        case 0x51: trace.push_back("disc info"); break;
        case 0x5C: trace.push_back("buffer"); break;
        case 0x55:
          // The page's multisession field: bits 7-6 of its byte 3.
          trace.push_back("page ms=" + std::to_string(r.data_out.size() > 11 ? r.data_out[11] >> 6 : -1));
          break;
        case 0x5B:
          trace.push_back("close " + std::to_string(c[2]) + "/" + std::to_string(c[5]) +
                          ((c[1] & 1) ? " immed" : ""));
          break;
        case 0xBB: trace.push_back("speed " + std::to_string(c[4] << 8 | c[5])); break;
        case 0x5A: case 0x46: case 0xAC: break;  // the drive's pages, features and performance
        default: trace.push_back("other " + std::to_string(r.opcode())); break;
      }
    }
    return trace;
  }

  std::atomic<bool> abort_{false};
  std::unique_ptr<TDriveWait> wait_;
  std::map<uint8_t, std::vector<test::TFakeReply>> scripts_;
};

struct CloseCase {
  TDiscKind kind;
  TDiscFinalize finalize;
  Trace expected;
};

void PrintTo(const CloseCase& c, std::ostream* os) {
  *os << DiscKindName(c.kind) << (c.finalize == TDiscFinalize::kFinalize ? " finalized" : " left open");
}

class CloseEveryKind : public ClosingSequenceTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseEveryKind, SendsThePageThenItsClosesEachWaitedFor) {
  const CloseCase& c = GetParam();
  const Status s = Closing(c.kind).CloseSession(7, c.finalize);
  EXPECT_TRUE(s.ok()) << s.UserText();
  EXPECT_EQ(Sent(), c.expected);
}

constexpr auto kOpen = TDiscFinalize::kLeaveOpen;
constexpr auto kFinal = TDiscFinalize::kFinalize;

INSTANTIATE_TEST_SUITE_P(
    Kinds, CloseEveryKind,
    ::testing::Values(
        // A DVD+R: its track, then its session (left appendable: 255), or the
        // session and the disc together.
        CloseCase{dkDvdPlusR, kOpen, {"page ms=3", "close 1/7 immed", "ready", "close 2/255 immed", "ready"}},
        CloseCase{dkDvdPlusR, kFinal, {"page ms=3", "close 1/7 immed", "ready", "close 5/0 immed", "ready"}},
        // A DVD+R DL announces the close in its page and finalizes with function 6.
        CloseCase{dkDvdPlusRDl, kOpen, {"page ms=0", "close 1/7 immed", "ready", "close 2/0 immed", "ready"}},
        CloseCase{dkDvdPlusRDl, kFinal, {"page ms=3", "close 1/7 immed", "ready", "close 6/0 immed", "ready"}},
        // A DVD-R: the reserved track, the session; the page decides the rest.
        CloseCase{dkDvdR, kOpen, {"page ms=3", "close 1/7 immed", "ready", "close 2/0 immed", "ready"}},
        CloseCase{dkDvdR, kFinal, {"page ms=0", "close 1/7 immed", "ready", "close 2/0 immed", "ready"}},
        CloseCase{dkDvdRwRestricted, kOpen, {"page ms=3", "close 2/0 immed", "ready"}},
        CloseCase{dkDvdRwSequential, kFinal, {"page ms=3", "close 2/0 immed", "ready"}},
        // A DVD+RW's background format ends with the close.
        CloseCase{dkDvdPlusRw, kOpen, {"page ms=0", "close 3/255 immed", "ready"}},
        CloseCase{dkDvdPlusRw, kFinal, {"page ms=0", "close 3/255 immed", "ready"}},
        // CDs: the session closed; the page says whether another may follow.
        CloseCase{dkCdR, kOpen, {"page ms=3", "close 2/0 immed", "ready"}},
        CloseCase{dkCdR, kFinal, {"page ms=0", "close 2/0 immed", "ready"}},
        CloseCase{dkCdRw, kOpen, {"page ms=3", "close 2/0 immed", "ready"}},
        // A DVD-RAM has no session to close.
        CloseCase{dkDvdRam, kFinal, {}}),
    [](const ::testing::TestParamInfo<CloseCase>& row) {
      return "Kind" + std::to_string(static_cast<int>(row.param.kind)) +
             (row.param.finalize == kFinal ? "Finalized" : "LeftOpen");
    });

TEST_F(ClosingSequenceTest, NothingIsClosedAfterATestWriteOrWithoutFinalizeTrack) {
  device->TestWrite = true;
  EXPECT_TRUE(Closing(dkCdR).CloseSession(1, kFinal).ok());
  device->TestWrite = false;
  device->FinalizeTrack = false;
  EXPECT_TRUE(Closing(dkDvdPlusR).CloseSession(1, kFinal).ok());
  EXPECT_EQ(Sent(), Trace{});
}

TEST_F(ClosingSequenceTest, DrivesThatMishandleTheImmediateBitCloseWithoutIt) {
  TSCSIDevice::ImmediateCloseModel = false;
  EXPECT_TRUE(Closing(dkCdR).CloseSession(1, kOpen).ok());
  EXPECT_EQ(Sent(), (Trace{"page ms=3", "close 2/0", "ready"}));
}

TEST_F(ClosingSequenceTest, ACloseTheDriveIsBusyForIsSentAgainThenWaitedFor) {
  Script(0x5B, {test::CheckCondition(2, 0x04, 0x08), test::CheckCondition(2, 0x04, 0x08)});
  Script(0x00, {test::CheckCondition(2, 0x04, 0x08)});
  EXPECT_TRUE(Closing(dkDvdPlusRw).CloseSession(1, kOpen).ok());
  EXPECT_EQ(Sent(), (Trace{"page ms=0", "close 3/255 immed", "close 3/255 immed", "close 3/255 immed", "ready",
                           "ready"}));
}

TEST_F(ClosingSequenceTest, ARefusedDvdCloseFailsWithTheDrivesReasonAndGoesNoFurther) {
  Script(0x5B, {test::CheckCondition(5, 0x2C, 0x00)});
  const Status s = Closing(dkDvdPlusR).CloseSession(1, kFinal);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.UserText(), std::string(msg::kCloseFailed) + " [" + device->LastError + "]");
  EXPECT_FALSE(device->LastError.empty());
  EXPECT_EQ(Sent(), (Trace{"page ms=3", "close 1/1 immed"}));
}

TEST_F(ClosingSequenceTest, ARefusedCdCloseIsTriedOnceMore) {
  Script(0x5B, {test::CheckCondition(5, 0x2C, 0x00)});
  EXPECT_TRUE(Closing(dkCdRw).CloseSession(1, kOpen).ok());
  EXPECT_EQ(Sent(), (Trace{"page ms=3", "close 2/0 immed", "close 2/0 immed", "ready"}));

  fake->ClearRequests();
  Script(0x5B, {test::CheckCondition(5, 0x2C, 0x00), test::CheckCondition(5, 0x2C, 0x00)});
  const Status s = Closing(dkCdRw).CloseSession(1, kOpen);
  EXPECT_EQ(s.UserText().rfind(msg::kCloseFailed, 0), 0u) << s.UserText();
  EXPECT_EQ(Sent(), (Trace{"page ms=3", "close 2/0 immed", "close 2/0 immed"}));
}

TEST_F(ClosingSequenceTest, AnAbortWhileTheDriveIsBusyEndsTheCloseWithTheUsersText) {
  fake->responder = [this](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() != 0x5B) return std::nullopt;
    abort_ = true;  // pressed while the drive is still busy
    return test::CheckCondition(2, 0x04, 0x08);
  };
  const Status s = Closing(dkDvdR).CloseSession(1, kOpen);
  EXPECT_EQ(s.UserText(), msg::kAbortedWhileClosing);
  EXPECT_EQ(Sent(), (Trace{"page ms=3", "close 1/1 immed"}));
}

// ---- The flush -----------------------------------------------------------------

TEST_F(ClosingSequenceTest, ADvdMinusIsPolledForItsDiscInformationOtherDiscsUntilIdle) {
  Script(0x51, {test::CheckCondition(2, 0x04, 0x08), test::CheckCondition(2, 0x04, 0x08)});
  EXPECT_TRUE(Closing(dkDvdR).FlushBuffer(false).ok());
  EXPECT_EQ(Sent(), (Trace{"flush immed", "disc info", "disc info", "disc info"}));

  for (TDiscKind kind : {dkCdR, dkDvdPlusR, dkDvdPlusRw, dkDvdRam}) {
    fake->ClearRequests();
    Script(0x00, {test::CheckCondition(2, 0x04, 0x08)});
    EXPECT_TRUE(Closing(kind).FlushBuffer(false).ok());
    EXPECT_EQ(Sent(), (Trace{"flush immed", "ready", "ready"})) << DiscKindName(kind);
  }
}

TEST_F(ClosingSequenceTest, StoppedByTheUserTheDriveIsToldToRecordAndNotWaitedFor) {
  Script(0x35, {test::CheckCondition(2, 0x04, 0x08)});
  EXPECT_TRUE(Closing(dkDvdRwSequential).FlushBuffer(true).ok());
  EXPECT_EQ(Sent(), Trace{"flush immed"});
}

TEST_F(ClosingSequenceTest, AFlushRefusedWithTheImmediateBitIsSentWithoutItAndTheLongTimeOut) {
  Script(0x35, {test::CheckCondition(5, 0x24, 0x00)});
  EXPECT_TRUE(Closing(dkCdR).FlushBuffer(false).ok());
  EXPECT_EQ(Sent(), (Trace{"flush immed", "flush"}));
  EXPECT_EQ(fake->Last().timeout_ms, static_cast<uint32_t>(TDriveWait::kLongOperationMs));
}

TEST_F(ClosingSequenceTest, AFailedFlushSaysWhy) {
  Script(0x35, {test::CheckCondition(3, 0x0C, 0x00)});
  const Status s = Closing(dkDvdR).FlushBuffer(false);
  EXPECT_EQ(s.UserText(), std::string(msg::kFlushFailed) + " [" + device->LastError + "]");
  EXPECT_EQ(Sent(), Trace{"flush immed"}) << "a DVD-R whose flush failed is not polled";
}

// ---- Back to idle --------------------------------------------------------------

TEST_F(ClosingSequenceTest, ReturnToIdleInItsOrder) {
  Closing(dkDvdPlusR).ReturnToIdle(kOpen);
  EXPECT_EQ(Sent(), (Trace{"buffer", "page ms=3", "speed 2", "rezero", "unlock", "load", "rezero", "ready"}));
  fake->ClearRequests();
  Closing(dkDvdRam).ReturnToIdle(kFinal);  // a DVD-RAM's buffer is not asked
  EXPECT_EQ(Sent(), (Trace{"page ms=0", "speed 2", "rezero", "unlock", "load", "rezero", "ready"}));
}

}  // namespace
}  // namespace zamo
