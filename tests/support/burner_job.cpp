#include "tests/support/burner_job.h"

#include <chrono>
#include <utility>

#include "burner/drive/transport.h"
#include "tests/support/emulated_drive.h"
#include "tests/support/peer_tools.h"

namespace zamo::test {

BurnerJobTest::BurnerJobTest() {
  burner_.OnDebugMessage = [this](TObject*, const std::string& text, uint8_t) {
    std::lock_guard lock(log_mutex_);
    log_ += text + "\n";
  };
  burner_.Dispatcher = [this](std::function<void()> call) { queue_.Post(std::move(call)); };
  burner_.OnWriteDone = [this](TObject*, const std::string& error) {
    ++done_count_;
    error_ = error;
  };
}

void BurnerJobTest::TearDown() { transport::AspiUnload(); }

void BurnerJobTest::LoadEmulated(const std::string& kind, const std::string& options) {
  image_ = dir_ / "disc.img";
  burner_.LogCommandErrors = false;
  burner_.Sleep = [](int) {};
  ASSERT_TRUE(UseEmulatedDrives(burner_, kind + ":" + image_ + options));
}

void BurnerJobTest::LoadBackEnd(std::unique_ptr<TAspiBackEnd> back_end) {
  burner_.LogCommandErrors = false;
  burner_.Sleep = [](int) {};
  ASSERT_TRUE(SelectFirstDrive(burner_, std::move(back_end)));
}

::testing::AssertionResult BurnerJobTest::RunJob(const std::function<void()>& start) {
  done_count_ = 0;
  error_.clear();
  start();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (done_count_ == 0 && std::chrono::steady_clock::now() < deadline) {
    queue_.RunFor(std::chrono::milliseconds(20));
  }
  queue_.RunFor(std::chrono::milliseconds(20));  // a second OnWriteDone would come now
  if (done_count_ == 1) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << (done_count_ == 0 ? "the job did not end" : "OnWriteDone came more than once")
                                       << "\n" << Log();
}

::testing::AssertionResult BurnerJobTest::DiscHolds(const std::string& folder) {
  const Extraction disc = Extract("xorriso", image_, dir_ / ("read-back-" + std::to_string(++reads_)));
  if (!disc.ok) return ::testing::AssertionFailure() << disc.log;
  return SameTree(disc.tree, ReadTree(folder));
}

std::string BurnerJobTest::Log() {
  std::lock_guard lock(log_mutex_);
  return log_;
}

}  // namespace zamo::test
