// log_output.h: the component's log lines on stderr, and the count of the
// lines that say an entry was left out of the compilation.
#pragma once

#include <cstdint>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>

#include "burner/compilation/veskburner.h"

namespace zamo::cli {

class LogOutput {
 public:
  // Borrows `burner`; installs itself as its OnDebugMessage handler.
  LogOutput(TVeskBurner& burner, bool verbose);

  // Writes one line of the program's own to stderr.
  void Line(const std::string& text);
  // While active, a progress line stands at the bottom of the terminal and
  // log lines are written above it.
  void SetProgressActive(bool active);
  void Progress(const std::string& text);
  // Entries left out (limits, refused names and files) since construction.
  int LeftOut() const { return left_out_; }
  void CountLeftOut() { ++left_out_; }
  bool verbose() const { return verbose_; }
  // Closes a job that left `count` entries out: ">>> Attention : 3 éléments
  // ignorés, voir ci-dessus." (`also` after it, e.g. "non vérifié", agreed).
  void SayLeftOut(int count, const std::string& also = "");

 private:
  bool verbose_;
  std::atomic<int> left_out_{0};
  std::mutex mutex_;  // lines come from the component's threads too
  std::unordered_set<std::string> left_out_lines_;  // guarded by mutex_
  bool progress_active_ = false;
  std::string progress_;
};

}  // namespace zamo::cli
