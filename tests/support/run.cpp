#include "tests/support/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace zamo::test {
namespace {

int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

RunResult Run(const std::vector<std::string>& argv, int timeout_seconds, const std::string& cwd) {
  RunResult result;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) return result;
  const int64_t deadline = NowMs() + int64_t{timeout_seconds} * 1000;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) {
      result.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd& f : fds) {
    if (f.fd >= 0) close(f.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = (!result.timed_out && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

Background::Background(const std::vector<std::string>& argv, const std::string& output_prefix)
    : out_path_(output_prefix + ".out"), err_path_(output_prefix + ".err") {
  const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(out, 1);
    dup2(err, 2);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    // A fresh signal state: the test's own ignored signals are not inherited.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  if (pid_ < 0) ended_ = true;
}

Background::~Background() {
  if (!ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

namespace {

std::string Slurp(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[65536];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text;
}

}  // namespace

std::string Background::Out() const { return Slurp(out_path_); }
std::string Background::Err() const { return Slurp(err_path_); }

void Background::Signal(int signal) {
  if (!ended_) kill(pid_, signal);
}

bool Background::Wait(int timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  while (!ended_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      ended_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (NowMs() >= deadline) return false;
    usleep(5000);
  }
  return true;
}

std::string Describe(const RunResult& r) {
  return "exit status " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") + "\n--- stdout ---\n" +
         r.out + "--- stderr ---\n" + r.err;
}

std::string ZamoCli() {
  const char* from_env = std::getenv("ZAMO_CLI");
  return from_env != nullptr ? from_env : ZAMO_CLI_PATH;
}

bool HaveProgram(const std::string& program) {
  return Run({"sh", "-c", "command -v " + program}, 10).status == 0;
}

}  // namespace zamo::test
