// batch_reader.h: reads a batch of small source files into their places in
// an output buffer on two threads (the caller's and a worker), so that the
// opening, reading and closing of many small files uses both cores.
//
// Thread safety: one caller at a time; the worker touches only the batch it
// is given, between the start and the end of Read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "burner/platform/status.h"
#include "burner/writing/image_writer.h"

namespace zamo {

struct SmallFileRead {
  const std::string* path;
  uint8_t* dest;  // room for `padded` bytes
  int64_t size;   // bytes to read: the size the file was added with
  size_t padded;  // size rounded up to whole sectors: the rest is zeroed
};

class BatchReader {
 public:
  // `image`: see CheckSource.
  explicit BatchReader(std::optional<FileIdentity> image);
  ~BatchReader();
  BatchReader(const BatchReader&) = delete;
  BatchReader& operator=(const BatchReader&) = delete;

  // Reads every file of `batch` into its place. On failure returns the
  // failure of the first failing file in batch order and its index.
  Status Read(std::span<const SmallFileRead> batch, size_t* failed);

 private:
  void Worker() noexcept;
  // Reads the files at `first`, `first` + 2, ... into `results`.
  void ReadEvery(std::span<const SmallFileRead> batch, size_t first, SourceOpener& opener,
                 std::vector<Status>& results) noexcept;
  Status ReadOne(const SmallFileRead& file, SourceOpener& opener);

  const std::optional<FileIdentity> image_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::span<const SmallFileRead> batch_;
  std::vector<Status>* results_ = nullptr;
  uint64_t posted_ = 0;    // batches handed to the worker
  uint64_t finished_ = 0;  // batches the worker finished
  bool stop_ = false;
  SourceOpener opener_;  // the caller's
  std::thread worker_;
};

}  // namespace zamo
