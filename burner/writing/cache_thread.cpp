// cache_thread.cpp: the producer of a writing job's byte stream.
#include "burner/writing/cache_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "burner/compilation/el_torito.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "burner/writing/image_writer.h"
#include "burner/writing/open_ahead.h"

namespace zamo {
namespace {

// Source files opened ahead of the one being read: enough to ride over a
// slow open, few enough for the descriptor limit (1,024 by default).
constexpr size_t kFilesOpenAhead = 64;
// ... and none that starts more than this after the start of the file being
// read: a file removed or replaced while the job is far before it still
// fails the job, as it did when each file was opened in its turn.
constexpr int64_t kOpenWindowBytes = 1 << 20;

// Source files held open for spans at one time, in the whole process: a
// large cache full of spans of small files would otherwise take descriptors
// that the opening of the next files needs. Past it a file is read here.
constexpr int kSharedSourcesMax = 32;
std::atomic<int> g_shared_sources{0};

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void Nap(std::mutex& mutex, std::condition_variable& cv, int ms) {
  std::unique_lock lock(mutex);
  cv.wait_for(lock, std::chrono::milliseconds(ms));
}

// RAII lock over the component's critical section.
class QueueLock {
 public:
  explicit QueueLock(TSCSIDevice& device) : device_(device) { device_.Lock(); }
  ~QueueLock() { device_.Unlock(); }
  QueueLock(const QueueLock&) = delete;
  QueueLock& operator=(const QueueLock&) = delete;

 private:
  TSCSIDevice& device_;
};

}  // namespace

TCacheThread::TCacheThread(CacheJob job, TSCSIDevice& queue_lock)
    : job_(std::move(job)), lock_(queue_lock), capacity_(std::max(2, job_.cache_size / job_.block_size)) {
  remaining_bytes_ = job_.total_bytes;
  pad_bytes_ = job_.total_bytes;
  // Only a compilation smaller than 300 sectors is padded, never an image file.
  job_.pad_to_minimum = job_.image_file_name.empty() && job_.pad_to_minimum && job_.total_bytes < kMinimumStreamBytes;
  SetPriority(ThreadPriority::kLower);
  Start();
}

TCacheThread::~TCacheThread() = default;

std::string TCacheThread::ErrorText() {
  QueueLock lock(lock_);
  return error_text_;
}

void TCacheThread::SetErrorText(const std::string& text) {
  QueueLock lock(lock_);
  error_text_ = text;
}

std::string TCacheThread::CurrentFile() {
  if (const TFEntry* entry = current_entry_.load(std::memory_order_acquire)) {
    std::string path;
    entry->AppendSourcePath(path);
    return path;
  }
  QueueLock lock(lock_);
  return current_file_;
}

int64_t TCacheThread::BufferedBytes() {
  QueueLock lock(lock_);
  return buffered_bytes_;
}

int64_t TCacheThread::RemainingBytes() {
  QueueLock lock(lock_);
  return remaining_bytes_;
}

int TCacheThread::TakeBlock(uint8_t* dest) {
  std::unique_ptr<TCacheBlock> block;
  const int n = TakeBlock(block);
  if (n > 0) {
    std::memcpy(dest, block->Data.data(), static_cast<size_t>(n));
    Recycle(std::move(block));
  }
  return n;
}

int TCacheThread::TakeBlock(std::unique_ptr<TCacheBlock>& block) {
  {
    QueueLock lock(lock_);
    if (remaining_bytes_ <= 0 && done_) return 0;
    if (queue_.empty()) return done_ ? 0 : -1;
  }
  while (discarding_) {
    SleepMs(1);
    if (abort_requested_) return 0;
  }
  QueueLock lock(lock_);
  if (queue_.empty()) return done_ ? 0 : -1;
  taking_ = true;
  block = std::move(queue_.front());
  queue_.pop_front();
  queued_.store(queue_.size(), std::memory_order_relaxed);
  buffered_bytes_ -= block->Count;
  remaining_bytes_ -= block->Count;
  taking_ = false;
  block_taken_.notify_one();
  return block->Count;
}

int64_t TCacheThread::TakeBlocks(std::vector<std::unique_ptr<TCacheBlock>>& blocks, size_t max) {
  if (!HandOverReady()) return -1;
  std::unique_ptr<TCacheBlock> first;
  const int n = TakeBlock(first);
  if (n <= 0) return n;
  int64_t total = n;
  blocks.push_back(std::move(first));
  QueueLock lock(lock_);
  while (blocks.size() < max && !queue_.empty() && !discarding_) {
    taking_ = true;
    std::unique_ptr<TCacheBlock> block = std::move(queue_.front());
    queue_.pop_front();
    queued_.store(queue_.size(), std::memory_order_relaxed);
    buffered_bytes_ -= block->Count;
    remaining_bytes_ -= block->Count;
    total += block->Count;
    blocks.push_back(std::move(block));
    taking_ = false;
  }
  block_taken_.notify_one();
  return total;
}

void TCacheThread::WaitForData(int ms) {
  std::unique_lock lock(signal_mutex_);
  data_queued_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return HandOverReady(); });
}

void TCacheThread::SetHandOver(size_t blocks) {
  // The queue holds at most Capacity - 1 blocks (WaitForRoom): a larger
  // batch would never be ready.
  hand_over_ = std::clamp<size_t>(blocks, 1, static_cast<size_t>(capacity_ - 1));
}

bool TCacheThread::HandOverReady() const {
  return queued_.load(std::memory_order_relaxed) >= hand_over_.load(std::memory_order_relaxed) || staged_all_ ||
         done_ || abort_requested_;
}

void TCacheThread::WakeConsumer() {
  { std::lock_guard lock(signal_mutex_); }
  data_queued_.notify_one();
}

TSourceFile::~TSourceFile() {
  if (Fd < 0) return;
  close(Fd);
  g_shared_sources.fetch_sub(1);
}

void TCacheThread::Recycle(std::unique_ptr<TCacheBlock> block) {
  block->Source.reset();  // the source is closed once no block names it
  QueueLock lock(lock_);
  // Blocks are reused: fresh memory costs a page fault every 4 KiB.
  if (spare_.size() < static_cast<size_t>(capacity_)) spare_.push_back(std::move(block));
}

std::unique_ptr<TCacheBlock> TCacheThread::NewBlock() {
  {
    QueueLock lock(lock_);
    if (!spare_.empty()) {
      std::unique_ptr<TCacheBlock> block = std::move(spare_.back());
      spare_.pop_back();
      block->Count = 0;
      return block;
    }
  }
  return std::make_unique<TCacheBlock>();
}

void TCacheThread::Execute() {
  {
    QueueLock lock(lock_);
    buffered_bytes_ = 0;
    error_text_.clear();
  }
  done_ = false;
  if (StageHead() == Step::kStop) return;
  if (StageEntries() == Step::kStop) return;
  QueueBlock();
  if (produced_ != job_.total_bytes) {
    // The layout promised another size: a stream that ends short or runs
    // long would put every later sector in the wrong place.
    Fail(msg::kInternal0005);
    return;
  }
  if (StagePadding() == Step::kStop) return;
  staged_all_ = true;
  WakeConsumer();
  primed_ = true;
  WaitUntilTaken();
}

TCacheThread::Step TCacheThread::StageHead() {
  if (!job_.image_file_name.empty() || job_.head == nullptr) return Step::kGoOn;
  const std::span<const uint8_t> head = job_.head->Memory();
  size_t at = 0;
  // The bytes of the head in order: from memory, then generated.
  const auto read = [&](std::span<uint8_t> out) {
    size_t n = std::min(out.size(), head.size() - at);
    if (n > 0) std::memcpy(out.data(), head.data() + at, n);
    at += n;
    if (n < out.size() && job_.head_extents != nullptr) n += job_.head_extents->Read(out.subspan(n));
    return n;
  };
  for (;;) {
    if (block_ == nullptr) {
      block_ = NewBlock();
      staged_ = 0;
    }
    const size_t o = read(std::span(block_->Data).subspan(static_cast<size_t>(staged_),
                                                          static_cast<size_t>(job_.block_size - staged_)));
    if (o == 0) break;
    staged_ += static_cast<int>(o);
    produced_ += static_cast<int64_t>(o);
    {
      QueueLock lock(lock_);
      buffered_bytes_ += static_cast<int64_t>(o);
    }
    // A partial last block is completed with the first file's data.
    if (staged_ == job_.block_size) QueueBlock();
    if (WaitForRoom() == Step::kStop) return Step::kStop;
  }
  if (!job_.keep_head) job_.head->Release();
  job_.head_extents.reset();
  return Step::kGoOn;
}

TCacheThread::Step TCacheThread::StageEntries() {
  if (!job_.image_file_name.empty() || !job_.boot_image_name.empty()) {
    // The pseudo-entry before the file table: the image file, or the boot image.
    const bool image = !job_.image_file_name.empty();
    const std::string& name = image ? job_.image_file_name : job_.boot_image_name;
    {
      QueueLock lock(lock_);
      current_file_ = name;
    }
    TFileStreamEx file(name, fmOpenRead | fmShareDenyNone);
    if (file.Handle < 0) return Fail(StrFormat(msg::kCannotOpenFile, DisplayUtf8(name).c_str()));
    const int64_t total = image ? job_.total_bytes : int64_t{job_.boot_sectors} * kSectorSize;
    const int64_t size = std::min(file.GetSize(), total);
    if (size <= total - int64_t{kSectorSize}) return Fail(ShrankError(name, size, total).UserText());
    if (Stage(file.Handle, name, size, total, image ? std::span<const uint8_t>() : job_.boot_info) == Step::kStop)
      return Step::kStop;
    if (!image && job_.pad_after_boot > 0) {
      if (Stage(-1, name, 0, job_.pad_after_boot * kSectorSize) == Step::kStop) return Step::kStop;
    }
    if (image) return Step::kGoOn;
  }
  const Step step = StageFiles();
  // The entries may go once the job has ended: the last path is kept.
  if (const TFEntry* entry = current_entry_.load()) {
    std::string path;
    entry->AppendSourcePath(path);
    QueueLock lock(lock_);
    current_file_ = std::move(path);
    current_entry_ = nullptr;
  }
  return step;
}

TCacheThread::Step TCacheThread::StageFiles() {
  // The files are opened ahead on a thread of their own; without one, here.
  std::unique_ptr<SourceOpenAhead> ahead;
  try {
    ahead = std::make_unique<SourceOpenAhead>(job_.entries, kFilesOpenAhead, kOpenWindowBytes);
  } catch (const std::exception&) {
  }
  SourceOpener opener;
  std::string path;  // the source path of the entry being staged, rebuilt in the same buffer each time
  for (size_t i = 0; i < job_.entries.size(); ++i) {
    const TFEntry* entry = job_.entries[i];
    if (entry == nullptr) return Fail(msg::kInternal0005);
    if (!SourceOpenAhead::HasData(*entry)) continue;
    path.clear();
    entry->AppendSourcePath(path);
    // No lock a file: CurrentFile builds the path from the entry when asked.
    current_entry_.store(entry, std::memory_order_release);
    // An empty file is opened all the same, to notice that it vanished.
    int fd = ahead != nullptr ? ahead->Take(i) : -1;
    const bool opened_ahead = fd >= 0;
    std::unique_ptr<TFileStreamEx> own;
    if (!opened_ahead) {
      // Opened here again, also when the open ahead failed: the failure is
      // the one of this moment, with its own text.
      own = opener.Open(path);
      if (own->Handle < 0) return Fail(StrFormat(msg::kCannotOpenFile, DisplayUtf8(path).c_str()));
      fd = own->Handle;
    }
    Step step = Step::kGoOn;
    if (entry->IsoSize > 0) {
      if (entry->IsoSize > kSmallFile) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      step = Stage(fd, path, entry->IsoSize, SectorsFor(entry->IsoSize) * kSectorSize);
    }
    if (opened_ahead) ahead->Release(fd);
    if (step == Step::kStop) return Step::kStop;
  }
  return Step::kGoOn;
}

TCacheThread::Step TCacheThread::Stage(int fd, const std::string& name, int64_t data_bytes, int64_t total_bytes,
                                       std::span<const uint8_t> boot_info) {
  int64_t read_so_far = 0;
  if (job_.file_spans && fd >= 0 && boot_info.empty() && data_bytes >= kSpanFileMinimum) {
    Step step = Step::kGoOn;
    read_so_far = StageSpans(fd, name, data_bytes, step);
    if (step == Step::kStop) return step;
  }
  int64_t left = total_bytes - read_so_far;
  while (left > 0) {
    if (block_ == nullptr) {
      block_ = NewBlock();
      staged_ = 0;
    }
    const int space = job_.block_size - staged_;
    const auto t = static_cast<int>(std::min<int64_t>(space, left));
    const auto d = static_cast<int>(std::min<int64_t>(t, data_bytes - read_so_far));
    uint8_t* at = block_->Data.data() + staged_;
    int got = 0;
    while (got < d) {
      const ssize_t n = pread(fd, at + got, static_cast<size_t>(d - got), read_so_far + got);
      if (n < 0 && ReadAgain(fd, errno)) continue;
      if (n < 0) return Fail(ReadError(name, errno).UserText());
      // A file that delivers fewer bytes than it had when it was added fails
      // the job: its place on the disc would hold zeros, or shift every file
      // after it.
      if (n == 0) return Fail(ShrankError(name, read_so_far + got, data_bytes).UserText());
      got += static_cast<int>(n);
    }
    if (d > 0) LayBootInfoTable(std::span(at, static_cast<size_t>(d)), read_so_far, boot_info);
    if (d < t) std::memset(at + std::max(d, 0), 0, static_cast<size_t>(t - std::max(d, 0)));
    read_so_far += std::max(d, 0);
    staged_ += t;
    left -= t;
    produced_ += t;
    unbuffered_ += t;  // counted in buffered_bytes_ with its block, under one lock
    if (abort_requested_) return AbortNow();
    const size_t queued = queued_.load(std::memory_order_relaxed);
    if (staged_ == job_.block_size) QueueBlock();
    AdjustPriority(queued);
    if (WaitForRoom() == Step::kStop) return Step::kStop;
  }
  return Step::kGoOn;
}

int64_t TCacheThread::StageSpans(int fd, const std::string& name, int64_t data_bytes, Step& step) {
  // The spans start on a block of their own: the writer takes blocks in
  // order, the one being filled goes first.
  QueueBlock();
  if (g_shared_sources.fetch_add(1) >= kSharedSourcesMax) {
    g_shared_sources.fetch_sub(1);
    return 0;  // read here instead
  }
  const int shared = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (shared < 0) {
    g_shared_sources.fetch_sub(1);
    return 0;
  }
  const auto source = std::make_shared<const TSourceFile>(shared, name, data_bytes);
  const int64_t covered = data_bytes / kSectorSize * kSectorSize;
  for (int64_t at = 0; at < covered;) {
    const auto count = static_cast<int>(std::min<int64_t>(kSpanBytes, covered - at));
    // The kernel reads ahead of the writer's copy as this thread would.
    posix_fadvise(fd, at, count, POSIX_FADV_WILLNEED);
    std::unique_ptr<TCacheBlock> block = NewBlock();
    block->Count = count;
    block->Source = source;
    block->SourceOffset = at;
    block_ = std::move(block);
    staged_ = count;
    unbuffered_ += count;
    produced_ += count;
    at += count;
    const size_t queued = queued_.load(std::memory_order_relaxed);
    QueueBlock();
    if (abort_requested_) {
      step = AbortNow();
      return at;
    }
    AdjustPriority(queued);
    if (WaitForRoom() == Step::kStop) {
      step = Step::kStop;
      return at;
    }
  }
  return covered;
}

TCacheThread::Step TCacheThread::StagePadding() {
  if (!job_.pad_to_minimum) return Step::kGoOn;
  QueueLock lock(lock_);
  pad_bytes_ = kMinimumStreamBytes - pad_bytes_;
  remaining_bytes_ += pad_bytes_;
  while (pad_bytes_ > 0) {
    const auto n = static_cast<int>(std::min<int64_t>(job_.block_size, pad_bytes_));
    auto block = std::make_unique<TCacheBlock>();
    std::memset(block->Data.data(), 0, static_cast<size_t>(n));
    block->Count = n;
    queue_.push_back(std::move(block));
    queued_.store(queue_.size(), std::memory_order_relaxed);
    buffered_bytes_ += n;
    pad_bytes_ -= n;
  }
  return Step::kGoOn;
}

void TCacheThread::QueueBlock() {
  if (block_ == nullptr || staged_ == 0) return;
  block_->Count = staged_;
  size_t queued = 0;
  {
    QueueLock lock(lock_);
    queue_.push_back(std::move(block_));
    queued = queue_.size();
    queued_.store(queued, std::memory_order_relaxed);
    buffered_bytes_ += unbuffered_;
    unbuffered_ = 0;
    staged_ = 0;
  }
  // One wake-up a batch: the consumer waits for a whole one.
  if (queued == hand_over_.load(std::memory_order_relaxed)) WakeConsumer();
}

TCacheThread::Step TCacheThread::WaitForRoom() {
  bool idle = false;
  for (;;) {
    const size_t queued = queued_.load(std::memory_order_relaxed);
    if (queued + 1 < static_cast<size_t>(capacity_)) return Step::kGoOn;
    if (!idle) {
      SetPriority(ThreadPriority::kIdle);
      priority_level_ = 0;
      idle = true;
    }
    if (abort_requested_) return AbortNow();
    primed_ = true;
    Nap(signal_mutex_, block_taken_, 1);
  }
}

TCacheThread::Step TCacheThread::WaitUntilTaken() {
  for (;;) {
    if (abort_requested_) {
      WaitUntilNotTaking();
      discarding_ = true;
      done_ = true;
      return Step::kStop;
    }
    if (RemainingBytes() <= 0) {
      done_ = true;
      return Step::kStop;
    }
    SleepMs(10);
  }
}

void TCacheThread::AdjustPriority(size_t queued) {
  const size_t quarter = static_cast<size_t>(capacity_) / 4;
  const size_t half = static_cast<size_t>(capacity_) / 2;
  const int wanted = queued < quarter ? 3 : queued < half ? 2 : 1;
  if (wanted == priority_level_) return;
  priority_level_ = wanted;
  SetPriority(wanted == 3 ? ThreadPriority::kNormal : wanted == 2 ? ThreadPriority::kLower : ThreadPriority::kLowest);
}

void TCacheThread::WaitUntilNotTaking() {
  while (taking_) SleepMs(10);
}

TCacheThread::Step TCacheThread::AbortNow() {
  WaitUntilNotTaking();
  discarding_ = true;
  {
    QueueLock lock(lock_);
    queue_.clear();
    queued_ = 0;
    if (error_text_.empty()) error_text_ = msg::kAbortedByUser;
    done_ = true;
  }
  discarding_ = false;
  WakeConsumer();
  return Step::kStop;
}

TCacheThread::Step TCacheThread::Fail(const std::string& text) {
  {
    QueueLock lock(lock_);
    error_text_ = text;
    done_ = true;
  }
  WakeConsumer();
  return Step::kStop;
}

}  // namespace zamo
