// image_writer.h: writing an image file at a running position, every write
// checked, with many small files gathered into one buffer and large ones
// copied by the kernel; opening the image file and the source files it
// copies. An image written to a pipe, a socket or a terminal (an output that
// cannot seek) takes every byte in order: no write at an offset, no hole.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "burner/platform/status.h"
#include "burner/platform/stream_ex.h"

namespace zamo {

// A file larger than this is copied by the kernel, not through the buffer.
constexpr int64_t kSmallFile = 256 << 10;
// The output buffer: many small files go out in one write of 1 MiB. The
// 100,000 files of 0 to 8 KB of the small bench corpus (410 MB) went into
// one file in a median 1.06 s gathered 1 MiB at a time, 1.05 s at 512 KiB
// and 1.61 s at 4 MiB, as slow as cat (bench/write_sizes.sh, g1024 against
// g4096).
constexpr size_t kOutputBuffer = 1 << 20;
static_assert(static_cast<size_t>(kSmallFile) <= kOutputBuffer / 2, "a small file always fits in an emptied buffer");

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
  void Append(const uint8_t* bytes, size_t count);
  void AppendZeros(size_t count);
  size_t room() const { return capacity_ - size_; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_;
  size_t size_ = 0;
};

// Opens the image file `name` to be written from its start: a regular file
// is created or emptied; a pipe, a socket or a device is opened for writing
// only (a pipe opened for reading too would be its own reader: a reader that
// goes would not be noticed, and the writes would wait for ever once the pipe
// is full). /dev/stdout and /dev/fd/N that cannot be opened again (a socket)
// are this process's own descriptor, duplicated. Check Handle.
std::unique_ptr<TFileStreamEx> CreateImageFile(const std::string& name);
// True when `fd` cannot be written at an offset: a pipe, a socket, or a
// device that refuses to seek (a terminal). Such an output takes every byte
// in order, with write(2), never pwrite(2), and no hole.
bool WritesInSequence(int fd);
// The failure of a write to the image file `name`: a full disk, a reader of
// the pipe that has gone (EPIPE), or the system's error.
Status ImageWriteFailure(const std::string& name, int error);
// Writes `parts` whole, at `*offset` (which moves on), or in order when
// `in_sequence`; a short write is continued, an interrupted one retried.
Status WriteParts(int fd, std::vector<iovec>& parts, bool in_sequence, int64_t* offset, const std::string& name);

// An image file being written: its descriptor, whether it takes bytes in
// order only (WritesInSequence), where the next byte goes (moved on by each
// write) and the name failures give.
struct ImageOutput {
  int fd;
  bool in_sequence;
  int64_t* offset;
  const std::string& name;
};
// Copies bytes `from` to `end` of the source file `source_fd` to `out`.
// While `*kernel_copy`, the kernel copies (copy_file_range at an offset,
// sendfile in order); where it cannot (another file system, a read error),
// `*kernel_copy` is cleared and the bytes go by pread into `buffer` and
// write. A source that ends first fails naming `source` and its expected
// `source_size`; a full disk or a gone reader fails naming the image.
Status CopyRange(int source_fd, const std::string& source, int64_t source_size, int64_t from, int64_t end,
                 const ImageOutput& out, std::span<uint8_t> buffer, bool* kernel_copy);

// Writes an image file from its start. Failures name the image (`name`).
class ImageWriter {
 public:
  ImageWriter(int fd, std::string name);

  int64_t position() const { return flushed_ + static_cast<int64_t>(buffer_.size()); }

  Status Write(const uint8_t* data, size_t count);
  Status WriteZeros(int64_t count);
  Status PadToSector();
  // Copies `count` bytes of `source_fd` from byte `from`; fails naming
  // `source` when fewer come. Flushes the buffer first for a large file.
  Status CopyFrom(int source_fd, const std::string& source, int64_t count, int64_t from = 0);
  // Lays `count` bytes over those already written at `offset` (before the
  // position), whether they are still in the buffer or in the file. An
  // output written in sequence takes it only while they are in the buffer.
  Status Overwrite(int64_t offset, const uint8_t* data, size_t count);
  Status Flush();

 private:
  Status ReadIntoBuffer(int source_fd, const std::string& source, int64_t count, int64_t from);
  Status WriteAt(const uint8_t* data, size_t count);

  int fd_;
  std::string name_;
  bool in_sequence_;     // a pipe, a socket, a terminal: write(2) in order
  int64_t flushed_ = 0;  // bytes already in the file
  OutputBuffer buffer_;
  std::unique_ptr<uint8_t[]> chunk_;  // a large file's bytes when the kernel cannot copy them
};

// Device and inode of a file.
using FileIdentity = std::pair<dev_t, ino_t>;

// Opens source files through a descriptor of their folder, kept while the
// files of one folder follow each other (as a folder walk adds them): one
// path component is looked up per file instead of the whole path. Files are
// opened without blocking (O_NONBLOCK): a source replaced by a named pipe
// after it was added opens at once and fails its read, where a blocking open
// would wait for ever for a writer.
class SourceOpener {
 public:
  SourceOpener() = default;
  SourceOpener(const SourceOpener&) = delete;
  SourceOpener& operator=(const SourceOpener&) = delete;
  ~SourceOpener();
  // A new descriptor of `path`, or -1 with errno set.
  int OpenFd(const std::string& path);
  std::unique_ptr<TFileStreamEx> Open(const std::string& path) { return TFileStreamEx::Adopt(OpenFd(path)); }

 private:
  std::string folder_;
  int folder_fd_ = -1;
};

// Whether a read of a source that failed with `error` is to be tried again:
// interrupted by a signal, or EAGAIN from a source opened without blocking
// (SourceOpener) on a file system that honours that for files, which is
// then set to block.
bool ReadAgain(int fd, int error);

// The open failure of a source, or, when `image` (the identity the image file
// had before it was created) is given and the source is that file, the
// refusal to copy an image into itself.
Status CheckSource(const std::string& path, const std::optional<FileIdentity>& image, TFileStreamEx& stream);

// Failures that name a source file.
Status ReadError(const std::string& source, int error);
Status ShrankError(const std::string& source, int64_t got, int64_t expected);

}  // namespace zamo
