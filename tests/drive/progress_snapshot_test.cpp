// progress_snapshot_test.cpp: the progress of a burn read from another thread
// while the writer and the cache run, as a window's timer reads it: every
// figure comes at once and consistent (run under ThreadSanitizer by
// `make test-threads`: no data race between the poller and the job).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/drive/transport.h"
#include "burner/platform/call_queue.h"
#include "burner/platform/file_attributes.h"
#include "emulator/emulated_backend.h"
#include "tests/support/temp_dir.h"

namespace zamo {
namespace {

using Phase = TVeskBurner::TJobPhase;

TEST(ProgressSnapshot, PolledFromAnotherThreadThroughoutABurn) {
  test::TempDir dir;
  test::MakeTree(dir / "src", {{"a.bin", test::Bytes(3 * 1024 * 1024, 1)}, {"b.txt", "deux"}});
  std::string error;
  // A drive that records at 16x through its buffer: the burn lasts a moment.
  auto back_end = emu::CreateEmulatedBackEnd("cd-r:" + dir / "disc.img" + ",speed=16x,buffer=512K", &error);
  ASSERT_NE(back_end, nullptr) << error;
  transport::Install(std::move(back_end));

  TVeskBurner burner(nullptr);
  burner.LogCommandErrors = false;
  burner.HostAdapterInquiry(0);
  burner.ScanDevices();
  ASSERT_EQ(burner.Devices.size(), 1u);
  burner.SelectDevice(burner.Devices[0]);
  ASSERT_TRUE(burner.ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs));
  ASSERT_GT(burner.AddFolder("\\", dir / "src", false, false, true, faAnyFile, "*"), 0);
  CallQueue queue;
  burner.Dispatcher = [&queue](std::function<void()> call) { queue.Post(std::move(call)); };
  std::atomic<bool> done{false};
  std::string job_error = "not ended";
  burner.OnWriteDone = [&](TObject*, const std::string& e) {
    job_error = e;
    done = true;
  };

  std::atomic<bool> stop{false};
  std::set<Phase> phases;
  int64_t last_written = 0, total = 0;
  bool went_back = false, over_total = false, buffer_seen = false;
  std::thread poller([&] {
    while (!stop) {
      const TVeskBurner::TJobProgress p = burner.Progress();
      phases.insert(p.Phase);
      if (p.BytesWritten < last_written) went_back = true;
      last_written = p.BytesWritten;
      if (p.TotalBytes > 0) total = p.TotalBytes;
      if (p.TotalBytes > 0 && p.BytesWritten > p.TotalBytes) over_total = true;
      if (p.DriveBufferSize > 0) buffer_seen = true;
      EXPECT_LE(p.DriveBufferFree, p.DriveBufferSize);
      EXPECT_GE(p.CacheFillPercent, 0);
      EXPECT_LE(p.CacheFillPercent, 100);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });

  burner.RecordCompilation();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done && std::chrono::steady_clock::now() < deadline) queue.RunFor(std::chrono::milliseconds(20));
  stop = true;
  poller.join();
  transport::AspiUnload();

  ASSERT_TRUE(done) << "the burn did not end";
  EXPECT_EQ(job_error, "");
  EXPECT_FALSE(went_back) << "the bytes written went back";
  EXPECT_FALSE(over_total) << "more bytes written than the job holds";
  EXPECT_EQ(total, burner.ImageSectors() * 2048);
  EXPECT_EQ(last_written, total);
  EXPECT_TRUE(buffer_seen) << "the drive buffer never showed";
  EXPECT_TRUE(phases.contains(Phase::kWriting));
  EXPECT_TRUE(phases.contains(Phase::kFlushing) || phases.contains(Phase::kClosing)) << "no closing phase seen";
  EXPECT_EQ(burner.Progress().Phase, Phase::kIdle);
}

}  // namespace
}  // namespace zamo
