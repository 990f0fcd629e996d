// marked_file.h: a large sparse file for tests of files of 4 GiB and more.
// It is zeros (holes: it costs no disk) but for a few marks, short texts at
// chosen offsets; a reader's copy of it is checked byte for byte as it
// streams by, without being written anywhere.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zamo::test {

struct Mark {
  int64_t offset;
  std::string bytes;
};

struct MarkedFile {
  int64_t size = 0;
  std::vector<Mark> marks;  // in increasing offsets, not overlapping

  // Makes the file at `path`: a hole of `size` bytes, then the marks written in.
  ::testing::AssertionResult Make(const std::string& path) const;
  // The expected byte at `offset`.
  char At(int64_t offset) const;
};

// A file of 5 GiB marked at its start, across the end of its first extent
// (4 GiB - 2048: the marks straddle the boundary), at 4 GiB and at its last
// bytes.
MarkedFile FiveGiBMarked();

// Compares a stream of bytes with a MarkedFile, chunk by chunk, as a
// reader hands them over: every byte, and the total size.
class MarkedFileCheck {
 public:
  explicit MarkedFileCheck(const MarkedFile& expected) : expected_(expected) {}
  void operator()(std::string_view chunk);
  // Everything seen so far, and nothing more than the file, was right; the
  // size is checked by Whole().
  ::testing::AssertionResult Whole() const;

 private:
  const MarkedFile& expected_;
  int64_t seen_ = 0;
  int64_t first_difference_ = -1;
};

// Reads the file at `path` through MarkedFileCheck.
::testing::AssertionResult SameAsMarked(const std::string& path, const MarkedFile& expected);

}  // namespace zamo::test
