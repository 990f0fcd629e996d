#include "burner/writing/writer_thread.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"
#include "burner/writing/cache_thread.h"

namespace zamo {

TThWrite::TThWrite(TVeskBurner& burner, bool to_file)
    : ToFile(to_file), burner_(burner), cache_(*burner.CacheThread) {}

void TThWrite::Execute() {
  // The abort flag was cleared when the job started: an abort asked since
  // (while the cache filled, or just now) stops the writer at its first block.
  burner_.writing_active_ = true;
  burner_.bytes_written_ = 0;
  cache_.SetErrorText("");
  if (ToFile) {
    file_ = std::make_unique<TFileStreamEx>(burner_.ISOFileName, fmCreate);
    if (file_->Handle < 0) {
      Fail(StrFormat(msg::kCannotCreateFile, DisplayUtf8(burner_.ISOFileName).c_str()) + " (" +
           SystemErrorText(errno) + ")");
    }
    burner_.SessionStart = 0;
  }
  if (cache_.ErrorText().empty()) TransferLoop();
  // An image file needs no closing phase; a recorder's comes here.
  Finish();
}

void TThWrite::Fail(const std::string& text) {
  cache_.Abort();
  cache_.SetErrorText(text);
}

void TThWrite::TransferLoop() {
  using SteadyClock = std::chrono::steady_clock;
  // An image file takes up to this many ready blocks in one write; a
  // recorder takes one block a WRITE command.
  const size_t blocks_per_write = ToFile ? 16 : 1;
  const int64_t image_bytes = burner_.ImageSectors() * kSectorSize;
  std::vector<std::unique_ptr<TCacheBlock>> blocks;
  int64_t n = cache_.TakeBlocks(blocks, blocks_per_write);
  // A producer that delivers nothing for this long is stalled: the job ends
  // with a message instead of waiting for ever.
  int64_t last_produced = cache_.ProducedBytes();
  SteadyClock::time_point last_progress = SteadyClock::now();
  for (;;) {
    if (n == -1) {
      if (burner_.abort_flag_) return Fail(msg::kAbortedByUser);
      if (!cache_.ErrorText().empty()) return;
      cache_.WaitForData(1);
      const int64_t produced = cache_.ProducedBytes();
      if (produced != last_produced) {
        last_produced = produced;
        last_progress = SteadyClock::now();
      } else if (SteadyClock::now() - last_progress > burner_.StallBound) {
        return Fail(StrFormat(msg::kCacheStalled, static_cast<int>(burner_.StallBound.count()),
                              DisplayUtf8(cache_.CurrentFile()).c_str()));
      }
      n = cache_.TakeBlocks(blocks, blocks_per_write);
      continue;
    }
    if (n == 0) return;  // the data is complete (or the cache failed)
    burner_.CurrentFile = cache_.CurrentFile();
    burner_.bytes_written_ = std::min(burner_.bytes_written_ + n, image_bytes);
    if (ToFile) {
      if (Status s = WriteToFile(blocks); !s.ok()) return Fail(s.UserText());
    }
    for (auto& block : blocks) cache_.Recycle(std::move(block));
    blocks.clear();
    last_progress = SteadyClock::now();
    if (burner_.abort_flag_) return Fail(msg::kAbortedByUser);
    n = cache_.TakeBlocks(blocks, blocks_per_write);
    if (!cache_.ErrorText().empty()) return;
  }
}

Status TThWrite::WriteToFile(const std::vector<std::unique_ptr<TCacheBlock>>& blocks) {
  std::vector<iovec> parts;
  parts.reserve(blocks.size());
  for (const auto& block : blocks) parts.push_back({block->Data.data(), static_cast<size_t>(block->Count)});
  size_t first = 0;
  // Every write is checked: a short write or a full disk fails the job.
  while (first < parts.size()) {
    const ssize_t put = pwritev(file_->Handle, &parts[first], static_cast<int>(parts.size() - first), file_offset_);
    if (put <= 0) {
      const int error = put < 0 ? errno : ENOSPC;
      const std::string name = DisplayUtf8(burner_.ISOFileName);
      if (error == ENOSPC || error == EDQUOT) return Status::IoError(StrFormat(msg::kDiskFull, name.c_str()));
      return Status::IoError(StrFormat(msg::kWriteError, name.c_str(), SystemErrorText(error).c_str()));
    }
    file_offset_ += put;
    auto left = static_cast<size_t>(put);
    while (first < parts.size() && left >= parts[first].iov_len) left -= parts[first++].iov_len;
    if (first < parts.size()) {
      parts[first].iov_base = static_cast<uint8_t*>(parts[first].iov_base) + left;
      parts[first].iov_len -= left;
    }
  }
  return Status::Ok();
}

void TThWrite::Finish() {
  burner_.Lock();
  burner_.CurrentFile = cache_.CurrentFile();
  std::string result = cache_.ErrorText();
  burner_.Unlock();
  if (file_ != nullptr) {
    struct stat target {};
    const bool regular = file_->Handle >= 0 && fstat(file_->Handle, &target) == 0 && S_ISREG(target.st_mode);
    if (!file_->Close() && result.empty()) {
      result = StrFormat(msg::kWriteError, DisplayUtf8(burner_.ISOFileName).c_str(), SystemErrorText(errno).c_str());
    }
    // A failed or aborted image is removed; a device given as the target is not.
    if (!result.empty() && regular) unlink(burner_.ISOFileName.c_str());
  }
  burner_.writing_active_ = false;
  cache_.WaitFor();
  burner_.FreeCacheThread();
  burner_.CurrentFile.clear();
  burner_.DeliverWriteDone(result);
  burner_.writer_running_ = false;  // the component may go from here on
}

}  // namespace zamo
