// stream_ex.h: unbuffered file streams with 64-bit sizes and positions, and
// the memory stream that holds an image head. They wrap a file descriptor and
// nothing more: no buffering, no exceptions. Open and create failures show as
// a negative Handle, read and write failures as a result of 0, seek failures
// as -1.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace zamo {

constexpr uint16_t fmCreate = 0xFFFF;          // create anew, read and write
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareDenyNone = 0x0040;   // others may read and write
constexpr uint16_t soFromBeginning = 0;
constexpr uint16_t soFromCurrent = 1;
constexpr uint16_t soFromEnd = 2;

class TStreamEx {
 public:
  virtual ~TStreamEx() = default;
  // false when the size could not be set.
  virtual bool SetSize(int64_t new_size);
  // Bytes transferred; 0 on failure.
  virtual int Read(void* buffer, int count) = 0;
  virtual int Write(const void* buffer, int count) = 0;
  // The new position, or -1.
  virtual int64_t Seek(int64_t offset, uint16_t origin) = 0;
  // The size; the position is left where it was.
  int64_t GetSize();
};

class THandleStreamEx : public TStreamEx {
 public:
  explicit THandleStreamEx(int handle) : Handle(handle) {}
  bool SetSize(int64_t new_size) override;
  int Read(void* buffer, int count) override;
  int Write(const void* buffer, int count) override;
  int64_t Seek(int64_t offset, uint16_t origin) override;

  int Handle;  // negative: no file open
};

class TFileStreamEx : public THandleStreamEx {
 public:
  // Opens or creates `file_name` as `mode` says (fmCreate, or access in bits
  // 0-1 and sharing in bits 4-7). Never throws: check Handle.
  TFileStreamEx(const std::string& file_name, uint16_t mode);
  // The same for a name relative to an open folder (openat): opening many
  // files of one folder this way walks their path once.
  TFileStreamEx(int folder_fd, const std::string& name, uint16_t mode);
  // Takes over `handle`, an open descriptor (or a negative one: no file).
  static std::unique_ptr<TFileStreamEx> Adopt(int handle);
  ~TFileStreamEx() override;
  // Closes the file now; false when the system reports a failure (a delayed
  // write error). Handle is negative afterwards.
  bool Close();
  TFileStreamEx(const TFileStreamEx&) = delete;
  TFileStreamEx& operator=(const TFileStreamEx&) = delete;

 private:
  struct AdoptTag {};
  TFileStreamEx(AdoptTag, int handle) : THandleStreamEx(handle) {}
};

// A growable in-memory stream: the image head is built in one.
class TMemoryStreamEx : public TStreamEx {
 public:
  bool SetSize(int64_t new_size) override;
  int Read(void* buffer, int count) override;
  int Write(const void* buffer, int count) override;
  int64_t Seek(int64_t offset, uint16_t origin) override;

  void Clear();
  void Reserve(size_t bytes) { data_.reserve(bytes); }
  // Appends at the end (the position moves to the end).
  void Append(std::span<const uint8_t> bytes);
  void AppendZeros(size_t count);
  int64_t Size() const { return static_cast<int64_t>(data_.size()); }
  std::span<const uint8_t> Memory() const { return data_; }
  std::span<uint8_t> MutableMemory() { return data_; }
  // Releases the memory (Clear keeps the capacity).
  void Release();

 private:
  std::vector<uint8_t> data_;
  int64_t position_ = 0;
};

}  // namespace zamo
