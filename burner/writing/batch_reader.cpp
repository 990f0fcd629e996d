#include "burner/writing/batch_reader.h"

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "burner/platform/str_format.h"

namespace zamo {
namespace {

// Below this many files a batch is read on the caller's thread alone.
constexpr size_t kWorthSharing = 8;

}  // namespace

BatchReader::BatchReader(std::optional<FileIdentity> image) : image_(image), worker_([this] { Worker(); }) {}

BatchReader::~BatchReader() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

Status BatchReader::Read(std::span<const SmallFileRead> batch, size_t* failed) {
  std::vector<Status> results(batch.size());
  const bool shared = batch.size() >= kWorthSharing;
  if (shared) {
    {
      std::lock_guard lock(mutex_);
      batch_ = batch;
      results_ = &results;
      ++posted_;
    }
    changed_.notify_all();
    ReadEvery(batch, 0, opener_, results);
    std::unique_lock lock(mutex_);
    // The worker only reads files; the wait ends when it has read its share.
    while (finished_ != posted_) changed_.wait_for(lock, std::chrono::milliseconds(100));
    results_ = nullptr;
  } else {
    for (size_t i = 0; i < batch.size(); ++i) results[i] = ReadOne(batch[i], opener_);
  }
  for (size_t i = 0; i < results.size(); ++i) {
    if (!results[i].ok()) {
      *failed = i;
      return results[i];
    }
  }
  return Status::Ok();
}

void BatchReader::Worker() noexcept {
  SourceOpener opener;
  uint64_t done = 0;
  std::unique_lock lock(mutex_);
  for (;;) {
    while (!stop_ && posted_ == done) changed_.wait_for(lock, std::chrono::milliseconds(100));
    if (stop_) return;
    const std::span<const SmallFileRead> batch = batch_;
    std::vector<Status>& results = *results_;
    lock.unlock();
    ReadEvery(batch, 1, opener, results);
    lock.lock();
    finished_ = ++done;
    changed_.notify_all();
  }
}

void BatchReader::ReadEvery(std::span<const SmallFileRead> batch, size_t first, SourceOpener& opener,
                            std::vector<Status>& results) noexcept {
  for (size_t i = first; i < batch.size(); i += 2) {
    try {
      results[i] = ReadOne(batch[i], opener);
    } catch (...) {
      results[i] = Status::Internal(StrFormat("LECTURE INTERROMPUE \"%s\"", batch[i].path->c_str()));
    }
  }
}

Status BatchReader::ReadOne(const SmallFileRead& file, SourceOpener& opener) {
  const std::unique_ptr<TFileStreamEx> source = opener.Open(*file.path);
  if (Status s = CheckSource(*file.path, image_, *source); !s.ok()) return s;
  int64_t done = 0;
  while (done < file.size) {
    const ssize_t got = pread(source->Handle, file.dest + done, static_cast<size_t>(file.size - done), done);
    if (got < 0) return ReadError(*file.path, errno);
    if (got == 0) return ShrankError(*file.path, done, file.size);
    done += got;
  }
  std::memset(file.dest + file.size, 0, file.padded - static_cast<size_t>(file.size));
  return Status::Ok();
}

}  // namespace zamo
