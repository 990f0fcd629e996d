#include "burner/drive/scsi_device.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace zamo {
namespace {

TEST(ScsiDeviceTest, MessagesWithoutAHandlerAreDropped) {
  TSCSIDevice device(nullptr);
  device.DebugMessage("CHEMIN DESTINATION INVALIDE", kMsgCompilation);  // must not fail
}

TEST(ScsiDeviceTest, HandlerGetsTheLineUnchangedOnTheCallersThread) {
  TSCSIDevice device(nullptr);
  std::thread::id seen_thread;
  std::string seen;
  uint8_t seen_type = 99;
  TObject* seen_sender = nullptr;
  device.OnDebugMessage = [&](TObject* sender, const std::string& message, uint8_t type) {
    seen_sender = sender;
    seen = message;
    seen_type = type;
    seen_thread = std::this_thread::get_id();
  };
  std::thread::id worker_id;
  std::thread worker([&] {
    worker_id = std::this_thread::get_id();
    device.DebugMessage(">>> ÉCRITURE", kMsgInfo);
  });
  worker.join();
  EXPECT_EQ(seen_sender, &device);
  EXPECT_EQ(seen, ">>> ÉCRITURE");
  EXPECT_EQ(seen_type, kMsgInfo);
  EXPECT_EQ(seen_thread, worker_id);
}

TEST(ScsiDeviceTest, LockIsReentrant) {
  TSCSIDevice device(nullptr);
  device.Lock();
  device.Lock();
  device.Unlock();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    device.Lock();
    entered = true;
    device.Unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered) << "one Unlock is not enough after two Locks";
  device.Unlock();
  other.join();
  EXPECT_TRUE(entered);
}

}  // namespace
}  // namespace zamo
