#include "tests/support/marked_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zamo::test {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kFirstExtentBytes = 0xFFFFF800;

// Offset of the first byte of `chunk` that is not zero, or npos.
size_t FirstNonZero(std::string_view chunk) {
  static const std::vector<char> zeros(1 << 20, '\0');
  for (size_t at = 0; at < chunk.size(); at += zeros.size()) {
    const size_t n = std::min(zeros.size(), chunk.size() - at);
    if (std::memcmp(chunk.data() + at, zeros.data(), n) == 0) continue;
    for (size_t k = at; k < at + n; ++k) {
      if (chunk[k] != '\0') return k;
    }
  }
  return std::string_view::npos;
}

}  // namespace

::testing::AssertionResult MarkedFile::Make(const std::string& path) const {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return ::testing::AssertionFailure() << "cannot create " << path;
  bool ok = ftruncate(fd, size) == 0;
  for (const Mark& m : marks) {
    ok = ok && pwrite(fd, m.bytes.data(), m.bytes.size(), m.offset) == static_cast<ssize_t>(m.bytes.size());
  }
  ok = close(fd) == 0 && ok;
  if (!ok) return ::testing::AssertionFailure() << "cannot write " << path;
  return ::testing::AssertionSuccess();
}

char MarkedFile::At(int64_t offset) const {
  for (const Mark& m : marks) {
    if (offset >= m.offset && offset < m.offset + static_cast<int64_t>(m.bytes.size()))
      return m.bytes[static_cast<size_t>(offset - m.offset)];
  }
  return '\0';
}

MarkedFile FiveGiBMarked() {
  const int64_t size = 5 * kGiB;
  return MarkedFile{size,
                    {{0, "DÉBUT du grand fichier"},
                     {kFirstExtentBytes - 11, "fin extent 1|début extent 2"},
                     {4 * kGiB, "à 4 Gio tout rond"},
                     {size - 4, "FIN."}}};
}

void MarkedFileCheck::operator()(std::string_view chunk) {
  const int64_t start = seen_;
  seen_ += static_cast<int64_t>(chunk.size());
  if (first_difference_ >= 0) return;
  if (seen_ > expected_.size) {
    first_difference_ = std::max(start, expected_.size);
    return;
  }
  // Between the marks: zeros; on a mark: its bytes.
  int64_t at = start;
  for (const Mark& m : expected_.marks) {
    const int64_t mark_end = m.offset + static_cast<int64_t>(m.bytes.size());
    if (mark_end <= at || m.offset >= seen_) continue;
    if (m.offset > at) {
      const std::string_view gap = chunk.substr(static_cast<size_t>(at - start), static_cast<size_t>(m.offset - at));
      const size_t bad = FirstNonZero(gap);
      if (bad != std::string_view::npos) {
        first_difference_ = at + static_cast<int64_t>(bad);
        return;
      }
      at = m.offset;
    }
    for (; at < std::min(mark_end, seen_); ++at) {
      if (chunk[static_cast<size_t>(at - start)] != expected_.At(at)) {
        first_difference_ = at;
        return;
      }
    }
  }
  const size_t bad = FirstNonZero(chunk.substr(static_cast<size_t>(at - start)));
  if (bad != std::string_view::npos) first_difference_ = at + static_cast<int64_t>(bad);
}

::testing::AssertionResult MarkedFileCheck::Whole() const {
  if (first_difference_ >= 0)
    return ::testing::AssertionFailure() << "first wrong byte at offset " << first_difference_;
  if (seen_ != expected_.size)
    return ::testing::AssertionFailure() << seen_ << " bytes instead of " << expected_.size;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameAsMarked(const std::string& path, const MarkedFile& expected) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ::testing::AssertionFailure() << "cannot open " << path;
  MarkedFileCheck check(expected);
  std::vector<char> buffer(4 << 20);
  ssize_t n = 0;
  while ((n = read(fd, buffer.data(), buffer.size())) > 0) {
    check(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
  close(fd);
  if (n < 0) return ::testing::AssertionFailure() << "cannot read " << path;
  return check.Whole();
}

}  // namespace zamo::test
