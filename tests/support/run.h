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

// Path of the zamo-cli binary under test.
std::string ZamoCli();
// True when `program` is on PATH.
bool HaveProgram(const std::string& program);

}  // namespace zamo::test
