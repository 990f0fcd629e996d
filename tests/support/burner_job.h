// burner_job.h: a fixture for tests that run the component's jobs on a
// drive: the component with its log captured (from whichever thread writes
// it), its Synchronize calls posted to a queue the test pumps, OnWriteDone
// counted with its text; a drive put in place of the transport; a job run
// to its end with a bound; the disc read back by a peer tool.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "burner/compilation/veskburner.h"
#include "burner/drive/srb.h"
#include "burner/platform/call_queue.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {

class BurnerJobTest : public ::testing::Test {
 protected:
  BurnerJobTest();
  void TearDown() override;  // unloads the transport

  // The emulated recorder `kind` on image_ (dir_/disc.img) with `options`
  // (",option=value..."), selected. The component's failing commands leave
  // no error line and its waits on the drive do not sleep (their bounds
  // stay).
  void LoadEmulated(const std::string& kind, const std::string& options = "");
  // The same with a back end the test made (one drive).
  void LoadBackEnd(std::unique_ptr<TAspiBackEnd> back_end);

  // Calls `start` and pumps the queue until OnWriteDone came (60 s at
  // most), then a moment more: fails unless it came exactly once. Its
  // text is in error_.
  ::testing::AssertionResult RunJob(const std::function<void()>& start);

  // The first session of image_ read back by xorriso holds the files of
  // `folder`, names and bytes.
  ::testing::AssertionResult DiscHolds(const std::string& folder);

  // The log so far (taken under its lock).
  std::string Log();

  TempDir dir_;
  std::string image_;
  TVeskBurner burner_{nullptr};
  CallQueue queue_;
  int done_count_ = 0;
  std::string error_;
  std::mutex log_mutex_;
  std::string log_;  // read it directly only once the job has ended

 private:
  int reads_ = 0;
};

}  // namespace zamo::test
