#include "burner/platform/stream_ex.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zamo {

bool TStreamEx::SetSize(int64_t) { return true; }

int64_t TStreamEx::GetSize() {
  const int64_t position = Seek(0, soFromCurrent);
  const int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

bool THandleStreamEx::SetSize(int64_t new_size) {
  if (Seek(new_size, soFromBeginning) != new_size) return false;
  return ftruncate(Handle, new_size) == 0;
}

int THandleStreamEx::Read(void* buffer, int count) {
  if (Handle < 0 || count <= 0) return 0;
  const ssize_t got = read(Handle, buffer, static_cast<size_t>(count));
  return got < 0 ? 0 : static_cast<int>(got);
}

int THandleStreamEx::Write(const void* buffer, int count) {
  if (Handle < 0 || count <= 0) return 0;
  const ssize_t put = write(Handle, buffer, static_cast<size_t>(count));
  return put < 0 ? 0 : static_cast<int>(put);
}

int64_t THandleStreamEx::Seek(int64_t offset, uint16_t origin) {
  if (Handle < 0) return -1;
  const int whence = origin == soFromCurrent ? SEEK_CUR : origin == soFromEnd ? SEEK_END : SEEK_SET;
  const off_t position = lseek(Handle, offset, whence);
  return position < 0 ? -1 : static_cast<int64_t>(position);
}

namespace {

// open(2) flags of a mode, or -1 when the mode opens nothing.
int OpenFlags(uint16_t mode) {
  if (mode == fmCreate) return O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
  const int access = mode & 3;
  const int sharing = (mode & 0xF0) >> 4;
  if (access == 3 || sharing > 4) return -1;  // as the mode table says
  // Sharing modes are advisory on Linux: a second opener is never refused.
  return (access == 0 ? O_RDONLY : access == 1 ? O_WRONLY : O_RDWR) | O_CLOEXEC;
}

}  // namespace

TFileStreamEx::TFileStreamEx(const std::string& file_name, uint16_t mode) : TFileStreamEx(AT_FDCWD, file_name, mode) {}

TFileStreamEx::TFileStreamEx(int folder_fd, const std::string& name, uint16_t mode) : THandleStreamEx(-1) {
  const int flags = OpenFlags(mode);
  if (flags >= 0) Handle = openat(folder_fd, name.c_str(), flags, 0644);
}

std::unique_ptr<TFileStreamEx> TFileStreamEx::Adopt(int handle) {
  return std::unique_ptr<TFileStreamEx>(new TFileStreamEx(AdoptTag{}, handle));
}

TFileStreamEx::~TFileStreamEx() { Close(); }

bool TFileStreamEx::Close() {
  if (Handle < 0) return true;
  const int result = close(Handle);
  Handle = -1;
  return result == 0;
}

bool TMemoryStreamEx::SetSize(int64_t new_size) {
  if (new_size < 0) return false;
  data_.resize(static_cast<size_t>(new_size));
  position_ = std::min(position_, new_size);
  return true;
}

int TMemoryStreamEx::Read(void* buffer, int count) {
  if (count <= 0 || position_ >= Size()) return 0;
  const int64_t n = std::min<int64_t>(count, Size() - position_);
  std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return static_cast<int>(n);
}

int TMemoryStreamEx::Write(const void* buffer, int count) {
  if (count <= 0) return 0;
  const int64_t end = position_ + count;
  if (end > Size()) data_.resize(static_cast<size_t>(end));
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ = end;
  return count;
}

int64_t TMemoryStreamEx::Seek(int64_t offset, uint16_t origin) {
  const int64_t base = origin == soFromCurrent ? position_ : origin == soFromEnd ? Size() : 0;
  if (base + offset < 0) return -1;
  position_ = base + offset;
  return position_;
}

void TMemoryStreamEx::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStreamEx::Append(std::span<const uint8_t> bytes) {
  data_.insert(data_.end(), bytes.begin(), bytes.end());
  position_ = Size();
}

void TMemoryStreamEx::AppendZeros(size_t count) {
  data_.resize(data_.size() + count, 0);
  position_ = Size();
}

void TMemoryStreamEx::Release() {
  std::vector<uint8_t>().swap(data_);
  position_ = 0;
}

}  // namespace zamo
