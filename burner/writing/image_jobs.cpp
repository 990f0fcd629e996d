// image_jobs.cpp: the threaded writing jobs' shared steps: waiting for the
// cache, starting the writer, the progress values and the final report; and
// the image-file save through the pipeline.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/drive/parameter_lists.h"
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
  LayoutImage(/*to_image_file=*/true, ImportTarget);
  BuildImageHeader(true, ImportTarget, THeadExtents::kGenerated);
  CacheJob job;
  job.cache_size = CacheSize();
  job.head = &ImageStream;
  job.head_extents = NewHeadExtents();
  job.total_bytes = SessionSectors * kSectorSize;
  job.boot_sectors = Bootable ? BootSectors : 0;
  job.boot_image_name = Bootable ? BootImage : "";
  job.pad_after_boot = Bootable ? PadAfterBoot : 0;
  job.boot_info = Bootable ? BootInfo : std::vector<uint8_t>();
  job.pad_to_minimum = WritePostGap;
  job.block_size = 65536;
  job.entries.assign(FileEntries().begin(), FileEntries().end());
  job.file_spans = true;
  job_running_ = true;
  abort_flag_ = false;
  job_total_bytes_ = ImageSectors() * kSectorSize;
  job_phase_ = TJobPhase::kPreparing;
  CacheThread = new TCacheThread(std::move(job), *this);
  if (WaitForCache()) StartWriterThread(/*to_file=*/true);
}

namespace {

// The cache's block: 27 sectors on a recordable CD (what a CD write command
// carries best), 32 on every other disc.
int BlockSizeFor(TDiscKind kind) { return IsCdKind(kind) && IsRecordableKind(kind) ? 55296 : 65536; }

// FORMAT UNIT parameter lists of the DVD-RW quick format, each with the
// immediate bit and the type's parameter of 16 (the sectors of an ECC
// block): a sequential disc to restricted overwrite (quick format of 1000
// blocks, without certification), a restricted-overwrite disc grown by
// `blocks` (quick grow), and the fallback for a drive that refuses either.
constexpr uint32_t kEccBlockParameter = 16;
FormatList QuickFormatSequential() {
  return FormatList().Immediate().DisableCertification().Blocks(1000).FormatType(FormatList::kQuickFormat).TypeParameter(
      kEccBlockParameter);
}
FormatList QuickGrow(uint32_t blocks) {
  return FormatList().Immediate().Blocks(blocks).FormatType(FormatList::kQuickGrow).TypeParameter(kEccBlockParameter);
}
FormatList QuickFormatFallback() {
  return FormatList().Immediate().FormatType(FormatList::kQuickFormat).TypeParameter(kEccBlockParameter);
}
// The format wait: 5-second polls, at most 30 minutes.
constexpr int kFormatPollMs = 5000;
constexpr int kFormatPolls = 360;
// Closing an interrupted session: a drive still busy with the stopped job
// is waited for; each close is tried again for up to 5 minutes.
constexpr int kReadyWaitMs = 30000;
constexpr int kCloseAttempts = 300;
constexpr int kCloseReadyWaitMs = 3600000;
// A write the drive is not ready for, while a reserved track is filled:
// tried again every 100 ms for a minute.
constexpr int kFillRetries = 600;

// The discs whose interrupted session a job closes: a recordable CD and a
// write-once DVD.
bool ClosesInterruptedSessions(TDiscKind kind) {
  return (IsCdKind(kind) && IsRecordableKind(kind)) || (IsDvdKind(kind) && IsWriteOnceKind(kind));
}

}  // namespace

bool TVeskBurner::CloseInterruptedSession(TDiscKind kind) {
  InterruptedSessionEnd = 0;
  if (!ClosesInterruptedSessions(kind)) return true;
  if (TestWrite) return true;  // a simulation changes nothing on the disc
  // A drive may still be recording the buffer of the job that stopped.
  WaitUntilReady(kReadyWaitMs, 1000);
  if (!ReadDiscInfo()) return true;  // the layout says what is wrong
  const int status = DiscInformation().DiscStatus;
  const int last_session_state = DiscInformation().LastSessionState;
  // An appendable disc whose last session holds data but was never closed
  // (incomplete, or damaged with a reserved track): a job stopped or failed
  // there. Readers find a session by its first track, so a new session
  // written on in the same one would stay invisible behind the interrupted
  // one's descriptors. The interrupted session is closed first.
  if (status != 1 || (last_session_state != 1 && last_session_state != 2)) return true;
  const int session = GetSessionCount();
  const uint16_t last_track = LastTrackOfLastSession();
  // The recorded end of the session: the tracks that hold data, from the last.
  struct OpenTrack {
    uint16_t number;
    uint32_t next_writable, end;  // a reserved track ends before `end` is reached
    bool reserved;
  };
  uint32_t end = 0;
  std::vector<OpenTrack> open_tracks;
  for (uint16_t track = last_track; track >= 1; --track) {
    if (!ReadTrackInformation(track)) break;
    if (TrackInfo.SessionNumber() != static_cast<uint8_t>(session)) break;
    const bool open = TrackInfo.NextWritableValid();
    const uint32_t track_end = open ? TrackInfo.NextWritable : TrackInfo.TrackStart + TrackInfo.TrackSize;
    if (track_end > TrackInfo.TrackStart) {
      end = std::max(end, track_end);
      const bool reserved = TrackInfo.Reserved();
      if (open) open_tracks.push_back({track, TrackInfo.NextWritable, TrackInfo.TrackStart + TrackInfo.TrackSize, reserved});
    }
  }
  if (end == 0) return true;
  DebugMessage(">>> " + StrFormat(msg::kClosingInterruptedSession, session), kMsgStatus);
  // Each close goes with the immediate bit, is sent again while the drive is
  // busy (for a bounded time), and is waited for until the drive is idle.
  const auto close = [this](uint8_t function, uint8_t number) {
    for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
      if (CloseTrackSession(/*Immediate=*/true, function, number)) return WaitUntilReady(kCloseReadyWaitMs, 1000);
      if (LastCommandTimedOut || !(TargetBusy || LastAsc() == 0x04)) return false;
      Sleep(1000);
    }
    return false;
  };
  bool closed = true;
  for (const OpenTrack& track : open_tracks) {
    // A drive closes a reserved track only once it is full (MMC: 05/72/04
    // otherwise): its unrecorded rest is filled with zeros first.
    if (closed && track.reserved && track.next_writable < track.end) {
      closed = FillWithZeros(track.next_writable, track.end);
    }
    closed = closed && close(1, static_cast<uint8_t>(track.number));
  }
  if (closed) {
    // Left open for the session to come.
    SetWriteParameters(/*TestWriteOn=*/false, UnderrunProtection, /*CloseFlag=*/false, kind, TDiscFinalize::kLeaveOpen);
    closed = close(2, 0);
  }
  if (!closed) {
    ReportJobFailure(std::string(msg::kInterruptedSessionNotClosed) + " [" + LastError + "]");
    return false;
  }
  InterruptedSessionEnd = end;
  return true;
}

bool TVeskBurner::FillWithZeros(uint32_t from, uint32_t to) {
  // In whole 32-sector writes (a DVD-R's fixed packets are 16), within what
  // one command may carry.
  const uint32_t per_write = std::max<uint32_t>(TransferSectors(32) / 16 * 16, 16);
  const std::vector<uint8_t> zeros(static_cast<size_t>(per_write) * kSectorSize, 0);
  for (uint32_t lba = from; lba < to;) {
    const uint32_t count = std::min(per_write, to - lba);
    int attempts = 0;
    while (!Write10(lba, static_cast<uint16_t>(count), zeros.data(), count * kSectorSize, kFlagsOut)) {
      // Not ready for now (its buffer full): tried again for a bounded time.
      if (LastCommandTimedOut || !(TargetBusy || (LastSenseKey() == 0x02 && LastAsc() == 0x04))) return false;
      if (++attempts > kFillRetries) return false;
      Sleep(100);
    }
    lba += count;
  }
  return SynchronizeCache(30000, /*Immediate=*/true) && WaitUntilReady(kCloseReadyWaitMs, 1000);
}

int TVeskBurner::RecordCompilation() {
  if (const std::string refusal = WritingRefusal(); !refusal.empty()) {
    ReportJobFailure(refusal);
    return 0;
  }
  // The device is this job's alone until it ends (desktop pollers and
  // automounters keep away, the door lock holds).
  if (!BeginJobExclusive()) {
    ReportJobFailure(LastError);
    return 0;
  }
  const TDiscKind kind = GetDiscType();
  const int block_size = BlockSizeFor(kind);

  if (kind == dkDvdRwSequential && GetDiscStatus() != 0) {
    // Formatting would erase the sessions a sequential DVD-RW already holds:
    // the user erases it first, knowingly.
    ReportJobFailure(msg::kSequentialDvdRwHoldsSessions);
    return 0;
  }
  if (IsDvdRwKind(kind)) {
    // A DVD-RW is quick-formatted before its session is laid out: a blank
    // one to restricted overwrite, a restricted-overwrite one grown (its
    // data kept).
    FormatList list = kind == dkDvdRwSequential ? QuickFormatSequential() : QuickGrow(0);
    if (kind == dkDvdRwRestricted) {
      // A quick grow adds blocks to the formatted area (MMC counts the blocks
      // added): the session's, in whole ECC blocks, from the layout the
      // size check made (or one made now).
      if (SessionSectors <= 0) {
        WritingToDisc = true;
        LayoutImage(/*to_image_file=*/false, ImportTarget);
        WritingToDisc = false;
      }
      list = QuickGrow(static_cast<uint32_t>((ImageSectors() + 15) / 16 * 16));
    }
    if (!FormatUnit(0x11, list.data(), static_cast<int>(list.size()))) {
      const FormatList fallback = QuickFormatFallback();
      FormatUnit(0x11, fallback.data(), static_cast<int>(fallback.size()));
    }
    // Polled from the start: a drive that formats in no time is not waited for.
    for (int poll = 0; poll < kFormatPolls; ++poll) {
      ReadDiscInfo();
      if (LastAsc() != 0x04) break;
      Sleep(kFormatPollMs);
    }
  }

  if (!CloseInterruptedSession(kind)) return 0;

  WritingToDisc = true;
  LayoutImage(/*to_image_file=*/false, ImportTarget);
  // A verification to follow compares the disc with the whole head, kept
  // in memory; otherwise its directory extents are generated as they go.
  BuildImageHeader(false, ImportTarget, KeepImageHead ? THeadExtents::kInStream : THeadExtents::kGenerated);
  WritingToDisc = false;
  // The closed session's end served the import just made; later imports
  // (a verification, a listing) ask the drive.
  const bool closed_interrupted = InterruptedSessionEnd != 0;
  InterruptedSessionEnd = 0;
  if (closed_interrupted) {
    // Closing took room (lead-out and lead-in on a CD).
    const uint32_t free_blocks = GetFreeBlocks();
    if (ImageSectors() > static_cast<int64_t>(free_blocks)) {
      ReportJobFailure(StrFormat(msg::kNoLongerFits, static_cast<long long>(ImageSectors()), free_blocks));
      return 0;
    }
  }
  // After the layout, which switched booting off (and said so) when the
  // boot image went missing: the image save does the same.
  const std::string boot_image_name = Bootable ? BootImage : "";

  CacheJob job;
  job.cache_size = CacheSize();
  job.head = &ImageStream;
  job.head_extents = NewHeadExtents();
  job.keep_head = KeepImageHead;
  job.total_bytes = SessionSectors * kSectorSize;
  job.boot_sectors = Bootable ? BootSectors : 0;
  job.boot_image_name = boot_image_name;
  job.pad_after_boot = Bootable ? PadAfterBoot : 0;
  job.boot_info = Bootable ? BootInfo : std::vector<uint8_t>();
  job.pad_to_minimum = WritePostGap;
  job.block_size = block_size;
  job.entries.assign(FileEntries().begin(), FileEntries().end());
  job_running_ = true;
  abort_flag_ = false;
  job_total_bytes_ = ImageSectors() * kSectorSize;
  job_phase_ = TJobPhase::kPreparing;
  CacheThread = new TCacheThread(std::move(job), *this);
  if (!WaitForCache()) return 0;
  StartWriterThread(/*to_file=*/false);
  return 1;
}

bool TVeskBurner::RecordImageFile(const std::string& file_name) {
  if (const std::string refusal = WritingRefusal(); !refusal.empty()) {
    ReportJobFailure(refusal);
    return false;
  }
  // The device is this job's alone until it ends (desktop pollers and
  // automounters keep away, the door lock holds).
  if (!BeginJobExclusive()) {
    ReportJobFailure(LastError);
    return false;
  }
  const TDiscKind kind = GetDiscType();
  struct stat info {};
  TFileStreamEx probe(file_name, fmOpenRead);
  if (probe.Handle < 0 || fstat(probe.Handle, &info) != 0 || !S_ISREG(info.st_mode)) {
    ReportJobFailure(StrFormat(msg::kCannotOpenFile, DisplayUtf8(file_name).c_str()));
    return false;
  }
  const int64_t sectors = (static_cast<int64_t>(info.st_size) + kSectorSize - 1) / kSectorSize;
  probe.Close();
  // The image goes to the disc from sector 0: only a blank disc, or one
  // that is written over, can take it.
  const bool overwritable = IsOverwritableKind(kind);
  if (!overwritable && GetDiscStatus() != 0) {
    ReportJobFailure(msg::kImageNeedsBlankDisc);
    return false;
  }
  const uint32_t room = overwritable ? GetDiscCapacity() : GetFreeBlocks();
  if (room > 0 && sectors > static_cast<int64_t>(room)) {
    ReportJobFailure(StrFormat(msg::kImageTooLarge, static_cast<long long>(sectors), room));
    return false;
  }
  SessionSectors = sectors;

  CacheJob job;
  job.cache_size = CacheSize();
  job.total_bytes = SessionSectors * kSectorSize;
  job.pad_to_minimum = WritePostGap;
  job.block_size = BlockSizeFor(kind);
  job.image_file_name = file_name;
  job_running_ = true;
  abort_flag_ = false;
  job_total_bytes_ = ImageSectors() * kSectorSize;
  job_phase_ = TJobPhase::kPreparing;
  CacheThread = new TCacheThread(std::move(job), *this);
  if (!WaitForCache()) return false;
  StartWriterThread(/*to_file=*/false);
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
    if (WhileStarting) WhileStarting();
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

TVeskBurner::TJobProgress TVeskBurner::Progress() {
  TJobProgress p;
  p.Phase = job_phase_;
  if (Verifying()) p.Phase = TJobPhase::kVerifying;
  if (Erasing()) p.Phase = TJobPhase::kErasing;
  p.BytesWritten = bytes_written_;
  p.TotalBytes = job_total_bytes_;
  p.CacheFillPercent = CacheFillPercent();
  p.DriveBufferSize = DeviceBufferSize;
  p.DriveBufferFree = std::min(DeviceFreeBufferSize.load(), p.DriveBufferSize);
  p.VerifiedBytes = VerifyBytesDone();
  p.VerifyTotalBytes = VerifyBytesTotal();
  p.ErasePercent = GetEraseProgress();
  Lock();
  p.CurrentFile = CurrentFile;
  Unlock();
  return p;
}

const char* TVeskBurner::JobPhaseText(TJobPhase phase) {
  switch (phase) {
    case TJobPhase::kIdle:
      return "";
    case TJobPhase::kPreparing:
      return "préparation du graveur";
    case TJobPhase::kWriting:
      return "écriture";
    case TJobPhase::kFlushing:
      return "vidage du tampon du graveur";
    case TJobPhase::kClosing:
      return "fermeture de la session";
    case TJobPhase::kFinishing:
      return "attente du graveur";
    case TJobPhase::kVerifying:
      return "vérification";
    case TJobPhase::kErasing:
      return "effacement";
  }
  return "";
}

int TVeskBurner::CacheFillPercent() {
  Lock();
  int percent = 0;
  if (writing_active_ && CacheThread != nullptr) {
    // Spans of large files count their bytes, which wait in the page cache:
    // a queue full of them is a full cache.
    percent = std::min(100, static_cast<int>(std::lround(static_cast<double>(CacheThread->BufferedBytes()) /
                                                         CacheThread->CacheSize() * 100.0)));
  }
  Unlock();
  return percent;
}

void TVeskBurner::ReportJobFailure(const std::string& error) {
  // A failure before the writer started: reported on the caller's thread.
  EndJobExclusive();
  job_phase_ = TJobPhase::kIdle;
  job_running_ = false;
  if (OnWriteDone) {
    DoneText = error;
    OnWriteDone(this, error);
  }
}

void TVeskBurner::DeliverWriteDone(const std::string& error) {
  EndJobExclusive();  // the writer sends no further command
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
