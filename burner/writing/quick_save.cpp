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
#include <array>
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

// Writes into the image at a running position, checking every write.
class ImageWriter {
 public:
  ImageWriter(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}

  int64_t position() const { return position_; }

  Status Write(const uint8_t* data, size_t count) {
    while (count > 0) {
      const ssize_t put = pwrite(fd_, data, count, position_);
      if (put <= 0) return Failure(put < 0 ? errno : ENOSPC);
      data += put;
      count -= static_cast<size_t>(put);
      position_ += put;
    }
    return Status::Ok();
  }

  Status WriteZeros(int64_t count) {
    static const std::array<uint8_t, 64 * 1024> kZeros{};
    while (count > 0) {
      const auto n = static_cast<size_t>(std::min<int64_t>(count, kZeros.size()));
      if (Status s = Write(kZeros.data(), n); !s.ok()) return s;
      count -= static_cast<int64_t>(n);
    }
    return Status::Ok();
  }

  Status PadToSector() {
    const int64_t rest = position_ % kSectorSize;
    return rest == 0 ? Status::Ok() : WriteZeros(kSectorSize - rest);
  }

  // Copies `count` bytes of `source_fd` from its start into the image; fails
  // naming `source` when fewer come.
  Status CopyFrom(int source_fd, const std::string& source, int64_t count) {
    int64_t done = 0;
    bool kernel_copy = true;
    while (done < count) {
      const auto want = static_cast<size_t>(std::min<int64_t>(count - done, kCopyChunk));
      if (kernel_copy) {
        loff_t in_offset = done;
        loff_t out_offset = position_;
        const ssize_t n = copy_file_range(source_fd, &in_offset, fd_, &out_offset, want, 0);
        if (n > 0) {
          done += n;
          position_ += n;
          continue;
        }
        if (n == 0) return Shrank(source, done, count);
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return Failure(errno);
        kernel_copy = false;  // not supported here (or a read error): retry with read and write
      }
      buffer_.resize(kCopyChunk);
      const ssize_t got = pread(source_fd, buffer_.data(), want, done);
      if (got < 0) return Status::IoError(StrFormat(msg::kReadError, Shown(source).c_str(), SystemErrorText(errno).c_str()));
      if (got == 0) return Shrank(source, done, count);
      if (Status s = Write(buffer_.data(), static_cast<size_t>(got)); !s.ok()) return s;
      done += got;
    }
    return Status::Ok();
  }

 private:
  static std::string Shown(const std::string& path) { return DisplayUtf8(path); }

  Status Failure(int error) const {
    if (error == ENOSPC || error == EDQUOT) return Status::IoError(StrFormat(msg::kDiskFull, Shown(name_).c_str()));
    return Status::IoError(StrFormat(msg::kWriteError, Shown(name_).c_str(), SystemErrorText(error).c_str()));
  }

  static Status Shrank(const std::string& source, int64_t got, int64_t expected) {
    return Status::IoError(StrFormat(msg::kFileShrank, Shown(source).c_str(), static_cast<long long>(got),
                                     static_cast<long long>(expected)));
  }

  int fd_;
  std::string name_;
  int64_t position_ = 0;
  std::vector<uint8_t> buffer_;
};

Status OpenSource(const std::string& path, const struct stat& image, TFileStreamEx& stream) {
  if (stream.Handle < 0)
    return Status::IoError(StrFormat(msg::kCannotOpenFile, DisplayUtf8(path).c_str()));
  struct stat st {};
  if (fstat(stream.Handle, &st) == 0 && st.st_dev == image.st_dev && st.st_ino == image.st_ino)
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
  TFileStreamEx image(file_name, fmCreate);
  if (image.Handle < 0)
    return Status::IoError(
        StrFormat(msg::kCannotCreateImage, DisplayUtf8(file_name).c_str(), SystemErrorText(errno).c_str()));
  struct stat target {};
  const bool regular_file = fstat(image.Handle, &target) == 0 && S_ISREG(target.st_mode);
  Status result = CopyFilesToImage(image, file_name);
  if (!image.Close() && result.ok())
    result = Status::IoError(StrFormat(msg::kWriteError, DisplayUtf8(file_name).c_str(), SystemErrorText(errno).c_str()));
  // A partial image is removed; a device or pipe given as the target is not.
  if (!result.ok() && regular_file) unlink(file_name.c_str());
  return result;
}

Status TVeskBurner::CopyFilesToImage(TFileStreamEx& image, const std::string& file_name) {
  struct stat image_stat {};
  fstat(image.Handle, &image_stat);
  ImageWriter out(image.Handle, file_name);
  const auto head = ImageStream.Memory();
  if (Status s = out.Write(head.data(), head.size()); !s.ok()) return s;

  if (Bootable) {
    CurrentFile = BootImage;
    TFileStreamEx boot(BootImage, fmOpenRead | fmShareDenyNone);
    if (Status s = OpenSource(BootImage, image_stat, boot); !s.ok()) return s;
    const int64_t bytes = std::min<int64_t>(boot.GetSize(), int64_t{BootSectors} * kSectorSize);
    if (Status s = out.CopyFrom(boot.Handle, BootImage, bytes); !s.ok()) return s;
    if (Status s = out.PadToSector(); !s.ok()) return s;
    if (Status s = out.WriteZeros(PadAfterBoot * kSectorSize); !s.ok()) return s;
  }

  for (const TFEntry* entry : FileEntries()) {
    if ((entry->Attr & faDirectory) != 0) continue;
    if (entry->Imported || entry->SourcePath.empty()) continue;  // its data is already on the disc
    CurrentFile = entry->SourcePath;
    TFileStreamEx source(entry->SourcePath, fmOpenRead | fmShareDenyNone);
    if (Status s = OpenSource(entry->SourcePath, image_stat, source); !s.ok()) return s;
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
  if (out.position() != SessionSectors * kSectorSize)
    return Status::Internal(StrFormat(msg::kWriteError, DisplayUtf8(file_name).c_str(), "TAILLE INATTENDUE"));
  return Status::Ok();
}

}  // namespace zamo
