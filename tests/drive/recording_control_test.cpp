// The write parameters page for every disc kind, the write-type probe, the
// streaming descriptor and the readiness wait, checked against a scripted
// drive that records what the component sends.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "burner/drive/scsi_device.h"
#include "burner/drive/transport.h"

namespace zamo {
namespace {

struct SentCommand {
  std::vector<uint8_t> cdb;
  std::vector<uint8_t> data_out;
};

// A drive at 0:0:0 that answers through `respond`; GOOD with no data unless
// the responder says otherwise.
class ScriptedDrive : public TAspiBackEnd {
 public:
  std::vector<SentCommand> sent;
  // Returns the SCSI status; may fill the data buffer and the sense bytes.
  std::function<uint8_t(const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t* sense)> respond;

  const char* TransportName() const override { return "SCRIPTED"; }
  uint32_t GetASPI32SupportInfo() override { return 0x0101; }
  std::string DevicePath(uint8_t, uint8_t, uint8_t) const override { return "scripted0"; }
  uint32_t SendASPI32Command(void* srb) override {
    const uint8_t code = *static_cast<uint8_t*>(srb);
    if (code == SC_HA_INQUIRY) {
      auto* inquiry = static_cast<TSRB_HAInquiry*>(srb);
      inquiry->HA_Count = 1;
      inquiry->SRB_Status = SS_COMP;
      return SS_COMP;
    }
    if (code != SC_EXEC_SCSI_CMD) {
      static_cast<TSRB_ExecSCSICmd*>(srb)->SRB_Status = SS_ERR;
      return SS_ERR;
    }
    auto& request = *static_cast<TSRB_ExecSCSICmd*>(srb);
    SentCommand command;
    command.cdb.assign(request.CDBByte, request.CDBByte + request.SRB_CDBLen);
    if ((request.SRB_Flags & SRB_DIR_OUT) && request.SRB_BufPointer) {
      command.data_out.assign(request.SRB_BufPointer, request.SRB_BufPointer + request.SRB_BufLen);
    }
    sent.push_back(command);
    uint8_t sense[18] = {};
    uint8_t status = STATUS_GOOD;
    if (respond) status = respond(request.CDBByte, request.SRB_BufPointer, request.SRB_BufLen, sense);
    if (status == STATUS_GOOD) {
      request.SRB_Status = SS_COMP;
    } else {
      request.SRB_Status = SS_ERR;
      request.SRB_TargStat = status;
      std::memcpy(request.SenseArea, sense, sizeof(sense));
    }
    if (request.SRB_PostProc) request.SRB_PostProc->Set();
    return request.SRB_Status;
  }

  int Count(uint8_t opcode) const {
    int n = 0;
    for (const auto& c : sent) n += c.cdb[0] == opcode;
    return n;
  }
  const SentCommand* Last(uint8_t opcode) const {
    for (auto it = sent.rbegin(); it != sent.rend(); ++it) {
      if (it->cdb[0] == opcode) return &*it;
    }
    return nullptr;
  }
};

// Fills fixed-format sense KEY/ASC/ASCQ and returns CHECK CONDITION.
uint8_t CheckCondition(uint8_t* sense, uint8_t key, uint8_t asc, uint8_t ascq) {
  sense[0] = 0x70;
  sense[2] = key;
  sense[7] = 10;
  sense[12] = asc;
  sense[13] = ascq;
  return STATUS_CHKCOND;
}

// A drive that answers every command "becoming ready".
uint8_t BecomingReady(const uint8_t*, uint8_t*, uint32_t, uint8_t* sense) {
  return CheckCondition(sense, 0x02, 0x04, 0x01);
}

class RecordingControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto drive = std::make_unique<ScriptedDrive>();
    drive_ = drive.get();
    transport::Install(std::move(drive));
    device_.HaId = 0;
    device_.TargetId = 0;
    device_.Lun = 0;
    device_.LogCommandErrors = false;
    device_.Sleep = [this](int ms) { slept_.push_back(ms); };
    TSCSIDevice::SlowReadyVendor = false;
  }
  void TearDown() override {
    transport::AspiUnload();
  }

  // The drive's write parameters page: at offset 8 after the header, or 16
  // after a block descriptor, with a page of its own (not all zero).
  void AnswerModeSense(int page_at) {
    drive_->respond = [page_at](const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t*) -> uint8_t {
      if (cdb[0] == 0x5A && (cdb[2] & 0x3F) == 0x05 && data && length >= 80) {
        std::memset(data, 0, length);
        data[1] = static_cast<uint8_t>(page_at + 52 - 2);
        if (page_at == 16) data[7] = 8;  // block descriptor length
        uint8_t* page = data + page_at;
        page[0] = 0x05;
        page[1] = 0x32;
        page[2] = 0x0F;  // whatever the drive had
        page[3] = 0x3F;
        page[4] = 0x0A;
        for (int i = 16; i < 52; ++i) page[i] = static_cast<uint8_t>(0xA0 + i);
      }
      return STATUS_GOOD;
    };
  }

  // The page bytes of the last MODE SELECT (after its 8-byte header).
  std::vector<uint8_t> SentPage() {
    const SentCommand* select = drive_->Last(0x55);
    if (!select) return {};
    EXPECT_EQ(select->data_out.size(), 60u);
    EXPECT_EQ(select->cdb[1], 0x10);  // page format
    EXPECT_EQ(select->cdb[8], 60);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(select->data_out[i], 0) << "header byte " << i;
    return std::vector<uint8_t>(select->data_out.begin() + 8, select->data_out.end());
  }

  static uint32_t Packet(const std::vector<uint8_t>& page) {
    return static_cast<uint32_t>(page[10]) << 24 | page[11] << 16 | page[12] << 8 | page[13];
  }

  TSCSIDevice device_{nullptr};
  ScriptedDrive* drive_ = nullptr;
  std::vector<int> slept_;
};

struct PageCase {
  TDiscKind kind;
  uint8_t byte2, byte3, link;
  uint32_t packet;
};

TEST_F(RecordingControlTest, PageForEveryKindWithoutOptionalBits) {
  // No test write, no underrun protection, closing the disc for good:
  // the bare values of each kind. A DVD-R to be closed has the multisession
  // field 00b: its session's close then closes the disc.
  const PageCase cases[] = {
      {dkCdR, 0x01, 0x04, 0, 0},          {dkCdRw, 0x01, 0x04, 0, 0},   {dkUnknown, 0x01, 0x04, 0, 0},
      {dkDvdRom, 0x01, 0x04, 0, 0},       {dkDdcdR, 0x01, 0x04, 0, 0},  {dkDvdR, 0x20, 0x25, 16, 16},
      {dkDvdRwRestricted, 0x20, 0xC5, 16, 0}, {dkDvdRwSequential, 0x20, 0xC5, 16, 0},
      {dkDvdPlusRw, 0x22, 0x04, 16, 0},   {dkDvdPlusR, 0x22, 0xC4, 0, 16}, {dkDvdPlusRDl, 0x22, 0x04, 0, 0},
  };
  AnswerModeSense(8);
  for (const auto& c : cases) {
    drive_->sent.clear();
    ASSERT_TRUE(device_.SetWriteParameters(false, false, false, c.kind, TDiscFinalize::kFinalize))
        << DiscKindName(c.kind);
    const auto page = SentPage();
    ASSERT_EQ(page.size(), 52u);
    SCOPED_TRACE(std::string("kind ") + DiscKindName(c.kind) + " " + std::to_string(c.kind));
    EXPECT_EQ(page[0], 0x05);
    EXPECT_EQ(page[1], 0x32);
    EXPECT_EQ(page[2], c.byte2);
    EXPECT_EQ(page[3], c.byte3);
    EXPECT_EQ(page[4], 8);
    EXPECT_EQ(page[5], c.link);
    EXPECT_EQ(page[6] | page[7] | page[8] | page[9], 0);
    EXPECT_EQ(Packet(page), c.packet);
    EXPECT_EQ(page[14] << 8 | page[15], 150);
    EXPECT_EQ(page[16], 0xA0 + 16);  // the drive's own bytes stay
    EXPECT_EQ(page[51], 0xA0 + 51);
  }
}

TEST_F(RecordingControlTest, MultisessionTestWriteAndUnderrunBits) {
  AnswerModeSense(16);  // a drive that puts a block descriptor first
  device_.Capabilities = capTestWrite | capUnderrunProtection;

  // A CD left open: next session allowed.
  ASSERT_TRUE(device_.SetWriteParameters(false, false, false, dkCdR, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[3], 0xC4);
  // Test write clears the multisession bits even for a disc left open.
  ASSERT_TRUE(device_.SetWriteParameters(true, false, false, dkCdR, TDiscFinalize::kLeaveOpen));
  auto page = SentPage();
  EXPECT_EQ(page[2], 0x11);
  EXPECT_EQ(page[3], 0x04);
  // Underrun protection when the drive has it.
  ASSERT_TRUE(device_.SetWriteParameters(false, true, false, dkCdR, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[2], 0x41);
  // DVD-R: packet writing with both optional bits; left open for a next
  // session.
  ASSERT_TRUE(device_.SetWriteParameters(true, true, false, dkDvdR, TDiscFinalize::kLeaveOpen));
  page = SentPage();
  EXPECT_EQ(page[2], 0x70);
  EXPECT_EQ(page[3], 0xE5);
  ASSERT_TRUE(device_.SetWriteParameters(false, false, false, dkDvdR, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[3], 0xE5);
  // DVD-RW never gets the test-write or BUFE bits from the options.
  ASSERT_TRUE(device_.SetWriteParameters(true, true, false, dkDvdRwSequential, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[2], 0x20);
  // ... but the page's own BUF bit with underrun protection asked.
  device_.CapabilitiesPage[4] = 0x80;
  ASSERT_TRUE(device_.SetWriteParameters(true, true, false, dkDvdRwSequential, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[2], 0x60);
  // DVD+R DL: session-at-once, multisession only when closing.
  device_.CapabilitiesPage[4] = 0;
  ASSERT_TRUE(device_.SetWriteParameters(false, false, true, dkDvdPlusRDl, TDiscFinalize::kLeaveOpen));
  page = SentPage();
  EXPECT_EQ(page[2], 0x22);
  EXPECT_EQ(page[3], 0xC4);
  ASSERT_TRUE(device_.SetWriteParameters(false, false, false, dkDvdPlusRDl, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[3], 0x04);
}

TEST_F(RecordingControlTest, BitsTheDriveCannotDoAreClearedAndQuirksAdded) {
  AnswerModeSense(8);
  device_.Capabilities = 0;  // neither test write nor underrun protection
  ASSERT_TRUE(device_.SetWriteParameters(true, true, false, dkCdR, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[2], 0x01);
  device_.LinkSizeValidModel = true;
  ASSERT_TRUE(device_.SetWriteParameters(false, false, false, dkCdR, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(SentPage()[2], 0x21);
}

TEST_F(RecordingControlTest, DvdRamSendsNothingAndAFailedSenseSendsNoPage) {
  AnswerModeSense(8);
  EXPECT_TRUE(device_.SetWriteParameters(false, false, false, dkDvdRam, TDiscFinalize::kLeaveOpen));
  EXPECT_TRUE(drive_->sent.empty());

  drive_->respond = [](const uint8_t* cdb, uint8_t*, uint32_t, uint8_t* sense) -> uint8_t {
    if (cdb[0] == 0x5A) return CheckCondition(sense, 0x02, 0x3A, 0);
    return STATUS_GOOD;
  };
  EXPECT_FALSE(device_.SetWriteParameters(false, false, false, dkCdR, TDiscFinalize::kLeaveOpen));
  EXPECT_EQ(drive_->Count(0x55), 0);
}

TEST_F(RecordingControlTest, ProbeRecordsTheWriteTypesTheDriveAccepts) {
  // A drive that takes track-at-once and session-at-once but not raw.
  drive_->respond = [](const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t* sense) -> uint8_t {
    if (cdb[0] == 0x5A && data && length >= 70) {
      std::memset(data, 0, length);
      data[8] = 0x05;
      data[9] = 0x36;  // a page longer than the component builds
      data[10] = 0x41;
    } else if (cdb[0] == 0x55 && data && data[8 + 2] == 3) {
      return CheckCondition(sense, 0x05, 0x26, 0);
    }
    return STATUS_GOOD;
  };
  device_.ProbeWriteTypes();
  EXPECT_EQ(device_.SupportedWriteTypes, 2 | 4);
  ASSERT_EQ(drive_->Count(0x55), 3);
  std::vector<const SentCommand*> selects;
  for (const auto& c : drive_->sent) {
    if (c.cdb[0] == 0x55) selects.push_back(&c);
  }
  const uint8_t expected_type[] = {3, 2, 1};
  for (int i = 0; i < 3; ++i) {
    const auto& data = selects[i]->data_out;
    ASSERT_EQ(data.size(), 0x36u + 10);  // the drive's page length + 10
    EXPECT_EQ(selects[i]->cdb[8], 0x36 + 10);
    EXPECT_EQ(data[8], 0x05);
    EXPECT_EQ(data[8 + 2], expected_type[i]);  // whole byte: no other bits
    EXPECT_EQ(data[8 + 3], 0);
    EXPECT_EQ(data[8 + 4], i == 0 ? 1 : 0);
    EXPECT_EQ(data[8 + 14] << 8 | data[8 + 15], 150);
  }
}

TEST_F(RecordingControlTest, PerformanceDescriptorCarriesTheCallersValues) {
  ASSERT_TRUE(device_.SetPerformance(1000, 2001000, 0x1234, 0x5678, 1000, 1000));
  const SentCommand* streaming = drive_->Last(0xB6);
  ASSERT_NE(streaming, nullptr);
  ASSERT_EQ(streaming->data_out.size(), 28u);
  EXPECT_EQ(streaming->cdb[9] << 8 | streaming->cdb[10], 28);
  const uint8_t expected[28] = {0, 0, 0, 0,                  //
                                0, 0, 0x03, 0xE8,            // start LBA 1000
                                0, 0x1E, 0x88, 0x68,         // end LBA 2001000
                                0, 0, 0x12, 0x34,            // read size
                                0, 0, 0x03, 0xE8,            // read time
                                0, 0, 0x56, 0x78,            // write size
                                0, 0, 0x03, 0xE8};           // write time
  EXPECT_EQ(0, std::memcmp(streaming->data_out.data(), expected, 28));
}

TEST_F(RecordingControlTest, WriteSpeedIsSentWithTheReadSpeedAndKeptEvenWhenRefused) {
  device_.ReadSpeed = 7056;
  drive_->respond = [](const uint8_t*, uint8_t*, uint32_t, uint8_t* sense) {
    return CheckCondition(sense, 0x05, 0x24, 0);
  };
  device_.SetWriteSpeed(1764);
  EXPECT_EQ(device_.WriteSpeed(), 1764);
  const SentCommand* speed = drive_->Last(0xBB);
  ASSERT_NE(speed, nullptr);
  EXPECT_EQ(speed->cdb[2] << 8 | speed->cdb[3], 7056);
  EXPECT_EQ(speed->cdb[4] << 8 | speed->cdb[5], 1764);
}

// ---- Readiness -------------------------------------------------------------

TEST_F(RecordingControlTest, ReadyDriveIsAskedAtOnceWithoutASleep) {
  EXPECT_TRUE(device_.WaitUntilReady(10000, 500));
  EXPECT_TRUE(slept_.empty());
  EXPECT_EQ(drive_->Count(0x51), 1);
  EXPECT_EQ(drive_->Count(0x00), 1);
}

TEST_F(RecordingControlTest, BudgetBelowOneStepFailsWithoutASleep) {
  drive_->respond = BecomingReady;
  EXPECT_FALSE(device_.WaitUntilReady(400, 500));
  EXPECT_TRUE(slept_.empty());
  EXPECT_EQ(drive_->Count(0x51), 1);
}

TEST_F(RecordingControlTest, ADriveThatNeverBecomesReadyEndsWithinItsBudget) {
  drive_->respond = BecomingReady;
  EXPECT_FALSE(device_.WaitUntilReady(5000, 1000));
  int total = 0;
  for (int ms : slept_) total += ms;
  EXPECT_LE(total, 6000);
  EXPECT_LE(drive_->sent.size(), 6u);
}

TEST_F(RecordingControlTest, BecomesReadyAfterAFewNotReadyAnswers) {
  int left = 3;
  drive_->respond = [&left](const uint8_t* cdb, uint8_t*, uint32_t, uint8_t* sense) -> uint8_t {
    if (cdb[0] == 0x51 && left > 0) {
      --left;
      return CheckCondition(sense, 0x02, 0x04, 0x07);
    }
    return STATUS_GOOD;
  };
  EXPECT_TRUE(device_.WaitUntilReady(10000, 100));
  EXPECT_EQ(drive_->Count(0x51), 4);
}

TEST_F(RecordingControlTest, DvdRamWaitsForRequestSenseToReportNothing) {
  int formatting = 2;
  drive_->respond = [&formatting](const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t*) -> uint8_t {
    if (cdb[0] == 0x46 && data) {  // GET CONFIGURATION: current profile DVD-RAM
      std::memset(data, 0, length);
      data[3] = 4;
      data[7] = 0x12;
    }
    if (cdb[0] == 0x03 && data) {
      std::memset(data, 0, length);
      data[0] = 0x70;
      if (formatting > 0) {
        --formatting;
        data[2] = 0x02;
        data[12] = 0x04;
        data[13] = 0x04;
      }
    }
    return STATUS_GOOD;  // TEST UNIT READY answers at once: not enough
  };
  ASSERT_EQ(device_.NoteDiscKind(), dkDvdRam);
  EXPECT_TRUE(device_.WaitUntilReady(60000, 1000));
  EXPECT_EQ(drive_->Count(0x51), 0);
  EXPECT_EQ(drive_->Count(0x03), 3);
  const SentCommand* sense = drive_->Last(0x03);
  EXPECT_EQ(sense->cdb[4], 40);
}

TEST_F(RecordingControlTest, SlowReadyDrivesSleepBeforeTheyArePolled) {
  device_.SlowReadyModel = true;
  EXPECT_TRUE(device_.WaitUntilReady(10000, 500));
  ASSERT_GE(slept_.size(), 1u);
  EXPECT_EQ(slept_[0], 1500);
}

}  // namespace
}  // namespace zamo
