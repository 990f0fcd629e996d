// temp_dir.h: test helpers for files on disk: a temporary folder removed at
// the end of the test, trees made from a list of paths and contents, and a
// tree read back as a map of relative paths to contents.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zamo::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// A temporary folder in /dev/shm when it can be written (elsewhere, where
// TMPDIR says): trees of a hundred thousand files are made and removed there
// in a second, on a busy shared disk in a minute.
std::unique_ptr<TempDir> InMemoryTempDir();

// A path ending in "/" makes a folder; any other makes a file with the
// content (parent folders are made as needed).
using TreeContents = std::vector<std::pair<std::string, std::string>>;
void MakeTree(const std::string& root, const TreeContents& contents);

void WriteFile(const std::string& path, const std::string& content);
// True when anything is at `path`, a symbolic link to nothing included.
bool PathExists(const std::string& path);
std::string ReadFile(const std::string& path);
// Sets a file's modification time (seconds since the epoch).
void SetModifiedTime(const std::string& path, int64_t seconds);

// Every file below `root` (recursively), by its path relative to root, with
// its content; folders appear with a trailing "/" and an empty content.
std::map<std::string, std::string> ReadTree(const std::string& root);

// Compares two trees as ReadTree gives them, by name then by content; the
// failure names each missing, different or unexpected path (never the bytes).
::testing::AssertionResult SameTree(const std::map<std::string, std::string>& actual,
                                    const std::map<std::string, std::string>& expected);

// `count` bytes of a repeatable pattern that differs with `seed`.
std::string Bytes(size_t count, uint32_t seed = 1);
// `count` bytes of the Mersenne twister started at `seed`: data no reader
// or compressor can guess, the same from run to run.
std::string RandomBytes(size_t count, uint32_t seed);

}  // namespace zamo::test
