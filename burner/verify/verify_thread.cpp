// verify_thread.cpp: the reading thread of a verification, the comparing
// thread beside it, and the queue of blocks between them.
#include "burner/verify/verify_thread.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "burner/compilation/el_torito.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"
#include "burner/verify/verify_messages.h"

namespace zamo {
namespace {

// Blocks in flight: one being read, one being compared, two waiting.
constexpr size_t kBlocksInFlight = 4;
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

// "1 DIFFÉRENT", "2 DIFFÉRENTS", "0 ILLISIBLE": French takes the singular up to one.
std::string Counted(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n > 1 ? many : one); }

// The offset of the first byte of `data` that is not zero, or `size`.
size_t FirstNonZero(const uint8_t* data, size_t size) {
  return static_cast<size_t>(std::find_if(data, data + size, [](uint8_t b) { return b != 0; }) - data);
}

size_t FirstDifference(const uint8_t* a, const uint8_t* b, size_t size) {
  return static_cast<size_t>(std::mismatch(a, a + size, b).first - a);
}

}  // namespace

// ---- The queue --------------------------------------------------------------------

VerifyBlockQueue::VerifyBlockQueue(size_t buffers, size_t bytes, std::function<bool()> stop) : stop_(std::move(stop)) {
  for (size_t i = 0; i < buffers; ++i) {
    auto block = std::make_unique<VerifyBlock>();
    block->data.resize(bytes);
    free_.push_back(std::move(block));
  }
}

std::unique_ptr<VerifyBlock> VerifyBlockQueue::Free() {
  std::unique_lock lock(mutex_);
  while (free_.empty()) {
    if (stop_()) return nullptr;
    changed_.wait_for(lock, kWaitSlice);
  }
  if (stop_()) return nullptr;
  std::unique_ptr<VerifyBlock> block = std::move(free_.back());
  free_.pop_back();
  return block;
}

void VerifyBlockQueue::Push(std::unique_ptr<VerifyBlock> block) {
  {
    std::lock_guard lock(mutex_);
    full_.push_back(std::move(block));
  }
  changed_.notify_all();
}

void VerifyBlockQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  changed_.notify_all();
}

std::unique_ptr<VerifyBlock> VerifyBlockQueue::Pop() {
  std::unique_lock lock(mutex_);
  while (full_.empty()) {
    if (closed_ || stop_()) return nullptr;
    changed_.wait_for(lock, kWaitSlice);
  }
  if (stop_()) return nullptr;
  std::unique_ptr<VerifyBlock> block = std::move(full_.front());
  full_.pop_front();
  return block;
}

void VerifyBlockQueue::Recycle(std::unique_ptr<VerifyBlock> block) {
  {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(block));
  }
  changed_.notify_all();
}

// ---- The comparing thread --------------------------------------------------------

// Takes the blocks in order and gives each item its verdict once its last
// block has come: written to the log at once, and counted.
class VerifyCompareThread : public TThread {
 public:
  explicit VerifyCompareThread(TVerifyThread& job)
      : job_(job), source_data_(size_t{TVerifyThread::kLargestRead} * kSectorSize) {}
  ~VerifyCompareThread() override { CloseSource(); }

  TVeskBurner::TVerifyCounts counts;

 protected:
  void Execute() override {
    try {
      while (std::unique_ptr<VerifyBlock> block = job_.queue_.Pop()) {
        Take(*block);
        job_.bytes_done_ += int64_t{block->count} * kSectorSize;
        job_.queue_.Recycle(std::move(block));
      }
    } catch (...) {
      job_.halted_ = true;  // the reader stops too; the job reports an internal failure
    }
  }

 private:
  // What is known of the item being compared.
  struct Verdict {
    bool unreadable = false;
    uint32_t bad_lba = 0;
    std::string drive_error;
    bool size_differs = false;
    int64_t source_size = 0;
    bool differs = false;
    int64_t offset = 0;  // of the first differing byte
    bool source_failed = false;
    std::string source_error;
  };

  void Take(const VerifyBlock& block) {
    if (item_ == nullptr || block.item != index_) Begin(block.item);
    if (block.unreadable) {
      verdict_.unreadable = true;
      verdict_.bad_lba = block.bad_lba;
      verdict_.drive_error = block.drive_error;
    } else if (block.count > 0) {
      if (item_->kind == VerifyItem::Kind::kArea) CompareArea(block);
      if (item_->kind == VerifyItem::Kind::kFile) CompareFile(block);
    }
    if (block.last) End();
  }

  void Begin(size_t index) {
    CloseSource();
    index_ = index;
    item_ = &job_.plan_.items[index];
    verdict_ = Verdict{};
    if (item_->kind != VerifyItem::Kind::kFile) return;
    // The source as it is now, read afresh.
    fd_ = open(item_->source.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || fstat(fd_, &st) != 0) {
      verdict_.source_failed = true;
      verdict_.source_error = SystemErrorText(errno);
      return;
    }
    posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (st.st_size != item_->bytes) {
      verdict_.size_differs = true;
      verdict_.source_size = st.st_size;
    }
  }

  void CompareArea(const VerifyBlock& block) {
    if (verdict_.differs) return;
    const size_t size = size_t{block.count} * kSectorSize;
    const size_t at = item_->expected == nullptr
                          ? FirstNonZero(block.data.data(), size)
                          : FirstDifference(block.data.data(), item_->expected + size_t{block.first} * kSectorSize, size);
    if (at == size) return;
    verdict_.differs = true;
    verdict_.offset = int64_t{block.first} * kSectorSize + static_cast<int64_t>(at);
  }

  void CompareFile(const VerifyBlock& block) {
    if (verdict_.source_failed || verdict_.size_differs || verdict_.differs) return;
    const int64_t from = int64_t{block.first} * kSectorSize;
    const int64_t to = std::min(from + int64_t{block.count} * kSectorSize, item_->bytes);
    if (to <= from) return;
    const auto wanted = static_cast<size_t>(to - from);
    size_t got = 0;
    while (got < wanted) {
      const ssize_t n = pread(fd_, source_data_.data() + got, wanted - got, from + static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        verdict_.source_failed = true;
        verdict_.source_error = SystemErrorText(errno);
        return;
      }
      if (n == 0) {  // the file shrank since it was looked at
        verdict_.size_differs = true;
        verdict_.source_size = from + static_cast<int64_t>(got);
        return;
      }
      got += static_cast<size_t>(n);
    }
    LayBootInfoTable(std::span(source_data_.data(), wanted), from, item_->boot_info);
    const size_t at = FirstDifference(block.data.data(), source_data_.data(), wanted);
    if (at == wanted) return;
    verdict_.differs = true;
    verdict_.offset = from + static_cast<int64_t>(at);
  }

  // The item's verdict: an unreadable sector first (the disc's fault), then
  // a difference, then a source that could not be read.
  void End() {
    CloseSource();
    const VerifyItem& item = *item_;
    item_ = nullptr;
    const bool area = item.kind == VerifyItem::Kind::kArea || item.counted_as_area;
    const char* label = item.label.c_str();
    const auto fail = [this](const std::string& text) { job_.Log(">>> " + text, kMsgStatus); };
    switch (item.kind) {
      case VerifyItem::Kind::kMissing:
        ++counts.Different;
        return fail(StrFormat(msg::kVerifyMissing, label));
      case VerifyItem::Kind::kDamaged:
        ++counts.Unreadable;
        return fail(StrFormat(msg::kVerifyDamaged, label));
      default:
        break;
    }
    if (verdict_.unreadable) {
      ++(area ? counts.AreasUnreadable : counts.Unreadable);
      return fail(StrFormat(msg::kVerifyUnreadable, label, verdict_.bad_lba, verdict_.drive_error.c_str()));
    }
    if (verdict_.size_differs) {
      ++(area ? counts.AreasDifferent : counts.Different);
      return fail(StrFormat(msg::kVerifySizeDiffers, label, static_cast<long long>(item.bytes),
                            static_cast<long long>(verdict_.source_size)));
    }
    if (verdict_.differs) {
      ++(area ? counts.AreasDifferent : counts.Different);
      const auto sector = static_cast<unsigned>(item.lba + verdict_.offset / kSectorSize);
      return fail(StrFormat(msg::kVerifyContentDiffers, label, static_cast<long long>(verdict_.offset), sector));
    }
    if (verdict_.source_failed) {
      ++(area ? counts.AreasDifferent : counts.Unverified);
      return fail(StrFormat(msg::kVerifySourceUnreadable, label, DisplayUtf8(item.source).c_str(),
                            verdict_.source_error.c_str()));
    }
    if (area) {
      ++counts.AreasIdentical;
    } else if (item.kind == VerifyItem::Kind::kReadOnly) {
      ++counts.ReadOnly;
    } else {
      ++counts.Identical;
    }
  }

  void CloseSource() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  TVerifyThread& job_;
  std::vector<uint8_t> source_data_;
  size_t index_ = 0;
  const VerifyItem* item_ = nullptr;
  Verdict verdict_;
  int fd_ = -1;
};

// ---- The reading thread ------------------------------------------------------------

TVerifyThread::TVerifyThread(TVeskBurner& burner, VerifyPlan plan)
    : burner_(burner),
      plan_(std::move(plan)),
      queue_(kBlocksInFlight, size_t{kLargestRead} * kSectorSize, [this] { return Stopped(); }) {
  int64_t total = 0;
  for (const VerifyItem& item : plan_.items) total += int64_t{item.sectors} * kSectorSize;
  bytes_total_ = total;
}

void TVerifyThread::Launch(TVeskBurner& burner, VerifyPlan plan) {
  // The last one, which has ended: taken out, then waited for and freed
  // outside the lock.
  std::unique_ptr<TVerifyThread, TVeskBurner::VerifyThreadDeleter> last;
  {
    std::lock_guard lock(burner.verify_mutex_);
    last = std::move(burner.verify_thread_);
  }
  last.reset();
  burner.DebugMessage(">>> " + plan.title, kMsgInfo);
  for (const std::string& note : plan.notes) burner.DebugMessage(">>> " + note, kMsgInfo);
  TVerifyThread* thread = new TVerifyThread(burner, std::move(plan));
  {
    std::lock_guard lock(burner.verify_mutex_);
    burner.verify_thread_.reset(thread);
  }
  thread->Start();
}

void TVerifyThread::Cancel() {
  cancelled_ = true;
  if (running_) {
    burner_.verify_abort_ = true;
    burner_.CancelPendingCommand();
  }
}

void TVerifyThread::Execute() {
  TVeskBurner::TVerifyCounts counts;
  std::string error;
  try {
    // A drive still settling after the recording (a close in progress).
    if (!burner_.TestUnitReady(5000)) burner_.WaitUntilReady(10000, 500);
    VerifyCompareThread compare(*this);
    compare.Start();
    try {
      ReadItems();
    } catch (...) {
      halted_ = true;
      error = msg::kVerifyInternal;
    }
    queue_.Close();
    compare.WaitFor();
    counts = compare.counts;
    if (halted_) error = msg::kVerifyInternal;
  } catch (...) {
    error = msg::kVerifyInternal;
  }
  if (cancelled_) return;  // the component is going away
  counts.ImportErrors = plan_.import_errors;
  if (error.empty() && burner_.verify_abort_) error = msg::kAbortedByUser;
  if (error.empty()) {
    Summarize(counts);
    if (counts.Errors() > 0) error = msg::kVerifyFailed;
  }
  Deliver(counts, error);
}

void TVerifyThread::ReadItems() {
  for (size_t index = 0; index < plan_.items.size(); ++index) {
    const VerifyItem& item = plan_.items[index];
    uint32_t done = 0;
    for (;;) {
      std::unique_ptr<VerifyBlock> block = queue_.Free();
      if (block == nullptr) return;  // stopped
      block->item = index;
      block->first = done;
      block->count = std::min(item.sectors - done, read_sectors_);
      block->unreadable = false;
      block->drive_error.clear();
      if (block->count > 0 && !ReadBlock(item.lba + done, *block)) return;
      done += block->count;
      block->last = block->unreadable || done >= item.sectors;
      const bool last = block->last;
      queue_.Push(std::move(block));
      if (last) break;
    }
  }
}

bool TVerifyThread::ReadBlock(uint32_t lba, VerifyBlock& block) {
  uint8_t* data = block.data.data();
  const uint32_t count = block.count;
  if (burner_.Read10(lba, static_cast<uint16_t>(count), data, count * kSectorSize)) return true;
  if (Stopped()) return false;
  // Which sector does not read: the block again in the smallest reads, and
  // a piece that fails sector by sector.
  for (uint32_t at = 0; at < count; at += kSmallestRead) {
    const uint32_t piece = std::min(kSmallestRead, count - at);
    uint8_t* piece_data = data + size_t{at} * kSectorSize;
    if (burner_.Read10(lba + at, static_cast<uint16_t>(piece), piece_data, piece * kSectorSize)) continue;
    if (Stopped()) return false;
    for (uint32_t sector = 0; sector < piece; ++sector) {
      if (burner_.Read10(lba + at + sector, 1, piece_data + size_t{sector} * kSectorSize, kSectorSize)) continue;
      if (Stopped()) return false;
      block.unreadable = true;
      block.bad_lba = lba + at + sector;
      block.drive_error = burner_.LastError;
      return true;
    }
  }
  // Every sector read in smaller pieces: the drive refused the transfer's
  // size, not the sectors. Later reads ask for less.
  if (count > kSmallestRead) read_sectors_ = std::max(kSmallestRead, read_sectors_ / 2);
  return true;
}

void TVerifyThread::Log(const std::string& text, uint8_t type) {
  if (!cancelled_) burner_.DebugMessage(text, type);
}

void TVerifyThread::Summarize(const TVeskBurner::TVerifyCounts& c) {
  if (c.AreasIdentical + c.AreasDifferent + c.AreasUnreadable > 0) {
    Log(">>> " + StrFormat(msg::kVerifyHeadSummary, Counted(c.AreasIdentical, "ZONE IDENTIQUE", "ZONES IDENTIQUES").c_str(),
                           Counted(c.AreasDifferent, "DIFFÉRENTE", "DIFFÉRENTES").c_str(),
                           Counted(c.AreasUnreadable, "ILLISIBLE", "ILLISIBLES").c_str()),
        kMsgInfo);
  }
  std::string line = StrFormat(msg::kVerifySummary, Counted(c.Identical, "FICHIER IDENTIQUE", "FICHIERS IDENTIQUES").c_str(),
                               Counted(c.Different, "DIFFÉRENT", "DIFFÉRENTS").c_str(),
                               Counted(c.Unreadable, "ILLISIBLE", "ILLISIBLES").c_str());
  if (c.Unverified > 0) line += ", " + Counted(c.Unverified, "NON VÉRIFIÉ", "NON VÉRIFIÉS");
  if (c.ReadOnly > 0) line += ", " + Counted(c.ReadOnly, "LU SANS COMPARAISON", "LUS SANS COMPARAISON");
  Log(">>> " + line, kMsgInfo);
}

void TVerifyThread::Deliver(const TVeskBurner::TVerifyCounts& counts, const std::string& error) {
  TVeskBurner& burner = burner_;
  // Only the component is captured, and only while it exists: it owns this
  // thread object until a new verification starts, which needs the running
  // flag cleared here first.
  std::weak_ptr<bool> alive = burner.alive_;
  burner.Synchronize([&burner, alive, counts, error, this] {
    if (alive.expired()) return;
    burner.VerifyCounts = counts;
    running_ = false;
    if (burner.OnVerifyDone) burner.OnVerifyDone(&burner, error);
  });
}

}  // namespace zamo
