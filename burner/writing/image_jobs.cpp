// image_jobs.cpp: the threaded writing jobs' shared steps: waiting for the
// cache, starting the writer, the progress values and the final report; and
// the image-file save through the pipeline.
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "burner/writing/cache_thread.h"
#include "burner/writing/writer_thread.h"

namespace zamo {

void TVeskBurner::SaveImageFile(const std::string& file_name, bool quick) {
  ISOFileName = file_name;
  if (quick) {
    const Status result = QuickSave(file_name);
    if (OnWriteDone) OnWriteDone(this, result.ok() ? std::string() : result.UserText());
    return;
  }
  LayoutImage(true, ImportTarget);
  BuildImageHeader(true, ImportTarget);
  CacheJob job;
  job.cache_size = CacheSize();
  job.head = &ImageStream;
  job.total_bytes = SessionSectors * kSectorSize;
  job.boot_sectors = Bootable ? BootSectors : 0;
  job.boot_image_name = Bootable ? BootImage : "";
  job.pad_after_boot = Bootable ? PadAfterBoot : 0;
  job.pad_to_minimum = WritePostGap;
  job.block_size = 65536;
  job.entries.assign(FileEntries().begin(), FileEntries().end());
  job_running_ = true;
  abort_flag_ = false;
  CacheThread = new TCacheThread(std::move(job), *this);
  if (WaitForCache()) StartWriterThread(true);
}

namespace {

// The cache's block: 27 sectors on a CD (what a CD write command carries
// best), 32 on every other disc.
int BlockSizeFor(TDiscKind kind) { return kind == dkCdR || kind == dkCdRw ? 55296 : 65536; }

// FORMAT UNIT parameter lists of the DVD-RW quick format: sequential mode
// (quick, 1000 blocks), restricted overwrite (type 13h), and the fallback.
constexpr uint8_t kQuickFormatSequential[12] = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8, 0x54, 0x00, 0x00, 0x10};
constexpr uint8_t kQuickFormatRestricted[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x00, 0x10};
constexpr uint8_t kQuickFormatFallback[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x54, 0x00, 0x00, 0x10};
// The format wait: 5-second polls, at most 30 minutes.
constexpr int kFormatPollMs = 5000;
constexpr int kFormatPolls = 360;

}  // namespace

int TVeskBurner::RecordCompilation() {
  const TDiscKind kind = GetDiscType();
  const int block_size = BlockSizeFor(kind);
  const std::string boot_image_name = Bootable ? BootImage : "";

  if (kind == dkDvdRwSequential && GetDiscStatus() != 0) {
    // Formatting would erase the sessions a sequential DVD-RW already holds:
    // the user erases it first, knowingly.
    ReportJobFailure(msg::kSequentialDvdRwHoldsSessions);
    return 0;
  }
  if (kind == dkDvdRwSequential || kind == dkDvdRwRestricted) {
    // A DVD-RW is quick-formatted before its session is laid out: a blank
    // one to restricted overwrite, a restricted-overwrite one grown (its
    // data kept).
    const uint8_t* list = kind == dkDvdRwSequential ? kQuickFormatSequential : kQuickFormatRestricted;
    if (!FormatUnit(0x11, list, 12)) FormatUnit(0x11, kQuickFormatFallback, 12);
    for (int poll = 0; poll < kFormatPolls; ++poll) {
      Sleep(kFormatPollMs);
      ReadDiscInfo();
      if (LastAsc() != 0x04) break;
    }
  }

  WritingToDisc = true;
  LayoutImage(false, ImportTarget);
  BuildImageHeader(false, ImportTarget);
  WritingToDisc = false;

  CacheJob job;
  job.cache_size = CacheSize();
  job.head = &ImageStream;
  job.total_bytes = SessionSectors * kSectorSize;
  job.boot_sectors = Bootable ? BootSectors : 0;
  job.boot_image_name = boot_image_name;
  job.pad_after_boot = Bootable ? PadAfterBoot : 0;
  job.pad_to_minimum = WritePostGap;
  job.block_size = block_size;
  job.entries.assign(FileEntries().begin(), FileEntries().end());
  job_running_ = true;
  abort_flag_ = false;
  CacheThread = new TCacheThread(std::move(job), *this);
  if (!WaitForCache()) return 0;
  StartWriterThread(false);
  return 1;
}

bool TVeskBurner::RecordImageFile(const std::string& file_name) {
  const TDiscKind kind = GetDiscType();
  struct stat info {};
  TFileStreamEx probe(file_name, fmOpenRead);
  if (probe.Handle < 0 || fstat(probe.Handle, &info) != 0 || !S_ISREG(info.st_mode)) {
    ReportJobFailure(StrFormat(msg::kCannotOpenFile, DisplayUtf8(file_name).c_str()));
    return false;
  }
  SessionSectors = (static_cast<int64_t>(info.st_size) + kSectorSize - 1) / kSectorSize;
  probe.Close();

  CacheJob job;
  job.cache_size = CacheSize();
  job.total_bytes = SessionSectors * kSectorSize;
  job.pad_to_minimum = WritePostGap;
  job.block_size = BlockSizeFor(kind);
  job.image_file_name = file_name;
  job_running_ = true;
  abort_flag_ = false;
  CacheThread = new TCacheThread(std::move(job), *this);
  if (!WaitForCache()) return false;
  StartWriterThread(false);
  return true;
}

bool TVeskBurner::WaitForCache() {
  using SteadyClock = std::chrono::steady_clock;
  int64_t last_produced = -1;
  SteadyClock::time_point last_progress = SteadyClock::now();
  for (;;) {
    // An abort asked while the cache fills wins over its priming.
    if (abort_flag_) CacheThread->Abort();
    if (!abort_flag_ && CacheThread->Primed()) return true;
    std::string error = CacheThread->ErrorText();
    if (error.empty() && CacheThread->Done()) error = msg::kInternal0005;  // ended without priming
    if (error.empty()) {
      const int64_t produced = CacheThread->ProducedBytes();
      if (produced != last_produced) {
        last_produced = produced;
        last_progress = SteadyClock::now();
      } else if (SteadyClock::now() - last_progress > StallBound) {
        error = StrFormat(msg::kCacheStalled, static_cast<int>(StallBound.count()),
                          DisplayUtf8(CacheThread->CurrentFile()).c_str());
      }
    }
    if (error.empty() && abort_flag_) {
      CacheThread->Abort();
      error = msg::kAbortedByUser;
    }
    if (!error.empty()) {
      CacheThread->Abort();
      CurrentFile = CacheThread->CurrentFile();
      CacheThread->WaitFor();
      FreeCacheThread();
      ReportJobFailure(error);
      return false;
    }
    // Polled every 10 ms: a small image is primed at once, and a longer
    // poll would only delay the writer's start.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool TVeskBurner::StartWriterThread(bool to_file) {
  writer_running_ = true;
  auto* writer = new TThWrite(*this, to_file);
  writer->FreeOnTerminate = true;
  writer->SetPriority(ThreadPriority::kTimeCritical);
  writer->Start();
  return true;
}

void TVeskBurner::FreeCacheThread() {
  delete CacheThread;
  CacheThread = nullptr;
}

int TVeskBurner::CacheFillPercent() {
  Lock();
  int percent = 0;
  if (writing_active_ && CacheThread != nullptr) {
    percent = static_cast<int>(std::lround(static_cast<double>(CacheThread->BufferedBytes()) /
                                           CacheThread->CacheSize() * 100.0));
  }
  Unlock();
  return percent;
}

void TVeskBurner::ReportJobFailure(const std::string& error) {
  // A failure before the writer started: reported on the caller's thread.
  job_running_ = false;
  if (OnWriteDone) {
    DoneText = error;
    OnWriteDone(this, error);
  }
}

void TVeskBurner::DeliverWriteDone(const std::string& error) {
  if (!OnWriteDone) {
    job_running_ = false;
    return;
  }
  DoneText = error;
  // Capture the component, not the thread: the writer is gone when this runs.
  std::weak_ptr<bool> alive = alive_;
  Synchronize([this, alive, error] {
    if (alive.expired()) return;
    job_running_ = false;
    if (OnWriteDone) OnWriteDone(this, error);
  });
}

}  // namespace zamo
