#include "burner/writing/image_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "burner/compilation/entries.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr size_t kCopyChunk = 1 << 20;

std::string Shown(const std::string& path) { return DisplayUtf8(path); }

// The descriptor that /dev/stdout, /dev/fd/N or /proc/self/fd/N names; -1
// for any other path.
int OwnDescriptor(const std::string& path) {
  if (path == "/dev/stdout") return STDOUT_FILENO;
  std::string_view rest;
  for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    if (std::string_view(path).starts_with(prefix)) rest = std::string_view(path).substr(prefix.size());
  }
  if (rest.empty() || rest.size() > 9 || rest.find_first_not_of("0123456789") != std::string_view::npos) return -1;
  return std::atoi(std::string(rest).c_str());
}

}  // namespace

std::unique_ptr<TFileStreamEx> CreateImageFile(const std::string& name) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return std::make_unique<TFileStreamEx>(name, fmCreate);
  auto stream = std::make_unique<TFileStreamEx>(name, fmOpenWrite | fmShareDenyNone);
  // A socket cannot be opened by name: this process's own is duplicated.
  if (const int own = OwnDescriptor(name); stream->Handle < 0 && errno == ENXIO && own >= 0)
    stream->Handle = fcntl(own, F_DUPFD_CLOEXEC, 0);
  return stream;
}

bool WritesInSequence(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode)) return false;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return true;
  return lseek(fd, 0, SEEK_CUR) < 0 && errno == ESPIPE;
}

Status ImageWriteFailure(const std::string& name, int error) {
  if (error == ENOSPC || error == EDQUOT) return Status::IoError(StrFormat(msg::kDiskFull, Shown(name).c_str()));
  if (error == EPIPE) return Status::IoError(StrFormat(msg::kImageReaderGone, Shown(name).c_str()));
  return Status::IoError(StrFormat(msg::kWriteError, Shown(name).c_str(), SystemErrorText(error).c_str()));
}

Status WriteParts(int fd, std::vector<iovec>& parts, bool in_sequence, int64_t* offset, const std::string& name) {
  size_t first = 0;
  while (first < parts.size()) {
    const int count = static_cast<int>(std::min<size_t>(parts.size() - first, IOV_MAX));
    const ssize_t put = in_sequence ? writev(fd, &parts[first], count) : pwritev(fd, &parts[first], count, *offset);
    if (put < 0 && errno == EINTR) continue;  // a signal came before anything was written
    if (put <= 0) return ImageWriteFailure(name, put < 0 ? errno : ENOSPC);
    *offset += put;
    auto left = static_cast<size_t>(put);
    while (first < parts.size() && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < parts.size()) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  parts.clear();
  return Status::Ok();
}

Status CopyRange(int source_fd, const std::string& source, int64_t source_size, int64_t from, int64_t end,
                 const ImageOutput& out, std::span<uint8_t> buffer, bool* kernel_copy) {
  while (from < end) {
    const auto want = static_cast<size_t>(std::min<int64_t>(end - from, kCopyChunk));
    if (*kernel_copy) {
      loff_t in_offset = from;
      loff_t out_offset = *out.offset;
      const ssize_t n = out.in_sequence ? sendfile(out.fd, source_fd, &in_offset, want)
                                        : copy_file_range(source_fd, &in_offset, out.fd, &out_offset, want, 0);
      if (n > 0) {
        from += n;
        *out.offset += n;
        continue;
      }
      if (n == 0) return ShrankError(source, from, source_size);
      if (errno == EINTR) continue;
      if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG || errno == EPIPE) return ImageWriteFailure(out.name, errno);
      *kernel_copy = false;  // not between these files (or a read error): read and write
    }
    const ssize_t got = pread(source_fd, buffer.data(), std::min(want, buffer.size()), from);
    if (got < 0 && ReadAgain(source_fd, errno)) continue;
    if (got < 0) return ReadError(source, errno);
    if (got == 0) return ShrankError(source, from, source_size);
    std::vector<iovec> part{{buffer.data(), static_cast<size_t>(got)}};
    if (Status s = WriteParts(out.fd, part, out.in_sequence, out.offset, out.name); !s.ok()) return s;
    from += got;
  }
  return Status::Ok();
}

void OutputBuffer::Append(const uint8_t* bytes, size_t count) { std::memcpy(Grow(count), bytes, count); }
void OutputBuffer::AppendZeros(size_t count) { std::memset(Grow(count), 0, count); }

ImageWriter::ImageWriter(int fd, std::string name)
    : fd_(fd), name_(std::move(name)), in_sequence_(WritesInSequence(fd)), buffer_(kOutputBuffer) {}

Status ImageWriter::Write(const uint8_t* data, size_t count) {
  if (count >= kOutputBuffer / 2) {
    if (Status s = Flush(); !s.ok()) return s;
    return WriteAt(data, count);
  }
  if (count > buffer_.room()) {
    if (Status s = Flush(); !s.ok()) return s;
  }
  buffer_.Append(data, count);
  return Status::Ok();
}

Status ImageWriter::WriteZeros(int64_t count) {
  while (count > 0) {
    if (buffer_.room() == 0) {
      if (Status s = Flush(); !s.ok()) return s;
    }
    const auto n = static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(buffer_.room())));
    buffer_.AppendZeros(n);
    count -= static_cast<int64_t>(n);
  }
  return Status::Ok();
}

Status ImageWriter::PadToSector() {
  const int64_t rest = position() % kSectorSize;
  return rest == 0 ? Status::Ok() : WriteZeros(kSectorSize - rest);
}

Status ImageWriter::CopyFrom(int source_fd, const std::string& source, int64_t count, int64_t from) {
  if (count <= kSmallFile) return ReadIntoBuffer(source_fd, source, count, from);
  if (Status s = Flush(); !s.ok()) return s;
  // Left unfilled: its pages are only touched if the kernel cannot copy.
  if (!chunk_) chunk_.reset(new uint8_t[kCopyChunk]);
  bool kernel_copy = true;
  return CopyRange(source_fd, source, from + count, from, from + count, {fd_, in_sequence_, &flushed_, name_},
                   {chunk_.get(), kCopyChunk}, &kernel_copy);
}

Status ImageWriter::Overwrite(int64_t offset, const uint8_t* data, size_t count) {
  assert(offset >= 0 && offset + static_cast<int64_t>(count) <= position());
  // The part already in the file, then the part still in the buffer.
  if (count > 0 && offset < flushed_ && in_sequence_)
    return Status::Internal(StrFormat(msg::kWriteError, Shown(name_).c_str(), "RETOUR EN ARRIÈRE IMPOSSIBLE"));
  while (count > 0 && offset < flushed_) {
    const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), flushed_ - offset));
    const ssize_t put = pwrite(fd_, data, n, offset);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return ImageWriteFailure(name_, put < 0 ? errno : ENOSPC);
    data += put;
    count -= static_cast<size_t>(put);
    offset += put;
  }
  if (count > 0) std::memcpy(buffer_.data() + (offset - flushed_), data, count);
  return Status::Ok();
}

Status ImageWriter::Flush() {
  if (buffer_.empty()) return Status::Ok();
  Status s = WriteAt(buffer_.data(), buffer_.size());
  buffer_.clear();
  return s;
}

Status ImageWriter::ReadIntoBuffer(int source_fd, const std::string& source, int64_t count, int64_t from) {
  if (static_cast<size_t>(count) > buffer_.room()) {
    if (Status s = Flush(); !s.ok()) return s;
  }
  uint8_t* at = buffer_.Grow(static_cast<size_t>(count));
  int64_t done = 0;
  while (done < count) {
    const ssize_t got = pread(source_fd, at + done, static_cast<size_t>(count - done), from + done);
    if (got < 0 && ReadAgain(source_fd, errno)) continue;
    if (got < 0) return ReadError(source, errno);
    if (got == 0) return ShrankError(source, from + done, from + count);
    done += got;
  }
  return Status::Ok();
}

Status ImageWriter::WriteAt(const uint8_t* data, size_t count) {
  std::vector<iovec> part = {{const_cast<uint8_t*>(data), count}};
  return WriteParts(fd_, part, in_sequence_, &flushed_, name_);
}

SourceOpener::~SourceOpener() {
  if (folder_fd_ >= 0) close(folder_fd_);
}

int SourceOpener::OpenFd(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return open(path.c_str(), kFlags);
  const std::string_view folder(path.data(), slash);
  if (folder != folder_) {
    if (folder_fd_ >= 0) close(folder_fd_);
    folder_.assign(folder);
    folder_fd_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (folder_fd_ < 0) return open(path.c_str(), kFlags);
  return openat(folder_fd_, path.c_str() + slash + 1, kFlags);
}

bool ReadAgain(int fd, int error) {
  if (error == EINTR) return true;
  if (error != EAGAIN && error != EWOULDBLOCK) return false;
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_NONBLOCK) != 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

Status CheckSource(const std::string& path, const std::optional<FileIdentity>& image, TFileStreamEx& stream) {
  if (stream.Handle < 0) return Status::IoError(StrFormat(msg::kCannotOpenFile, Shown(path).c_str()));
  struct stat st {};
  if (image && fstat(stream.Handle, &st) == 0 && st.st_dev == image->first && st.st_ino == image->second)
    return Status::Invalid(StrFormat(msg::kImageInCompilation, Shown(path).c_str()));
  return Status::Ok();
}

Status ReadError(const std::string& source, int error) {
  return Status::IoError(StrFormat(msg::kReadError, Shown(source).c_str(), SystemErrorText(error).c_str()));
}

Status ShrankError(const std::string& source, int64_t got, int64_t expected) {
  return Status::IoError(StrFormat(msg::kFileShrank, Shown(source).c_str(), static_cast<long long>(got),
                                   static_cast<long long>(expected)));
}

}  // namespace zamo
