#include "tests/support/background.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/support/run.h"
#include "tests/support/temp_dir.h"

namespace zamo::test {
namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A pseudo-terminal: its master side (non-blocking, kept) and its slave
// side (the program's stderr); -1 for both when one cannot be had.
void OpenTerminal(int& master, int& slave) {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* name = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
  slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (slave < 0) {
    if (master >= 0) close(master);
    master = -1;
    return;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
}

}  // namespace

Background::Background(const std::vector<std::string>& argv, const std::string& output_prefix,
                       const BackgroundOptions& options)
    : out_path_(output_prefix + ".out"), err_path_(output_prefix + ".err") {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int terminal_slave = -1;
  if (options.stderr_on_terminal) {
    OpenTerminal(terminal_, terminal_slave);
    if (terminal_ < 0) return;  // not started
  }
  const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max =
      options.file_size_limit >= 0 ? static_cast<rlim_t>(options.file_size_limit) : RLIM_INFINITY;
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls from here.
    setpgid(0, 0);
    dup2(null, 0);
    dup2(out, 1);
    dup2(terminal_slave >= 0 ? terminal_slave : err, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // A fresh signal state: the test's own ignored signals are not inherited.
    for (int sig : {SIGINT, SIGTERM, SIGXFSZ, SIGPIPE}) signal(sig, SIG_DFL);
    if (options.ignore_sigxfsz) signal(SIGXFSZ, SIG_IGN);
    if (options.file_size_limit >= 0) setrlimit(RLIMIT_FSIZE, &limit);
    execvp(args[0], args.data());
    _exit(127);
  }
  for (int fd : {out, err, null, terminal_slave}) {
    if (fd >= 0) close(fd);
  }
  if (pid_ < 0) ended_ = true;
}

Background::~Background() {
  if (pid_ > 0 && !ended_) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (terminal_ >= 0) close(terminal_);
}

std::string Background::Out() const { return ReadFile(out_path_); }

std::string Background::Err() const {
  if (terminal_ < 0) return ReadFile(err_path_);
  Drain();
  return terminal_text_;
}

void Background::Drain() const {
  if (terminal_ < 0) return;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal_, buffer, sizeof buffer)) > 0;) {
    terminal_text_.append(buffer, static_cast<size_t>(n));
  }
}

bool Background::Poll() {
  Drain();  // a full terminal would block the program's writes
  if (ended_ || pid_ <= 0) return ended_;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_ && (WIFEXITED(status) || WIFSIGNALED(status))) {
    ended_ = true;
    wait_status_ = status;
    Drain();
  }
  return ended_;
}

bool Background::Wait(int timeout_ms) {
  const auto start = Clock::now();
  while (!Poll()) {
    if (MsSince(start) >= timeout_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool Background::WaitFor(const std::string& text, int timeout_ms) {
  const auto start = Clock::now();
  while (Err().find(text) == std::string::npos) {
    if (Poll() || MsSince(start) >= timeout_ms) return Err().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}

bool Background::Hold() {
  if (Poll()) return false;
  kill(pid_, SIGSTOP);
  const auto start = Clock::now();
  while (MsSince(start) < 5000) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG | WUNTRACED);
    if (r == pid_ && WIFSTOPPED(status)) return true;
    if (r == pid_) {
      ended_ = true;
      wait_status_ = status;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

void Background::Resume() {
  if (!ended_) kill(pid_, SIGCONT);
}

void Background::Signal(int signal) {
  if (!ended_) kill(pid_, signal);
}

int Background::exit_status() const { return ended_ && WIFEXITED(wait_status_) ? WEXITSTATUS(wait_status_) : -1; }

int Background::term_signal() const { return ended_ && WIFSIGNALED(wait_status_) ? WTERMSIG(wait_status_) : 0; }

std::string Background::Describe() const {
  const std::string how = !ended_        ? std::string("still running")
                          : term_signal() ? "killed by signal " + std::to_string(term_signal())
                                          : "exit status " + std::to_string(exit_status());
  return DescribeOutputs(how, Out(), Err());
}

}  // namespace zamo::test
