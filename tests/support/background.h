// background.h: a program running in the background for a test that acts on
// it while it runs: a signal at a chosen moment, the whole program held
// (SIGSTOP) while the test changes what it reads, its progress line read
// from a terminal. Every wait is bounded; the destructor kills a program
// still running, and its children with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zamo::test {

struct BackgroundOptions {
  bool stderr_on_terminal = false;  // stderr on a pseudo-terminal this object reads
  int64_t file_size_limit = -1;     // RLIMIT_FSIZE in bytes; -1: none
  bool ignore_sigxfsz = false;      // SIGXFSZ ignored: a write past the limit fails with EFBIG
};

class Background {
 public:
  // Starts `argv` in a process group of its own, with the default action for
  // every signal; its stdout goes to `output_prefix`.out, its stderr to
  // `output_prefix`.err or to the terminal.
  Background(const std::vector<std::string>& argv, const std::string& output_prefix,
             const BackgroundOptions& options = {});
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  std::string Out() const;
  // Its stderr: the file, or what the terminal has shown so far.
  std::string Err() const;

  // True once the program has ended (looks without waiting).
  bool Poll();
  // Waits for the end, at most `timeout_ms`; false when it runs on.
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
  // Waits until stderr shows `text`; false when the program ended without
  // it or after `timeout_ms`.
  bool WaitFor(const std::string& text, int timeout_ms);

  // Stops every thread of the program and waits until it is stopped: false
  // when it ended first.
  bool Hold();
  void Resume();
  // Sends `signal` to the program (not to its children).
  void Signal(int signal);

  bool ended() const { return ended_; }
  // The exit status once it exited; -1 while it runs or when a signal ended it.
  int exit_status() const;
  // The signal that ended it; 0 while it runs or when it exited.
  int term_signal() const;
  // How it ended (or that it runs on), then its stdout and stderr, for a
  // failed expectation's message.
  std::string Describe() const;

 private:
  void Drain() const;

  std::string out_path_, err_path_;
  pid_t pid_ = -1;
  int terminal_ = -1;  // the pseudo-terminal's master side, or -1
  bool ended_ = false;
  int wait_status_ = 0;
  mutable std::string terminal_text_;
};

}  // namespace zamo::test
