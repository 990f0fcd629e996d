#include "burner/writing/image_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cstring>
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

}  // namespace

void OutputBuffer::Append(const uint8_t* bytes, size_t count) { std::memcpy(Grow(count), bytes, count); }
void OutputBuffer::AppendZeros(size_t count) { std::memset(Grow(count), 0, count); }

ImageWriter::ImageWriter(int fd, std::string name) : fd_(fd), name_(std::move(name)), buffer_(kOutputBuffer) {}

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

Status ImageWriter::CopyFrom(int source_fd, const std::string& source, int64_t count) {
  if (count <= kSmallFile) return ReadIntoBuffer(source_fd, source, count);
  if (Status s = Flush(); !s.ok()) return s;
  int64_t done = 0;
  bool kernel_copy = true;
  std::vector<uint8_t> chunk;
  while (done < count) {
    const auto want = static_cast<size_t>(std::min<int64_t>(count - done, kCopyChunk));
    if (kernel_copy) {
      loff_t in_offset = done;
      loff_t out_offset = flushed_;
      const ssize_t n = copy_file_range(source_fd, &in_offset, fd_, &out_offset, want, 0);
      if (n > 0) {
        done += n;
        flushed_ += n;
        continue;
      }
      if (n == 0) return ShrankError(source, done, count);
      if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return Failure(errno);
      kernel_copy = false;  // not supported here (or a read error): retry with read and write
    }
    chunk.resize(kCopyChunk);
    const ssize_t got = pread(source_fd, chunk.data(), want, done);
    if (got < 0) return ReadError(source, errno);
    if (got == 0) return ShrankError(source, done, count);
    if (Status s = WriteAt(chunk.data(), static_cast<size_t>(got)); !s.ok()) return s;
    done += got;
  }
  return Status::Ok();
}

Status ImageWriter::Overwrite(int64_t offset, const uint8_t* data, size_t count) {
  assert(offset >= 0 && offset + static_cast<int64_t>(count) <= position());
  // The part already in the file, then the part still in the buffer.
  while (count > 0 && offset < flushed_) {
    const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), flushed_ - offset));
    const ssize_t put = pwrite(fd_, data, n, offset);
    if (put <= 0) return Failure(put < 0 ? errno : ENOSPC);
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

Status ImageWriter::ReadIntoBuffer(int source_fd, const std::string& source, int64_t count) {
  if (static_cast<size_t>(count) > buffer_.room()) {
    if (Status s = Flush(); !s.ok()) return s;
  }
  uint8_t* at = buffer_.Grow(static_cast<size_t>(count));
  int64_t done = 0;
  while (done < count) {
    const ssize_t got = pread(source_fd, at + done, static_cast<size_t>(count - done), done);
    if (got < 0) return ReadError(source, errno);
    if (got == 0) return ShrankError(source, done, count);
    done += got;
  }
  return Status::Ok();
}

Status ImageWriter::WriteAt(const uint8_t* data, size_t count) {
  while (count > 0) {
    const ssize_t put = pwrite(fd_, data, count, flushed_);
    if (put <= 0) return Failure(put < 0 ? errno : ENOSPC);
    data += put;
    count -= static_cast<size_t>(put);
    flushed_ += put;
  }
  return Status::Ok();
}

Status ImageWriter::Failure(int error) const {
  if (error == ENOSPC || error == EDQUOT) return Status::IoError(StrFormat(msg::kDiskFull, Shown(name_).c_str()));
  return Status::IoError(StrFormat(msg::kWriteError, Shown(name_).c_str(), SystemErrorText(error).c_str()));
}

SourceOpener::~SourceOpener() {
  if (folder_fd_ >= 0) close(folder_fd_);
}

std::unique_ptr<TFileStreamEx> SourceOpener::Open(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0)
    return std::make_unique<TFileStreamEx>(path, fmOpenRead | fmShareDenyNone);
  const std::string_view folder(path.data(), slash);
  if (folder != folder_) {
    if (folder_fd_ >= 0) close(folder_fd_);
    folder_.assign(folder);
    folder_fd_ = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (folder_fd_ < 0) return std::make_unique<TFileStreamEx>(path, fmOpenRead | fmShareDenyNone);
  return std::make_unique<TFileStreamEx>(folder_fd_, path.substr(slash + 1), fmOpenRead | fmShareDenyNone);
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
