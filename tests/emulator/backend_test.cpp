// The ZAMOEMU back end: ASPI request blocks carried to emulated units.
#include "emulator/emulated_backend.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <thread>

#include "tests/emulator/emu_test_util.h"
#include "tests/support/aspi_requests.h"
#include "tests/support/temp_dir.h"

namespace zamo::emu {
namespace {

using namespace zamo::emu::test;  // the command blocks
namespace support = zamo::test;

class BackEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    back_end_ = CreateEmulatedBackEnd("cd-r:" + (dir_ / "a.img") + ";dvd+rw:" + (dir_ / "b.img") + ",busy=1", &error);
    ASSERT_NE(back_end_, nullptr) << error;
  }

  // An execute request to `target`, signalling event_.
  TSRB_ExecSCSICmd Request(uint8_t target, const Cdb& cdb, uint8_t flags, uint8_t* buffer = nullptr,
                           uint32_t length = 0) {
    return support::ExecRequest({.target = target}, cdb, flags, buffer, length, &event_);
  }

  zamo::test::TempDir dir_;
  std::unique_ptr<TAspiBackEnd> back_end_;
  TCompletionEvent event_;
};

TEST_F(BackEnd, DescribesOneAdapterWithOneTargetPerDrive) {
  EXPECT_STREQ(back_end_->TransportName(), "ZAMOEMU");
  EXPECT_EQ(back_end_->GetASPI32SupportInfo(), 0x0101u);
  const support::AdapterInquiry adapter = support::InquireAdapter(*back_end_, 0);
  EXPECT_EQ(adapter.status, SS_COMP);
  EXPECT_EQ(adapter.record.SRB_Status, SS_COMP);
  EXPECT_EQ(adapter.record.HA_Count, 1);
  EXPECT_EQ(adapter.record.HA_SCSI_ID, 7);
  EXPECT_EQ(support::InquireAdapter(*back_end_, 1).status, SS_INVALID_HA);

  EXPECT_EQ(support::GetDeviceType(*back_end_, {.target = 1}), (support::DeviceType{SS_COMP, 5}));
  EXPECT_EQ(support::GetDeviceType(*back_end_, {.target = 2}).status, SS_NO_DEVICE);
  EXPECT_EQ(support::GetDeviceType(*back_end_, {.target = 0, .lun = 1}).status, SS_NO_DEVICE);

  EXPECT_EQ(back_end_->DevicePath(0, 0, 0), "emu0");
  EXPECT_EQ(back_end_->DevicePath(0, 1, 0), "emu1");
  EXPECT_EQ(back_end_->DevicePath(0, 2, 0), "");
  uint8_t unknown[64] = {0x7F};
  EXPECT_EQ(back_end_->SendASPI32Command(unknown), SS_INVALID_CMD);
}

TEST_F(BackEnd, CompletedCommandSignalsItsEventAndFillsTheBuffer) {
  uint8_t inquiry[128] = {};
  TSRB_ExecSCSICmd srb = Request(0, Inquiry(128), kFlagsIn, inquiry, sizeof(inquiry));
  EXPECT_EQ(back_end_->SendASPI32Command(&srb), SS_COMP);
  EXPECT_EQ(srb.SRB_Status, SS_COMP);
  EXPECT_TRUE(event_.IsSet());
  EXPECT_EQ(inquiry[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 8), 28), "ZAMO    VIRTUAL RECORDER1.00");
}

TEST_F(BackEnd, CheckConditionCarriesTheSenseBytes) {
  uint8_t block[2048] = {};
  TSRB_ExecSCSICmd srb = Request(0, Write10(16, 1), kFlagsOut, block, sizeof(block));
  EXPECT_EQ(back_end_->SendASPI32Command(&srb), SS_ERR);
  EXPECT_EQ(srb.SRB_HaStat, HASTAT_OK);
  EXPECT_EQ(srb.SRB_TargStat, STATUS_CHKCOND);
  EXPECT_EQ(srb.SenseArea[0], 0x70);
  EXPECT_EQ(srb.SenseArea[2], 0x05);
  EXPECT_EQ(srb.SenseArea[7], 10);
  EXPECT_EQ(srb.SenseArea[12], 0x21);  // INVALID ADDRESS FOR WRITE
  EXPECT_EQ(srb.SenseArea[13], 0x02);
  EXPECT_EQ(srb.SenseArea[24], 0);     // nothing past the sense length
  EXPECT_TRUE(event_.IsSet());

  // A shorter sense length is honoured.
  TSRB_ExecSCSICmd short_sense = Request(0, Write10(16, 1), kFlagsOut, block, sizeof(block));
  short_sense.SRB_SenseLen = 8;
  EXPECT_EQ(back_end_->SendASPI32Command(&short_sense), SS_ERR);
  EXPECT_EQ(short_sense.SenseArea[7], 10);
  EXPECT_EQ(short_sense.SenseArea[12], 0);
}

TEST_F(BackEnd, BusyStatusAndTransportFaults) {
  TSRB_ExecSCSICmd busy = Request(1, TestUnitReady(), kFlagsNone);
  EXPECT_EQ(back_end_->SendASPI32Command(&busy), SS_ERR);
  EXPECT_EQ(busy.SRB_TargStat, STATUS_BUSY);
  TSRB_ExecSCSICmd ready = Request(1, TestUnitReady(), kFlagsNone);
  EXPECT_EQ(back_end_->SendASPI32Command(&ready), SS_COMP);  // busy=1: once only

  uint8_t buffer[2048] = {};
  // READ CAPACITY announced as a transfer to the drive: the data phase does not match.
  TSRB_ExecSCSICmd wrong_way = Request(0, ReadCapacity(), kFlagsOut, buffer, 8);
  EXPECT_EQ(back_end_->SendASPI32Command(&wrong_way), SS_ERR);
  EXPECT_EQ(wrong_way.SRB_HaStat, HASTAT_DO_DU);
  // A READ (10) of one block into a 100-byte buffer never writes past it.
  uint8_t small[100 + 16];
  std::memset(small, 0xCC, sizeof(small));
  TSRB_ExecSCSICmd overrun = Request(0, Read10(0, 1), kFlagsIn, small, 100);
  back_end_->SendASPI32Command(&overrun);
  EXPECT_EQ(small[100], 0xCC);
  // A buffer length without a buffer, and an oversized CDB, are invalid requests.
  TSRB_ExecSCSICmd no_buffer = Request(0, Inquiry(36), kFlagsIn, nullptr, 36);
  EXPECT_EQ(back_end_->SendASPI32Command(&no_buffer), SS_INVALID_SRB);
  TSRB_ExecSCSICmd long_cdb = Request(0, TestUnitReady(), kFlagsNone);
  long_cdb.SRB_CDBLen = 17;
  EXPECT_EQ(back_end_->SendASPI32Command(&long_cdb), SS_INVALID_SRB);
  TSRB_ExecSCSICmd absent = Request(5, TestUnitReady(), kFlagsNone);
  EXPECT_EQ(back_end_->SendASPI32Command(&absent), SS_NO_DEVICE);

  EXPECT_EQ(support::Abort(*back_end_, &ready), SS_ABORT_FAIL);  // long completed: nothing to let go of
}

TEST_F(BackEnd, CommandsFromSeveralThreadsAreSerialized) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        uint8_t info[34] = {};
        TCompletionEvent event;
        TSRB_ExecSCSICmd srb = Request(0, ReadDiscInfo(), kFlagsIn, info, sizeof(info));
        srb.SRB_PostProc = &event;
        if (back_end_->SendASPI32Command(&srb) == SS_COMP && info[4] == 1) ++good;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good, 800);
}

TEST(CreateEmulatedBackEnd, ReadsTheEnvironmentAndReportsBadConfigurations) {
  zamo::test::TempDir dir;
  std::string error;
  ::unsetenv("ZAMO_EMULATED_DRIVES");
  EXPECT_EQ(CreateEmulatedBackEnd("", &error), nullptr);
  EXPECT_NE(error.find("aucun graveur émulé"), std::string::npos) << error;

  ::setenv("ZAMO_EMULATED_DRIVES", ("dvd-r:" + (dir / "env.img")).c_str(), 1);
  auto back_end = CreateEmulatedBackEnd("", &error);
  ::unsetenv("ZAMO_EMULATED_DRIVES");
  ASSERT_NE(back_end, nullptr) << error;
  EXPECT_EQ(back_end->DevicePath(0, 0, 0), "emu0");

  EXPECT_EQ(CreateEmulatedBackEnd("cd-rom:" + (dir / "missing.iso"), &error), nullptr);
  EXPECT_NE(error.find("missing.iso"), std::string::npos) << error;
  EXPECT_NE(error.find("graveur émulé 1"), std::string::npos) << error;
}

}  // namespace
}  // namespace zamo::emu
