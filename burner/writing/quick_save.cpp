// quick_save.cpp: the quick image save. Runs on the caller's thread without
// the read-ahead cache: the image head, the boot image and every file's data
// are copied into the image file in one pass, each file at the sector the
// layout gave it. Any file that cannot be read whole, and any write that
// fails, fails the save: no image with files at wrong sectors or silent zeros
// is ever reported as a success, and the partial file is removed.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr size_t kCopyChunk = 1 << 20;
// Output is gathered in a buffer of this size, so that many small files go
// out in one write; a file larger than kSmallFile is copied by the kernel.
constexpr size_t kOutputBuffer = 4 << 20;
constexpr int64_t kSmallFile = 256 << 10;

// A fixed block of memory filled from the front. Unlike a vector it does not
// clear what it gains: file data is read straight into it.
class OutputBuffer {
 public:
  explicit OutputBuffer(size_t capacity) : data_(new uint8_t[capacity]), capacity_(capacity) {}
  uint8_t* data() { return data_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  // Grows by `count` bytes left as they are; the caller fills them.
  uint8_t* Grow(size_t count) {
    uint8_t* at = data_.get() + size_;
    size_ += count;
    return at;
  }
  void Append(const uint8_t* bytes, size_t count) { std::memcpy(Grow(count), bytes, count); }
  void AppendZeros(size_t count) { std::memset(Grow(count), 0, count); }
  size_t room() const { return capacity_ - size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_;
  size_t size_ = 0;
};

// Writes into the image at a running position, checking every write.
class ImageWriter {
 public:
  ImageWriter(int fd, std::string name) : fd_(fd), name_(std::move(name)), buffer_(kOutputBuffer) {}

  int64_t position() const { return flushed_ + static_cast<int64_t>(buffer_.size()); }

  Status Write(const uint8_t* data, size_t count) {
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

  Status WriteZeros(int64_t count) {
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

  Status PadToSector() {
    const int64_t rest = position() % kSectorSize;
    return rest == 0 ? Status::Ok() : WriteZeros(kSectorSize - rest);
  }

  // Copies `count` bytes of `source_fd` from its start into the image; fails
  // naming `source` when fewer come.
  Status CopyFrom(int source_fd, const std::string& source, int64_t count) {
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
        if (n == 0) return Shrank(source, done, count);
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return Failure(errno);
        kernel_copy = false;  // not supported here (or a read error): retry with read and write
      }
      chunk.resize(kCopyChunk);
      const ssize_t got = pread(source_fd, chunk.data(), want, done);
      if (got < 0) return ReadError(source, errno);
      if (got == 0) return Shrank(source, done, count);
      if (Status s = WriteAt(chunk.data(), static_cast<size_t>(got)); !s.ok()) return s;
      done += got;
    }
    return Status::Ok();
  }

  Status Flush() {
    if (buffer_.empty()) return Status::Ok();
    Status s = WriteAt(buffer_.data(), buffer_.size());
    buffer_.clear();
    return s;
  }

 private:
  static std::string Shown(const std::string& path) { return DisplayUtf8(path); }

  // Reads a small file straight into the output buffer.
  Status ReadIntoBuffer(int source_fd, const std::string& source, int64_t count) {
    if (static_cast<size_t>(count) > buffer_.room()) {
      if (Status s = Flush(); !s.ok()) return s;
    }
    uint8_t* at = buffer_.Grow(static_cast<size_t>(count));
    int64_t done = 0;
    while (done < count) {
      const ssize_t got = pread(source_fd, at + done, static_cast<size_t>(count - done), done);
      if (got < 0) return ReadError(source, errno);
      if (got == 0) return Shrank(source, done, count);
      done += got;
    }
    return Status::Ok();
  }

  Status WriteAt(const uint8_t* data, size_t count) {
    while (count > 0) {
      const ssize_t put = pwrite(fd_, data, count, flushed_);
      if (put <= 0) return Failure(put < 0 ? errno : ENOSPC);
      data += put;
      count -= static_cast<size_t>(put);
      flushed_ += put;
    }
    return Status::Ok();
  }

  Status Failure(int error) const {
    if (error == ENOSPC || error == EDQUOT) return Status::IoError(StrFormat(msg::kDiskFull, Shown(name_).c_str()));
    return Status::IoError(StrFormat(msg::kWriteError, Shown(name_).c_str(), SystemErrorText(error).c_str()));
  }

  static Status ReadError(const std::string& source, int error) {
    return Status::IoError(StrFormat(msg::kReadError, Shown(source).c_str(), SystemErrorText(error).c_str()));
  }

  static Status Shrank(const std::string& source, int64_t got, int64_t expected) {
    return Status::IoError(StrFormat(msg::kFileShrank, Shown(source).c_str(), static_cast<long long>(got),
                                     static_cast<long long>(expected)));
  }

  int fd_;
  std::string name_;
  int64_t flushed_ = 0;  // bytes already in the file
  OutputBuffer buffer_;
};

// Opens source files through a descriptor of their folder, kept while the
// files of one folder follow each other (as a folder walk adds them).
class SourceOpener {
 public:
  SourceOpener() = default;
  SourceOpener(const SourceOpener&) = delete;
  SourceOpener& operator=(const SourceOpener&) = delete;
  ~SourceOpener() {
    if (folder_fd_ >= 0) close(folder_fd_);
  }

  std::unique_ptr<TFileStreamEx> Open(const std::string& path) {
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

 private:
  std::string folder_;
  int folder_fd_ = -1;
};

// `image` is the identity the target had before it was created, when it
// already existed: only then can a source of the compilation be the image.
Status OpenSource(const std::string& path, const std::optional<std::pair<dev_t, ino_t>>& image,
                  TFileStreamEx& stream) {
  if (stream.Handle < 0)
    return Status::IoError(StrFormat(msg::kCannotOpenFile, DisplayUtf8(path).c_str()));
  struct stat st {};
  if (image && fstat(stream.Handle, &st) == 0 && st.st_dev == image->first && st.st_ino == image->second)
    return Status::Invalid(StrFormat(msg::kImageInCompilation, DisplayUtf8(path).c_str()));
  return Status::Ok();
}

}  // namespace

void TVeskBurner::SaveImageFile(const std::string& file_name, bool quick) {
  (void)quick;  // the threaded pipeline takes over the non-quick save
  ISOFileName = file_name;
  const Status result = QuickSave(file_name);
  if (OnWriteDone) OnWriteDone(this, result.ok() ? std::string() : result.UserText());
}

Status TVeskBurner::QuickSave(const std::string& file_name) {
  LayoutImage(true, ImportTarget);
  BuildImageHeader(true, ImportTarget);
  // Files of the compilation existed when they were added; the image can be
  // one of them only if it existed before this save.
  std::optional<std::pair<dev_t, ino_t>> existing;
  struct stat before {};
  if (stat(file_name.c_str(), &before) == 0 && S_ISREG(before.st_mode)) existing.emplace(before.st_dev, before.st_ino);
  TFileStreamEx image(file_name, fmCreate);
  if (image.Handle < 0)
    return Status::IoError(
        StrFormat(msg::kCannotCreateImage, DisplayUtf8(file_name).c_str(), SystemErrorText(errno).c_str()));
  struct stat target {};
  const bool regular_file = fstat(image.Handle, &target) == 0 && S_ISREG(target.st_mode);
  Status result = CopyFilesToImage(image, file_name, existing);
  if (!image.Close() && result.ok())
    result = Status::IoError(StrFormat(msg::kWriteError, DisplayUtf8(file_name).c_str(), SystemErrorText(errno).c_str()));
  // A partial image is removed; a device or pipe given as the target is not.
  if (!result.ok() && regular_file) unlink(file_name.c_str());
  return result;
}

Status TVeskBurner::CopyFilesToImage(TFileStreamEx& image, const std::string& file_name,
                                     const std::optional<std::pair<dev_t, ino_t>>& image_identity) {
  ImageWriter out(image.Handle, file_name);
  const auto head = ImageStream.Memory();
  if (Status s = out.Write(head.data(), head.size()); !s.ok()) return s;

  if (Bootable) {
    CurrentFile = BootImage;
    TFileStreamEx boot(BootImage, fmOpenRead | fmShareDenyNone);
    if (Status s = OpenSource(BootImage, image_identity, boot); !s.ok()) return s;
    const int64_t bytes = std::min<int64_t>(boot.GetSize(), int64_t{BootSectors} * kSectorSize);
    if (Status s = out.CopyFrom(boot.Handle, BootImage, bytes); !s.ok()) return s;
    if (Status s = out.PadToSector(); !s.ok()) return s;
    if (Status s = out.WriteZeros(PadAfterBoot * kSectorSize); !s.ok()) return s;
  }

  SourceOpener sources;
  for (const TFEntry* entry : FileEntries()) {
    if ((entry->Attr & faDirectory) != 0) continue;
    if (entry->Imported || entry->SourcePath.empty()) continue;  // its data is already on the disc
    CurrentFile = entry->SourcePath;
    const std::unique_ptr<TFileStreamEx> opened = sources.Open(entry->SourcePath);
    TFileStreamEx& source = *opened;
    if (Status s = OpenSource(entry->SourcePath, image_identity, source); !s.ok()) return s;
    if (entry->IsoSize == 0) continue;
    const int64_t expected = int64_t{FirstFileLba} + entry->IsoExtent;
    const int64_t actual = out.position() / kSectorSize;
    if (expected != actual) {
      DebugMessage(">>> " + std::string(msg::kInternal0004) + " " + DisplayUtf8(entry->SourcePath) + " " +
                       std::to_string(expected) + "<>" + std::to_string(actual),
                   kMsgCompilation);
    }
    // A file that grew since it was added is copied up to its recorded size.
    if (Status s = out.CopyFrom(source.Handle, entry->SourcePath, entry->IsoSize); !s.ok()) return s;
    if (Status s = out.PadToSector(); !s.ok()) return s;
  }
  CurrentFile.clear();
  if (Status s = out.Flush(); !s.ok()) return s;
  if (out.position() != SessionSectors * kSectorSize)
    return Status::Internal(StrFormat(msg::kWriteError, DisplayUtf8(file_name).c_str(), "TAILLE INATTENDUE"));
  return Status::Ok();
}

}  // namespace zamo
