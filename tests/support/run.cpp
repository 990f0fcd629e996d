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
  return RunStreaming(argv, nullptr, timeout_seconds, cwd);
}

RunResult RunStreaming(const std::vector<std::string>& argv, const std::function<void(std::string_view)>& out_sink,
                       int timeout_seconds, const std::string& cwd) {
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
      if (n > 0 && i == 0 && out_sink) {
        out_sink(std::string_view(buffer, static_cast<size_t>(n)));
      } else if (n > 0) {
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

std::string Describe(const RunResult& r) {
  return DescribeOutputs("exit status " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : ""), r.out, r.err);
}

std::string DescribeOutputs(const std::string& how, const std::string& out, const std::string& err) {
  return how + "\n--- stdout ---\n" + out + "--- stderr ---\n" + err;
}

std::string ZamoCli() {
  const char* from_env = std::getenv("ZAMO_CLI");
  return from_env != nullptr ? from_env : ZAMO_CLI_PATH;
}

std::vector<std::string> CliOn(const std::string& drive, const std::vector<std::string>& args, ReadBack read_back) {
  std::vector<std::string> argv = {ZamoCli(), "--emulate", drive};
  argv.insert(argv.end(), args.begin(), args.end());
  const bool burns = !args.empty() && (args[0] == "burn" || args[0] == "burn-image");
  if (burns && read_back == ReadBack::kVerify) argv.insert(argv.begin() + 4, "--verify");
  return argv;
}

bool HaveProgram(const std::string& program) {
  return Run({"sh", "-c", "command -v " + program}, 10).status == 0;
}

}  // namespace zamo::test
