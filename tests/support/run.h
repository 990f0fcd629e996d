// run.h: runs a program for a test, with its output captured and a time
// limit, so that a hung peer tool or emulator fails the test instead of
// hanging it. (A program the test acts on while it runs: background.h.)
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zamo::test {

struct RunResult {
  int status = -1;  // exit status; -1 when killed or not started
  bool timed_out = false;
  std::string out;
  std::string err;
};

RunResult Run(const std::vector<std::string>& argv, int timeout_seconds = 120, const std::string& cwd = "");
// The same, with stdout handed to `out_sink` as it comes instead of kept in
// `out` (an output of gigabytes); a null sink keeps it as Run does.
RunResult RunStreaming(const std::vector<std::string>& argv, const std::function<void(std::string_view)>& out_sink,
                       int timeout_seconds = 120, const std::string& cwd = "");
// The exit status and both outputs, for a failed expectation's message.
std::string Describe(const RunResult& r);
// `how` a program ended, then its stdout and stderr, in that same form.
std::string DescribeOutputs(const std::string& how, const std::string& out, const std::string& err);

// Path of the zamo-cli binary under test.
std::string ZamoCli();

// zamo-cli's command line for `args` on the emulated recorder `drive`
// ("KIND:IMAGE[,option=value...]"). With ReadBack::kVerify a burn or
// burn-image reads its session back (--verify): one that says SUCCÈS has
// written what a reader gets.
enum class ReadBack { kNo, kVerify };
std::vector<std::string> CliOn(const std::string& drive, const std::vector<std::string>& args,
                               ReadBack read_back = ReadBack::kNo);
// True when `program` is on PATH.
bool HaveProgram(const std::string& program);

}  // namespace zamo::test
