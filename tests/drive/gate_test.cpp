// The command gate: what it fills in, how long it waits, how a request that
// never completes is let go, and the error log line.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"
#include "tests/drive/fake_backend.h"

namespace zamo {
namespace {

using test::FakeDriveTest;
using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point since) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TSRB_ExecSCSICmd ReadRequest(uint8_t* buffer, uint32_t length) {
  TSRB_ExecSCSICmd r{};
  r.SRB_Flags = kFlagsIn;
  r.SRB_CDBLen = 10;
  r.CDBByte[0] = 0x28;
  r.CDBByte[1] = 0x1F;  // low five bits are the caller's
  r.SRB_BufLen = length;
  r.SRB_BufPointer = buffer;
  return r;
}

using GateTest = FakeDriveTest;

TEST_F(GateTest, FillsAddressSenseLengthTimeoutAndLunBits) {
  fake->AddDevice(2, 5, 3, test::MakeInquiry(5, "V", "P", "R"));
  Address(2, 5, 3);
  uint8_t buffer[16] = {};
  TSRB_ExecSCSICmd r = ReadRequest(buffer, sizeof buffer);
  EXPECT_EQ(device->ExecuteCommand(r, 1234), SS_COMP);
  const test::TRecordedRequest seen = fake->Last();
  EXPECT_EQ(seen.ha, 2);
  EXPECT_EQ(seen.target, 5);
  EXPECT_EQ(seen.lun, 3);
  EXPECT_EQ(seen.sense_length, 24);
  EXPECT_EQ(seen.timeout_ms, 1234u);
  EXPECT_TRUE(seen.has_event);
  EXPECT_EQ(seen.cdb[1], (3 << 5) | 0x1F);
  EXPECT_EQ(r.SRB_Cmd, SC_EXEC_SCSI_CMD);
  EXPECT_EQ(r.SRB_Status, SS_COMP);
  EXPECT_EQ(r.SRB_PostProc, nullptr) << "the gate's event must not outlive the call";
}

TEST_F(GateTest, NothingIsSentWithoutDeviceOrBackEnd) {
  uint8_t buffer[4] = {};
  TSRB_ExecSCSICmd r = ReadRequest(buffer, sizeof buffer);
  Address(0xFE, 0xFE, 0xFE);
  EXPECT_EQ(device->ExecuteCommand(r, 1000), SS_NO_ASPI);
  EXPECT_EQ(r.SRB_Cmd, 0) << "the request is not touched";
  EXPECT_TRUE(fake->Requests().empty());

  Address(1, 0, 0);
  transport::AspiUnload();
  EXPECT_EQ(device->ExecuteCommand(r, 1000), SS_NO_ASPI);
  // A command that could not be sent is a failure, even one that accepts a
  // pending status.
  uint8_t data[2048] = {};
  EXPECT_FALSE(device->Write10(0, 1, data, sizeof data, kFlagsOut));
  EXPECT_FALSE(device->Blank(true));
}

TEST_F(GateTest, EachCommandStartsWithAClearFailureState) {
  fake->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() != 0x00) return std::nullopt;
    test::TFakeReply busy;
    busy.status = SS_ERR;
    busy.target_status = STATUS_BUSY;
    busy.sense = test::FixedSense(2, 4, 1);
    return busy;
  };
  EXPECT_FALSE(device->TestUnitReady(1000));
  EXPECT_TRUE(device->TargetBusy);
  EXPECT_EQ(device->LastError, "CIBLE OCCUPÉE (LOGICAL UNIT IS IN PROCESS OF BECOMING READY)");
  EXPECT_EQ(device->LastAsc(), 4);

  uint32_t lba = 0, length = 0;
  EXPECT_TRUE(device->ReadCapacity(lba, length));
  EXPECT_FALSE(device->TargetBusy);
  EXPECT_EQ(device->LastError, "");
  for (uint8_t b : device->LastSense) EXPECT_EQ(b, 0);
}

TEST_F(GateTest, PendingRequestCompletedInTimeSucceeds) {
  device->MinimumCommandWaitMs = 20;
  fake->responder = [](const test::TRecordedRequest&) -> std::optional<test::TFakeReply> { return test::Pending(); };
  std::thread completer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    fake->CompletePending(test::Good({0xAB, 0xCD}));
  });
  uint8_t buffer[2] = {};
  TSRB_ExecSCSICmd r = ReadRequest(buffer, sizeof buffer);
  // The caller's timeout (2 s) is above the floor, so the completion at
  // 150 ms is waited for.
  EXPECT_EQ(device->ExecuteCommand(r, 2000), SS_COMP);
  completer.join();
  EXPECT_EQ(r.SRB_Status, SS_COMP);
  EXPECT_EQ(buffer[0], 0xAB);
  EXPECT_EQ(buffer[1], 0xCD);
  EXPECT_TRUE(fake->Aborts().empty());
}

TEST_F(GateTest, TimedOutRequestIsAbortedAndItsBufferLeftAlone) {
  EXPECT_EQ(TSCSIDevice::kMinimumCommandWaitMs, 10000);
  device->MinimumCommandWaitMs = 100;  // the floor applies to a shorter timeout
  fake->responder = [](const test::TRecordedRequest&) -> std::optional<test::TFakeReply> { return test::Pending(); };
  uint8_t buffer[8] = {};
  TSRB_ExecSCSICmd r = ReadRequest(buffer, sizeof buffer);
  const auto start = Clock::now();
  EXPECT_EQ(device->ExecuteCommand(r, 10), SS_COMP);
  const int waited = ElapsedMs(start);
  EXPECT_GE(waited, 100);
  EXPECT_LT(waited, 5000);

  ASSERT_EQ(fake->Aborts().size(), 1u);
  EXPECT_EQ(fake->Aborts()[0], &r) << "the abort names the timed-out request";
  EXPECT_EQ(fake->PendingCount(), 0);
  EXPECT_EQ(r.SRB_Status, SS_ERR);
  EXPECT_EQ(r.SRB_HaStat, HASTAT_TIMEOUT);
  EXPECT_EQ(device->LastError, "COMMAND TIMEOUT (LE GRAVEUR NE RÉPOND PAS)");
  EXPECT_TRUE(device->LastCommandTimedOut);
  EXPECT_TRUE(device->LastFailureIsTransport());

  // A completion arriving now finds nothing to write into.
  fake->CompletePending(test::Good({1, 2, 3, 4, 5, 6, 7, 8}));
  for (uint8_t b : buffer) EXPECT_EQ(b, 0);
  EXPECT_EQ(r.SRB_Status, SS_ERR);
}

// RunCommand with a short timeout: WRITE (10) itself waits 120 s.
struct ExposedDevice : TSCSIDevice {
  ExposedDevice() : TSCSIDevice(nullptr) {}
  using TSCSIDevice::RunCommand;
};

TEST_F(GateTest, TimedOutWriteIsAFailureDespiteAcceptingPending) {
  ExposedDevice writer;
  writer.HaId = 1;
  writer.TargetId = 0;
  writer.Lun = 0;
  writer.MinimumCommandWaitMs = 30;
  fake->responder = [](const test::TRecordedRequest&) -> std::optional<test::TFakeReply> { return test::Pending(); };
  uint8_t data[2048] = {};
  const Cdb write = Cdb(0x2A, 10).Be32(2, 100).Be16(7, 1);
  EXPECT_FALSE(writer.RunCommand(write, kFlagsOut, data, sizeof data, 10, /*accept_pending=*/true));
  EXPECT_EQ(fake->Aborts().size(), 1u);
  EXPECT_EQ(writer.LastAsc(), 0) << "no sense: the writer retries such a failure";
}

TEST_F(GateTest, WriteAndBlankAcceptAnAnswerOfStatusZero) {
  fake->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    test::TFakeReply reply;
    reply.status = SS_PENDING;  // answered at once, with the status still 0
    return r.opcode() == 0x2A || r.opcode() == 0xA1 || r.opcode() == 0x00 ? std::optional(reply) : std::nullopt;
  };
  uint8_t data[2048] = {};
  EXPECT_TRUE(device->Write10(0, 1, data, sizeof data, kFlagsOut));
  EXPECT_TRUE(device->Blank(false));
  EXPECT_FALSE(device->TestUnitReady(1000)) << "other commands need status 1";
  EXPECT_TRUE(fake->Aborts().empty());
}

// ---- Error log line ---------------------------------------------------------

class ErrorLogTest : public FakeDriveTest {
 protected:
  void SetUp() override {
    FakeDriveTest::SetUp();
    fake->AddDevice(1, 10, 0, test::MakeInquiry(5, "V", "P", "R"));
    Address(1, 10, 0);
    StartLogging();
  }
};

TEST_F(ErrorLogTest, FailedWriteGivesTheExactLine) {
  fake->responder = [](const test::TRecordedRequest&) -> std::optional<test::TFakeReply> {
    return test::CheckCondition(3, 0x0C, 0x00);
  };
  const uint8_t data[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  EXPECT_FALSE(device->Write10(0x12345, 2, data, sizeof data, kFlagsOut));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0],
            "<<< WRITE (10)             (2A) {50|0A} - 1:A:0 <04> [00004] "
            "00 00 01 23 45 00 00 02 00 00 00 00 00 00 00  |DE AD BE EF = 00 02 70 03 ASC:0C,ASQ:00 "
            "ERREUR DISQUE (WRITE ERROR)");
}

TEST_F(ErrorLogTest, DataShownUpTo257BytesAndEveryFailureLogged) {
  fake->responder = [](const test::TRecordedRequest&) -> std::optional<test::TFakeReply> {
    return test::CheckCondition(5, 0x21, 0x02);
  };
  std::vector<uint8_t> data(2048, 0x11);
  EXPECT_FALSE(device->Write10(0, 1, data.data(), 2048, kFlagsOut));
  EXPECT_FALSE(device->Write10(1, 1, data.data(), 2048, kFlagsOut));
  ASSERT_EQ(log.size(), 2u) << "the line is written for every failure, not only the first";
  const std::string& line = log[0];
  const size_t bar = line.rfind('|');
  const size_t end = line.find("= 00 02");
  ASSERT_NE(bar, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  EXPECT_EQ(end - bar - 1, 257u * 3);
  EXPECT_NE(line.find("[00800]"), std::string::npos);
  EXPECT_NE(line.find("REQUÊTE ILLÉGALE (INVALID ADDRESS FOR WRITE)"), std::string::npos);
}

TEST_F(ErrorLogTest, QuietCommandsLongWritesAndDisabledLogStaySilent) {
  fake->responder = [](const test::TRecordedRequest& r) -> std::optional<test::TFakeReply> {
    if (r.opcode() == 0x2A) return test::CheckCondition(2, 0x04, 0x08);  // long write in progress
    return test::CheckCondition(2, 0x3A, 0x00);
  };
  uint8_t buffer[56] = {};
  EXPECT_FALSE(device->TestUnitReady(1000));
  EXPECT_FALSE(device->ReadDiscInfo());
  EXPECT_FALSE(device->SetCdSpeed(0, 0));
  EXPECT_FALSE(device->ModeSense(0x2A, buffer, false, 56, sizeof buffer));
  EXPECT_FALSE(device->Write10(0, 1, buffer, sizeof buffer, kFlagsOut));
  EXPECT_TRUE(log.empty());

  EXPECT_FALSE(device->Read10(0, 1, buffer, sizeof buffer));
  EXPECT_EQ(log.size(), 1u);
  device->LogCommandErrors = false;
  EXPECT_FALSE(device->Read10(0, 1, buffer, sizeof buffer));
  EXPECT_EQ(log.size(), 1u);
  EXPECT_TRUE(device->ErrorLogDone) << "set by the first command";
}

TEST_F(ErrorLogTest, FirstCommandSetsErrorLogDone) {
  TSCSIDevice fresh(nullptr);  // scans the fake's devices on creation
  EXPECT_TRUE(fresh.ErrorLogDone);
  transport::AspiUnload();
  TSCSIDevice idle(nullptr);
  EXPECT_FALSE(idle.ErrorLogDone);
}

}  // namespace
}  // namespace zamo
