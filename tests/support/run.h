// run.h: runs a program for a test, with its output captured and a time
// limit, so that a hung peer tool or emulator fails the test instead of
// hanging it.
#pragma once

#include <string>
#include <vector>

namespace zamo::test {

struct RunResult {
  int status = -1;  // exit status; -1 when killed or not started
  bool timed_out = false;
  std::string out;
  std::string err;
};

RunResult Run(const std::vector<std::string>& argv, int timeout_seconds = 120, const std::string& cwd = "");
// The exit status and both outputs, for a failed expectation's message.
std::string Describe(const RunResult& r);

// A program running in the background for a test that acts on it while it
// runs (a signal at a chosen moment). Its output goes to files, read at any
// time; the destructor kills a program still running.
class Background {
 public:
  // `output_prefix`.out and `output_prefix`.err receive its output.
  Background(const std::vector<std::string>& argv, const std::string& output_prefix);
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  std::string Out() const;
  std::string Err() const;
  // Sends `signal` to the program (not to its children).
  void Signal(int signal);
  // Waits for the program to end, at most `timeout_ms`; false when it runs on.
  bool Wait(int timeout_ms);
  // Waits until `done()` holds, polling every 20 ms, at most `timeout_ms`,
  // or until the program ends; true when `done()` held.
  template <typename Predicate>
  bool WaitUntil(Predicate done, int timeout_ms) {
    for (int waited = 0; waited < timeout_ms; waited += 20) {
      if (done()) return true;
      if (Wait(20)) return done();
    }
    return done();
  }
  // The exit status once ended (-1 when killed by a signal).
  int status() const { return status_; }

 private:
  int pid_ = -1;
  int status_ = -1;
  bool ended_ = false;
  std::string out_path_, err_path_;
};

// Path of the zamo-cli binary under test.
std::string ZamoCli();
// True when `program` is on PATH.
bool HaveProgram(const std::string& program);

}  // namespace zamo::test
