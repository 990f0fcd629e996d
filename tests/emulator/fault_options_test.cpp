// The fault options a matrix over the phases of a burn uses: not ready and
// busy without end, faults that begin at a write's block, at the first flush
// or at the first close (faultat=), a disc taken away at the close, a command
// of any opcode that never completes, write errors of every kind with the
// sense a drive gives, flushes and closes that take their time, and the
// command trace.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "emulator/emulated_backend.h"
#include "tests/emulator/emu_test_util.h"

namespace zamo::emu::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr TSenseCode kBecomingReady{2, 0x04, 0x01};
constexpr TSenseCode kLongWrite{2, 0x04, 0x08};

TDriveConfig Parse(const std::string& entry) {
  std::vector<TDriveConfig> configs;
  std::string error;
  EXPECT_TRUE(ParseDriveList(entry, &configs, &error)) << error;
  return configs.empty() ? TDriveConfig{} : configs[0];
}

TEST(FaultOptions, AreReadAndRefusedWithTheirNames) {
  const TDriveConfig forever = Parse("cd-r:a,notready=always,busy=always,faultat=1500,removeat=close,trace=/t/x");
  EXPECT_EQ(forever.not_ready_commands, kWithoutEnd);
  EXPECT_EQ(forever.busy_commands, kWithoutEnd);
  EXPECT_EQ(forever.fault_start, (TFaultStart{TFaultStart::TAt::kWrite, 1500}));
  EXPECT_TRUE(forever.remove_at_close);
  EXPECT_FALSE(forever.remove_at.has_value());
  EXPECT_EQ(forever.trace_path, "/t/x");
  EXPECT_EQ(Parse("cd-r:a,faultat=sync").fault_start->at, TFaultStart::TAt::kSynchronize);
  EXPECT_EQ(Parse("cd-r:a,faultat=close").fault_start->at, TFaultStart::TAt::kClose);
  EXPECT_EQ(Parse("cd-r:a,removeat=77").remove_at, 77u);
  EXPECT_FALSE(Parse("cd-r:a").fault_start.has_value());

  std::vector<TDriveConfig> configs;
  std::string error;
  for (const char* bad : {"notready=never", "busy=-1", "notready=4294967295", "faultat=soon", "faultat=",
                          "removeat=sync", "trace="}) {
    EXPECT_FALSE(ParseDriveList(std::string("cd-r:a,") + bad, &configs, &error)) << bad;
    const std::string name(bad, std::string(bad).find('='));
    EXPECT_TRUE(error.substr(error.find(")\u00A0: ") + 5).starts_with(name)) << bad << " -> " << error;
  }
}

// ---------------------------------------------------------------------------
// On the unit: a CD-R recorded track at once.

class FaultUnit : public UnitTest {
 protected:
  void LoadWith(const std::string& options, TMediaKind kind = TMediaKind::kCdR) {
    Load(Parse(std::string(Traits(kind).name) + ":" + ImagePath() + "," + options), [this] { return now_; });
    if (Traits(kind).is_cd) {
      ASSERT_EQ(SenseOf(Out(ModeSelect(60), WriteParams(0x41, 0xC4))), kGood);
    }
  }
  // A blank disc again, for the next case.
  void Fresh() {
    unit_.reset();
    std::filesystem::remove(ImagePath());
    std::filesystem::remove(ImagePath() + ".state");
  }
  TSenseCode RequestedSense() {
    EXPECT_TRUE(In(RequestSense()).good());
    return {static_cast<uint8_t>(in_[2] & 0x0F), in_[12], in_[13]};
  }
  Clock::time_point now_{};
};

TEST_F(FaultUnit, NotReadyAlwaysNeverEndsAndRequestSenseSaysSo) {
  LoadWith("notready=always", TMediaKind::kDvdPlusR);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(SenseOf(None(TestUnitReady())), kBecomingReady) << i;
  EXPECT_EQ(WriteBlocks(0, 16), kBecomingReady);
  EXPECT_EQ(RequestedSense(), kBecomingReady);
  EXPECT_TRUE(In(Inquiry()).good()) << "INQUIRY is answered by a drive that is not ready";
}

TEST_F(FaultUnit, BusyAlwaysNeverEnds) {
  LoadWith("busy=always", TMediaKind::kDvdPlusR);
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(None(TestUnitReady()).status, STATUS_BUSY) << i;
  EXPECT_EQ(In(ReadDiscInfo()).status, STATUS_BUSY);
  EXPECT_TRUE(In(Inquiry()).good());
  EXPECT_EQ(RequestedSense(), kGood) << "a busy status carries no sense";
}

TEST_F(FaultUnit, NotReadyFromAWritesBlockLeavesWhatCameBeforeAndRecordsNothingAfter) {
  LoadWith("notready=always,faultat=40");
  EXPECT_EQ(WriteBlocks(0, 32, 0x11), kGood);
  EXPECT_EQ(SenseOf(None(SynchronizeCache())), kGood) << "a flush before the block is not touched";
  EXPECT_EQ(WriteBlocks(32, 32, 0x22), kLongWrite) << "the write reaching block 40";
  for (const Cdb& cdb : {TestUnitReady(), ReadDiscInfo(), SynchronizeCache(), Close(1, 1), Write10(32, 32)})
    EXPECT_EQ(SenseOf(Run(cdb, TDataDirection::kNone, {})), kLongWrite) << int(cdb.opcode());
  EXPECT_EQ(RequestedSense(), kLongWrite);

  // Another unit on the same files: only the first write was recorded.
  Load(Config(TMediaKind::kCdR));
  EXPECT_EQ(Track(1).next_writable, 32u);
}

TEST_F(FaultUnit, BusyAndHangFromTheFirstFlushOrClose) {
  LoadWith("busy=always,faultat=close");
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_EQ(SenseOf(None(SynchronizeCache())), kGood);
  EXPECT_EQ(None(Close(1, 1)).status, STATUS_BUSY);
  EXPECT_EQ(None(TestUnitReady()).status, STATUS_BUSY);
  Load(Config(TMediaKind::kCdR));
  EXPECT_TRUE(Track(1).nwa_valid) << "the track was not closed";

  // hang= with faultat=: the same opcode answers before, never after.
  Fresh();
  LoadWith("hang=51,faultat=sync");
  EXPECT_TRUE(In(ReadDiscInfo()).good());
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_TRUE(None(SynchronizeCache()).good());
  EXPECT_TRUE(In(ReadDiscInfo()).never);
  EXPECT_TRUE(None(TestUnitReady()).good()) << "other commands are answered";
}

TEST_F(FaultUnit, ACountedFaultFromTheCloseEnds) {
  LoadWith("notready=2,faultat=close");
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_EQ(SenseOf(None(Close(1, 1))), kLongWrite);
  EXPECT_EQ(SenseOf(None(Close(1, 1))), kLongWrite);
  EXPECT_EQ(SenseOf(None(Close(1, 1))), kGood);
  EXPECT_EQ(RequestedSense(), kGood);
}

TEST_F(FaultUnit, TheDiscTakenAwayAtTheCloseIsNotClosed) {
  LoadWith("removeat=close");
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  EXPECT_EQ(SenseOf(None(SynchronizeCache())), kGood);
  EXPECT_EQ(SenseOf(None(Close(1, 1))), (TSenseCode{2, 0x3A, 0x00}));
  EXPECT_EQ(SenseOf(None(TestUnitReady())), (TSenseCode{2, 0x3A, 0x00}));
  EXPECT_EQ(RequestedSense(), (TSenseCode{2, 0x3A, 0x00}));

  Load(Config(TMediaKind::kCdR));
  EXPECT_EQ(Track(1).next_writable, 32u) << "the data stays";
  EXPECT_TRUE(Track(1).nwa_valid) << "the track stays open";
}

TEST_F(FaultUnit, WriteErrorsRecordWhatADriveWouldAndNameTheBlock) {
  struct Case {
    TSenseCode sense;
    uint32_t recorded;       // blocks recorded by the write of 0-31 failing at block 20
    uint8_t response_code;   // F0h: VALID, the information field holds the block
  } cases[] = {
      {{3, 0x0C, 0x00}, 20, 0xF0},
      {{3, 0x0C, 0x09}, 20, 0xF0},
      {{4, 0x44, 0x00}, 20, 0xF0},
      {{5, 0x21, 0x02}, 0, 0x70},  // refused: nothing written
      {{2, 0x04, 0x08}, 0, 0x70},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.sense.key) << "/" << std::hex << int(c.sense.asc) << "/"
                                    << int(c.sense.ascq));
    Fresh();
    char option[64];
    std::snprintf(option, sizeof option, "writeerror=20:%X/%02X/%02X", c.sense.key, c.sense.asc, c.sense.ascq);
    LoadWith(option);
    const TCommandResult result = Out(Write10(0, 32), std::vector<uint8_t>(32 * 2048, 0x5A));
    ASSERT_EQ(result.status, STATUS_CHKCOND);
    EXPECT_EQ(result.code(), c.sense);
    EXPECT_EQ(result.sense[0], c.response_code);
    if (c.response_code == 0xF0) {
      EXPECT_EQ(GetBe32(result.sense, 3), 20u);
    }
    EXPECT_EQ(Track(1).next_writable, c.recorded);
  }
}

TEST_F(FaultUnit, FlushesAndClosesWithoutTheImmediateBitTakeTheirTime) {
  LoadWith("sync=3,close=2");
  EXPECT_EQ(WriteBlocks(0, 32), kGood);
  TCommandResult flush = None(SynchronizeCache());
  ASSERT_TRUE(flush.retry_at.has_value());
  EXPECT_EQ(*flush.retry_at - now_, 3s);
  now_ += 2s;
  EXPECT_EQ(*None(SynchronizeCache()).retry_at - now_, 1s) << "taken again, it keeps its end";
  now_ += 1s;
  EXPECT_TRUE(None(SynchronizeCache()).good());
  TCommandResult close = None(Close(1, 1));
  ASSERT_TRUE(close.retry_at.has_value());
  EXPECT_EQ(*close.retry_at - now_, 2s);
  EXPECT_EQ(Track(1).next_writable, 32u) << "still open while it closes";
  now_ += 2s;
  EXPECT_TRUE(None(Close(1, 1)).good());
  EXPECT_FALSE(Track(1).nwa_valid) << "closed";
}

TEST_F(FaultUnit, TheTraceHasOneLinePerCommandWithItsAnswer) {
  const std::string trace = dir_ / "trace.txt";
  LoadWith("trace=" + trace + ",busy=1,writeerror=5:3/0C/00,hang=5C", TMediaKind::kDvdPlusR);
  now_ += 1500ms;
  None(TestUnitReady());
  EXPECT_EQ(WriteBlocks(0, 16), (TSenseCode{3, 0x0C, 0x00}));
  now_ += 250ms;
  In(Cdb(0x5C, 10).Be16(7, 12));
  std::ifstream in(trace);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(),
            "    1.500 00 00 00 00 00 00 -> BUSY\n"
            "    1.500 2A 00 00 00 00 00 00 00 10 00 -> CHECK CONDITION 3/0C/00\n"
            "    1.750 5C 00 00 00 00 00 00 00 0C 00 -> NEVER ANSWERED\n");
}

// ---------------------------------------------------------------------------
// hang=: every command the drive knows can be the one that never completes.

TEST(HangEveryOpcode, TheCommandStaysPendingUntilAbortedAndTheDriveAnswersOthers) {
  const uint8_t opcodes[] = {0x00, 0x01, 0x03, 0x04, 0x12, 0x1B, 0x1E, 0x23, 0x25, 0x28, 0x2A, 0x35, 0x43, 0x46, 0x51,
                             0x52, 0x53, 0x54, 0x55, 0x5A, 0x5B, 0x5C, 0x5D, 0xA1, 0xA8, 0xAA, 0xB6, 0xBB, 0xBF};
  zamo::test::TempDir dir;
  for (const uint8_t opcode : opcodes) {
    SCOPED_TRACE(testing::Message() << std::hex << int(opcode));
    char option[16];
    std::snprintf(option, sizeof option, "hang=%02X", opcode);
    std::string error;
    auto back_end = CreateEmulatedBackEnd("cd-rw:" + (dir / "a.img") + "," + option, &error);
    ASSERT_NE(back_end, nullptr) << error;
    auto& emulated = static_cast<TEmulatedBackEnd&>(*back_end);

    TCompletionEvent done;
    TSRB_ExecSCSICmd hung{};
    hung.SRB_Cmd = SC_EXEC_SCSI_CMD;
    hung.SRB_CDBLen = opcode < 0x20 ? 6 : opcode < 0xA0 ? 10 : 12;
    hung.CDBByte[0] = opcode;
    hung.SRB_SenseLen = kSenseLength;
    hung.SRB_PostProc = &done;
    ASSERT_EQ(back_end->SendASPI32Command(&hung), SS_PENDING);
    EXPECT_FALSE(done.Wait(30));
    EXPECT_EQ(emulated.PendingCount(), 1u);

    // The drive still answers another command meanwhile.
    TSRB_ExecSCSICmd other{};
    other.SRB_Cmd = SC_EXEC_SCSI_CMD;
    other.SRB_CDBLen = 6;
    other.CDBByte[0] = opcode == 0x12 ? 0x00 : 0x12;
    uint8_t inquiry[96] = {};
    if (other.CDBByte[0] == 0x12) {
      other.CDBByte[4] = sizeof inquiry;
      other.SRB_Flags = kFlagsIn;
      other.SRB_BufPointer = inquiry;
      other.SRB_BufLen = sizeof inquiry;
    }
    EXPECT_EQ(back_end->SendASPI32Command(&other), SS_COMP);

    TSRB_Abort abort{};
    abort.SRB_Cmd = SC_ABORT_SRB;
    abort.SRB_ToAbort = &hung;
    EXPECT_EQ(back_end->SendASPI32Command(&abort), SS_COMP);
    EXPECT_EQ(emulated.PendingCount(), 0u);
    EXPECT_FALSE(done.IsSet()) << "an aborted request is let go of, never completed";
  }
}

}  // namespace
}  // namespace zamo::emu::test
