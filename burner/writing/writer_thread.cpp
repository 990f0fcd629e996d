#include "burner/writing/writer_thread.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/date_time.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"
#include "burner/writing/cache_thread.h"

namespace zamo {

namespace {

// A command the drive refused for now, as MMC defines it: BUSY status, not
// ready because an operation is in progress (02/04/xx), or a unit attention
// after a reset or a medium change (06/28, 06/29). Anything else, above all
// a failure below SCSI (no sense data, an error of the transport or the
// host adapter) and a command that never completed or that the user cut
// short, is not retried: the job ends at once with its reason.
bool NotReadyFailure(const TSCSIDevice& drive) {
  if (drive.LastCommandTimedOut || drive.LastCommandCancelled || drive.LastFailureIsTransport()) return false;
  if (drive.TargetBusy) return true;
  const uint8_t key = drive.LastSenseKey(), asc = drive.LastAsc();
  return (key == 0x02 && asc == 0x04) || (key == 0x06 && (asc == 0x28 || asc == 0x29));
}

// A drive still at work on an earlier command (in progress, busy): a poll
// that fails so is polled again; any other failure ends the wait.
bool StillWorking(const TSCSIDevice& drive) {
  if (drive.LastCommandTimedOut || drive.LastCommandCancelled || drive.LastFailureIsTransport()) return false;
  return drive.TargetBusy || drive.LastAsc() == 0x04;
}

// What the drive kept answering, for the message of a write it never took.
std::string DriveAnswer(const TSCSIDevice& drive) {
  if (drive.TargetBusy) return msg::kDriveAnswersBusy;
  return StrFormat(msg::kDriveAnswers, drive.LastError.c_str());
}

// Retries of a write the drive is not ready for, 600 ms apart.
constexpr int kBusyRetryMs = 600;
// The drive's closing of a DVD-R/-RW after the last write: checked every
// second, given up after 30 minutes.
constexpr int kFinalizeWaitSeconds = 1800;
// A DVD+RW background format started by the writer: polled every 2 s.
constexpr int kFormatWaitSeconds = 1800;
// Commands with the immediate bit return at once.
constexpr int kShortCommandMs = 30000;
// A close the drive is still too busy to take is sent again for 5 minutes.
constexpr int kCloseWaitMs = 300000;
// Flushing, closing and formatting are sent with the immediate bit and the
// drive is then polled until it is ready again: a DVD+R DL close or a DVD+RW
// format completion may take many minutes, the most trusted recorders allow
// an hour. (A command without the immediate bit gets that hour as its
// time-out, so the kernel never resets a drive in the middle of a close.)
constexpr int kLongOperationMs = 3600000;
// Overwritable discs are written in whole ECC blocks of 16 sectors.
constexpr int kEccSectors = 16;
// Every write to a DVD carries 32 sectors.
constexpr int kDvdWriteBytes = 65536;
// The last sector of a single-layer DVD-R, the end of its streaming descriptor.
constexpr uint32_t kDvdREndLba = 2298495;

}  // namespace

TThWrite::TThWrite(TVeskBurner& burner, bool to_file)
    : ToFile(to_file), burner_(burner), cache_(*burner.CacheThread) {}

void TThWrite::Execute() {
  // The abort flag was cleared when the job started: an abort asked since
  // (while the cache filled, or just now) stops the writer at its first block.
  burner_.writing_active_ = true;
  burner_.bytes_written_ = 0;
  burner_.job_total_bytes_ = burner_.ImageSectors() * kSectorSize;
  burner_.job_phase_ = ToFile ? TVeskBurner::TJobPhase::kWriting : TVeskBurner::TJobPhase::kPreparing;
  cache_.SetErrorText("");
  compilation_ = cache_.ImageFileName().empty();
  // An existing image file always goes to the disc from sector 0.
  if (!compilation_) burner_.SessionStart = 0;
  if (!ToFile) PrepareRecorder();
  if (ToFile) {
    file_ = std::make_unique<TFileStreamEx>(burner_.ISOFileName, fmCreate);
    if (file_->Handle < 0) {
      Fail(StrFormat(msg::kCannotCreateFile, DisplayUtf8(burner_.ISOFileName).c_str()) + " (" +
           SystemErrorText(errno) + ")");
    }
    burner_.SessionStart = 0;
  }
  if (cache_.ErrorText().empty()) {
    burner_.job_phase_ = TVeskBurner::TJobPhase::kWriting;
    TransferLoop();
  }
  // An image file needs no closing phase; a recorder's comes here, also
  // after a failure (the drive's cache is flushed, the disc left open).
  if (!ToFile) CloseRecorder();
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
  if (!ToFile && n > 0 && compilation_ && IsOverwritableOnceFormatted(kind_)) {
    // The new descriptors go to sector 0 once the data is recorded (closing
    // phase); the old descriptor set is read now, before anything changes.
    head_copy_pending_ = true;
    head_sectors_ = (burner_.HeaderCopySize + kSectorSize - 1) / kSectorSize;
    hold_back_descriptors_ = burner_.SessionStart < head_sectors_;
    old_descriptor_set_end_ = DescriptorSetEnd();
  }
  if (ToFile || !compilation_) burner_.SessionStart = 0;
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
    {
      const std::string current = cache_.CurrentFile();
      burner_.Lock();
      burner_.CurrentFile = current;
      burner_.Unlock();
    }
    burner_.bytes_written_ = std::min(burner_.bytes_written_ + n, image_bytes);
    if (ToFile) {
      if (Status s = WriteToFile(blocks); !s.ok()) return Fail(s.UserText());
    } else {
      // Every write to a DVD carries 32 sectors, the last one included, for
      // a compilation and an image file alike: DVD media take whole ECC
      // blocks. The bytes past a short block's data are zeros.
      int bytes = static_cast<int>(n);
      if (!IsCdKind(kind_) && bytes < kDvdWriteBytes) {
        std::fill(blocks[0]->Data.begin() + bytes, blocks[0]->Data.begin() + kDvdWriteBytes, 0);
        bytes = kDvdWriteBytes;
      }
      if (!WriteToRecorder(*blocks[0], bytes)) return;
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

bool TThWrite::Aborted() {
  if (!burner_.abort_flag_) return false;
  Fail(msg::kAbortedByUser);
  return true;
}


bool TThWrite::Pause(int ms) {
  for (int left = ms; left > 0; left -= TSCSIDevice::kCancelCheckMs) {
    if (burner_.abort_flag_) return false;
    burner_.Sleep(std::min(left, TSCSIDevice::kCancelCheckMs));
  }
  return !burner_.abort_flag_;
}

TThWrite::WaitResult TThWrite::PollUntil(const std::function<bool()>& poll, int bound_ms, int step_ms) {
  using SteadyClock = std::chrono::steady_clock;
  const SteadyClock::time_point deadline = SteadyClock::now() + std::chrono::milliseconds(bound_ms);
  for (;;) {
    if (poll()) return WaitResult::kDone;
    if (burner_.abort_flag_ || burner_.LastCommandCancelled) return WaitResult::kAborted;
    if (!StillWorking(burner_)) return WaitResult::kFailed;
    if (SteadyClock::now() >= deadline) return WaitResult::kTimedOut;
    if (!Pause(step_ms)) return WaitResult::kAborted;
  }
}

int64_t TThWrite::SectorsToWrite() const {
  // A compilation is padded to a session's minimum by the cache; an image
  // file goes as it is.
  return compilation_ ? burner_.ImageSectors() : burner_.SessionSectors;
}

void TThWrite::PrepareRecorder() {
  TVeskBurner& b = burner_;
  uint32_t size = 0, free_bytes = 0;
  buffer_queries_ = b.ReadBufferCapacity(size, free_bytes);
  kind_ = b.NoteDiscKind();
  b.LoadEject(false);
  if (kind_ != dkDvdPlusRw) b.RezeroUnit();
  b.SetCdSpeed(b.ReadSpeed, b.WriteSpeed());
  b.WaitUntilReady(10000, 1000);

  // Sent first as for a disc to be closed; the real multisession setting
  // goes with the close.
  const bool finalize = b.FinalizeDisc;
  const uint16_t speed = b.GetCurrentWriteSpeed();
  b.FinalizeDisc = true;
  b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, true, kind_);
  b.FinalizeDisc = finalize;

  // DVD speeds go in a SET STREAMING performance descriptor, in kilobytes a
  // second. "As fast as the drive goes" (0) is the drive's maximum there: a
  // zero size is refused by drives, or taken as their slowest speed.
  const auto rate = [](uint16_t kbs) { return static_cast<uint32_t>(kbs / 1385.0 * 1440.25); };
  const uint16_t read_kbs = b.ReadSpeed != 0 ? b.ReadSpeed : b.GetMaxReadSpeed();
  const uint16_t write_kbs = b.WriteSpeed() != 0 ? b.WriteSpeed() : b.GetMaxWriteSpeed();
  if (IsDvdMinusKind(kind_) || IsDvdPlusKind(kind_)) {
    const auto start = static_cast<uint32_t>(b.SessionStart);
    b.SetPerformance(start, start + static_cast<uint32_t>(b.ImageSectors()), std::max<uint32_t>(rate(read_kbs), 1),
                     std::max<uint32_t>(rate(write_kbs), 1), 1000, 1000);
  }
  new_track_ = static_cast<uint8_t>(b.GetSessionCount() + 1);

  if (kind_ == dkDvdR) {
    // The streaming descriptor of the whole DVD-R, at the speed chosen (it
    // was a fixed 1x, which held every DVD-R to 1x), the time stamp, and the
    // track reserved for the session: the sectors the job writes, in whole
    // 32-sector writes, so that the last write fills it.
    uint8_t streaming[28] = {};
    PutBe32(streaming, 8, kDvdREndLba);
    PutBe32(streaming, 12, std::max<uint32_t>(rate(read_kbs), 1));
    PutBe32(streaming, 16, 1000);
    PutBe32(streaming, 20, std::max<uint32_t>(rate(write_kbs), 1));
    PutBe32(streaming, 24, 1000);
    b.SetStreaming(streaming, sizeof(streaming));
    b.SendTimeStamp(NowDateTime());
    b.ReserveTrack(static_cast<uint32_t>((SectorsToWrite() + 31) / 32 * 32));
    b.WaitUntilReady(10000, 1000);
  }
  if (kind_ != dkDvdRam && !b.TestWrite && b.PerformOPC) b.SendOpcInformation();

  std::string speed_text;
  if (IsDvdKind(kind_) && IsRecordableKind(kind_)) {
    speed_text = StrFormat("%.1fX (%s KB/s)", speed / 1385.0, FormatThousands(speed).c_str());
  } else {
    speed_text = StrFormat("%.0fX (%s KB/s)", speed / 176.4, FormatThousands(speed).c_str());
  }
  b.DebugMessage(std::string(">>> ") + StrFormat(msg::kWritingTo, DiscKindName(kind_), speed_text.c_str()), kMsgInfo);
  if (b.TestWrite) b.DebugMessage(std::string(">>> ") + msg::kTestWrite, kMsgInfo);
}

bool TThWrite::FormatBlankDvdPlusRw() {
  TVeskBurner& b = burner_;
  // A blank DVD+RW: formatted once in the background (the drive takes writes
  // meanwhile), as the erase does.
  static constexpr uint8_t kDvdPlusRwFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40,
                                                   0x98, 0x00, 0x00, 0x00};
  formatted_ = true;
  if (!b.FormatUnit(0x11, kDvdPlusRwFormat, sizeof(kDvdPlusRwFormat))) {
    if (b.LastCommandCancelled || b.abort_flag_) {
      Fail(msg::kAbortedByUser);
    } else {
      Fail(std::string(msg::kFormatFailed) + " [" + b.LastError + "]");
    }
    return false;
  }
  // Done when the drive no longer says "format in progress".
  const auto settled = [&b] { return b.ReadDiscInfo() || b.LastAsc() != 0x04; };
  switch (PollUntil(settled, kFormatWaitSeconds * 1000, 2000)) {
    case WaitResult::kDone:
    case WaitResult::kFailed:  // the write that follows says what is wrong
      return true;
    case WaitResult::kAborted:
      Fail(msg::kAbortedByUser);
      return false;
    case WaitResult::kTimedOut:
      Fail(StrFormat(msg::kFormatTimeout, kFormatWaitSeconds));
      return false;
  }
  return true;
}

bool TThWrite::WriteHeadCopy() {
  TVeskBurner& b = burner_;
  b.ErrorLogDone = true;
  // The head copy (system area and the new volume descriptors) goes to
  // sector 0, once the session's data is recorded: until then the disc
  // shows the volume it held, whole, and an interrupted job loses nothing.
  // It is sent in whole ECC blocks. The sectors after the new descriptors
  // are read back and written again as they are: they may hold the data
  // of the session already on the disc, which the new session still lists
  // (or, for a session at sector 0, its own path tables). Sectors of an
  // older, longer descriptor set are the exception: left as they were after
  // the new terminator they would put that old volume back in front of
  // readers that scan the whole area, so they are cleared.
  const int head_sectors = (b.HeaderCopySize + kSectorSize - 1) / kSectorSize;
  const int sectors = (head_sectors + kEccSectors - 1) / kEccSectors * kEccSectors;
  std::vector<uint8_t> head(static_cast<size_t>(sectors) * kSectorSize, 0);
  std::copy(b.HeaderCopy.begin(), b.HeaderCopy.begin() + b.HeaderCopySize, head.begin());
  const uint32_t old_set_end = b.SessionStart > 0 ? old_descriptor_set_end_ : 0;
  for (int sector = head_sectors; sector < sectors; ++sector) {
    uint8_t* at = head.data() + static_cast<size_t>(sector) * kSectorSize;
    if (static_cast<uint32_t>(sector) < old_set_end) continue;  // an old descriptor: cleared
    if (!b.Read10(static_cast<uint32_t>(sector), 1, at, kSectorSize)) std::fill(at, at + kSectorSize, 0);
  }
  if (!WriteWithRetries(0, head.data(), static_cast<int>(head.size()))) {
    const std::string& text = cache_.ErrorText();
    if (text.rfind(msg::kDiscWriteError, 0) == 0) {
      cache_.SetErrorText(std::string(msg::kHeadWriteFailed) + " [" + b.LastError + "]");
    }
    return false;
  }
  if (!Flush()) {
    if (b.LastCommandCancelled || b.abort_flag_) {
      Fail(msg::kAbortedWhileClosing);
    } else {
      Fail(std::string(msg::kFlushFailed) + " [" + b.LastError + "]");
    }
    return false;
  }
  return true;
}

uint32_t TThWrite::DescriptorSetEnd() {
  TVeskBurner& b = burner_;
  // Sectors 16 up to the set terminator, as readers walk them.
  std::array<uint8_t, kSectorSize> sector{};
  for (uint32_t lba = 16; lba < 16 + 2 * kEccSectors; ++lba) {
    sector.fill(0);
    if (!b.Read10(lba, 1, sector.data(), kSectorSize)) return 0;
    if (std::memcmp(sector.data() + 1, "CD001", 5) != 0) return 0;
    if (sector[0] == 255) return lba + 1;
  }
  return 0;
}

bool TThWrite::WriteWithRetries(uint32_t lba, uint8_t* data, int bytes) {
  // Within what one command may carry (a USB bridge's limit): in pieces,
  // each of whole ECC blocks on a DVD, each retried on its own.
  const uint32_t sectors = static_cast<uint32_t>(bytes) / kSectorSize;
  uint32_t per_command = burner_.TransferSectors(sectors);
  if (!IsCdKind(kind_) && per_command < sectors) per_command = std::max<uint32_t>(per_command / kEccSectors, 1) * kEccSectors;
  for (uint32_t done = 0; done < sectors;) {
    const uint32_t count = std::min(per_command, sectors - done);
    if (!WriteCommand(lba + done, data + size_t{done} * kSectorSize, static_cast<int>(count * kSectorSize))) return false;
    done += count;
  }
  return true;
}

bool TThWrite::WriteCommand(uint32_t lba, uint8_t* data, int bytes) {
  using SteadyClock = std::chrono::steady_clock;
  TVeskBurner& b = burner_;
  const uint32_t sectors = static_cast<uint32_t>(bytes) / kSectorSize;
  SteadyClock::time_point refused_since{};
  bool refused = false;
  for (;;) {
    if (Aborted()) return false;
    if (b.Write10(lba, static_cast<uint16_t>(sectors), data, static_cast<uint32_t>(bytes), kFlagsOut)) return true;
    if (b.LastCommandCancelled) {
      Fail(msg::kAbortedByUser);
      return false;
    }
    if (kind_ == dkDvdPlusRw && b.LastAsc() == 0x30 && !formatted_) {
      if (!FormatBlankDvdPlusRw()) return false;
      continue;
    }
    if (!NotReadyFailure(b)) {
      Fail(std::string(msg::kDiscWriteError) + " [" + b.LastError + "]");
      return false;
    }
    // Not ready yet: tried again, for a bounded time.
    const SteadyClock::time_point now = SteadyClock::now();
    if (!refused) {
      refused = true;
      refused_since = now;
    } else if (now - refused_since >= burner_.DriveBusyBound) {
      Fail(std::string(msg::kWriterBusy) + " [" +
           StrFormat(msg::kWriterBusyFor, static_cast<int>(burner_.DriveBusyBound.count()), DriveAnswer(b).c_str()) +
           "]");
      return false;
    }
    ++retries_;
    if (!Pause(kBusyRetryMs)) {
      Fail(msg::kAbortedByUser);
      return false;
    }
  }
}

bool TThWrite::WriteToRecorder(TCacheBlock& block, int bytes) {
  TVeskBurner& b = burner_;
  if (buffer_poll_countdown_ == 0 && buffer_queries_) {
    uint32_t size = 0, free_bytes = 0;
    if (b.ReadBufferCapacity(size, free_bytes)) buffer_poll_countdown_ = 5;
  }
  --buffer_poll_countdown_;
  retries_ = 0;
  const uint32_t lba = static_cast<uint32_t>(b.SessionStart) + written_;
  const uint32_t count = static_cast<uint32_t>(bytes) / kSectorSize;
  const auto head_end = static_cast<uint32_t>(head_sectors_);
  if (hold_back_descriptors_ && lba < head_end && lba + count > 16) {
    // The first session of an overwritable disc: its descriptors (sectors 16
    // to the terminator) are written last, with the head copy; until then
    // sector 16 shows no volume.
    const uint32_t from = std::max<uint32_t>(lba, 16) - lba;
    const uint32_t to = std::min(head_end, lba + count) - lba;
    std::fill(block.Data.begin() + from * kSectorSize, block.Data.begin() + to * kSectorSize, 0);
  }
  if (!WriteWithRetries(lba, block.Data.data(), bytes)) return false;
  written_ += count;
  return true;
}

bool TThWrite::Flush() {
  TVeskBurner& b = burner_;
  if (b.SynchronizeCache(kShortCommandMs, true)) return WaitUntilIdle() == WaitResult::kDone;
  // A drive that never answered the flush is not asked again: it would take
  // as long again. One that refused the immediate bit is asked without it.
  if (b.LastCommandTimedOut || b.LastCommandCancelled || b.abort_flag_) return false;
  return b.SynchronizeCache(kLongOperationMs, false);
}

TThWrite::WaitResult TThWrite::WaitUntilIdle() {
  TVeskBurner& b = burner_;
  const auto ready = [&b] { return b.TestUnitReady(5000); };
  return PollUntil(ready, kLongOperationMs, 1000);
}

bool TThWrite::MediumGone() {
  TVeskBurner& b = burner_;
  if (b.LastAsc() == 0x3A) return true;
  return !b.TestUnitReady(5000) && b.LastAsc() == 0x3A;
}

void TThWrite::CloseRecorder() {
  TVeskBurner& b = burner_;
  const bool failed = !cache_.ErrorText().empty();
  // A disc taken out of the drive has nothing left to flush or close: the
  // job ends at once, without waits for a disc that will not come back.
  if (failed && MediumGone()) {
    b.DebugMessage(std::string(">>> ") + msg::kDiscRemoved, kMsgStatus);
    if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
    b.DeviceBufferSize = 0;
    b.DeviceFreeBufferSize = 0;
    return;
  }
  b.job_phase_ = TVeskBurner::TJobPhase::kFlushing;
  uint32_t size = 0, free_bytes = 0;
  if (kind_ != dkDvdRam) b.ReadBufferCapacity(size, free_bytes);
  const bool dvd_minus = IsDvdMinusKind(kind_);
  if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
  // The drive records what its buffer holds, also after a failure (the
  // blocks it took stay readable).
  bool flushed = true;
  if (failed && (b.abort_flag_ || b.LastCommandCancelled)) {
    // Stopped by the user: the drive is told to record what it holds, and
    // not waited for.
    b.SynchronizeCache(kShortCommandMs, true);
  } else if (dvd_minus) {
    flushed = b.SynchronizeCache(kShortCommandMs, true);
    b.DeviceFreeBufferSize = b.DeviceBufferSize.load();
    if (flushed) {
      // The drive records its buffer, then answers again.
      const auto answered = [&b] {
        if (b.ReadDiscInfo()) return true;
        const uint32_t step = b.DeviceBufferSize / 960;
        const uint32_t left = b.DeviceFreeBufferSize;
        b.DeviceFreeBufferSize = left > step ? left - step : 0;
        return false;
      };
      switch (PollUntil(answered, kFinalizeWaitSeconds * 1000, 1000)) {
        case WaitResult::kDone:
          break;
        case WaitResult::kAborted:
          if (!failed) Fail(msg::kAbortedWhileClosing);
          break;
        case WaitResult::kTimedOut:
          if (!failed) Fail(StrFormat(msg::kFinalizeTimeout, kFinalizeWaitSeconds));
          break;
        case WaitResult::kFailed:
          flushed = false;
          break;
      }
    }
  } else {
    flushed = Flush();
  }
  b.DeviceBufferSize = 0;
  b.DeviceFreeBufferSize = 0;
  if (!cache_.ErrorText().empty()) return;  // a failed job is never closed
  if (!flushed) {
    if (b.abort_flag_ || b.LastCommandCancelled) {
      Fail(msg::kAbortedWhileClosing);
    } else {
      Fail(std::string(msg::kFlushFailed) + " [" + b.LastError + "]");
    }
    return;
  }
  b.job_phase_ = TVeskBurner::TJobPhase::kClosing;
  if (head_copy_pending_ && !WriteHeadCopy()) return;

  if (!b.TestWrite && kind_ != dkDvdRam && b.FinalizeTrack && !CloseSession()) return;
  // The drive may stay busy while it closes: the job ends when it answers.
  b.job_phase_ = TVeskBurner::TJobPhase::kFinishing;
  if (!Closed(WaitUntilIdle(), kLongOperationMs)) return;
  if (kind_ != dkDvdRam) b.ReadBufferCapacity(size, free_bytes);

  // Back to idle.
  b.SetWriteParameters(false, false, false, dkCdRom);
  b.SetCdSpeed(b.GetMaxReadSpeed(), 2);
  b.RezeroUnit();
  b.PreventAllowRemoval(true);
  b.LoadEject(false);
  b.RezeroUnit();
  b.TestUnitReady(5000);
}

bool TThWrite::Closed(WaitResult result, int bound_ms) {
  switch (result) {
    case WaitResult::kDone:
      return true;
    case WaitResult::kAborted:
      Fail(msg::kAbortedWhileClosing);
      return false;
    case WaitResult::kTimedOut:
      Fail(StrFormat(msg::kCloseTimeout, bound_ms / 1000));
      return false;
    case WaitResult::kFailed:
      Fail(std::string(msg::kCloseFailed) + " [" + burner_.LastError + "]");
      return false;
  }
  return false;
}

bool TThWrite::CloseCommand(uint8_t function, uint8_t number) {
  TVeskBurner& b = burner_;
  // With the immediate bit: the drive answers at once and stays busy while
  // it closes, and the next command waits until it is idle. A close it is
  // not ready to take yet is sent again, for a bounded time.
  const auto close = [&] { return b.CloseTrackSession(true, function, number); };
  return Closed(PollUntil(close, kCloseWaitMs, 1000), kCloseWaitMs) && Closed(WaitUntilIdle(), kLongOperationMs);
}

bool TThWrite::CloseSession() {
  TVeskBurner& b = burner_;
  // The real multisession setting: a disc closed for good with FinalizeDisc.
  b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, b.FinalizeDisc, kind_);
  switch (kind_) {
    case dkDvdPlusR:
      // Function 2 leaves a DVD+R appendable; 5 closes the session and the disc.
      return CloseCommand(1, new_track_) && CloseCommand(b.FinalizeDisc ? 5 : 2, b.FinalizeDisc ? 0 : 255);
    case dkDvdPlusRDl:
      return CloseCommand(1, new_track_) && CloseCommand(b.FinalizeDisc ? 6 : 2, 0);
    case dkDvdR:
      // The reserved track, then the session; the multisession field of the
      // write parameters page decides whether the disc stays appendable.
      return CloseCommand(1, new_track_) && CloseCommand(2, 0);
    case dkDvdRwRestricted:
    case dkDvdRwSequential:
      return CloseCommand(2, 0);
    case dkDvdPlusRw:
      return CloseCommand(3, 255);
    default: {
      // Drives known to mishandle the immediate bit close without it, with
      // the long time-out.
      const bool immediate = TSCSIDevice::ImmediateCloseModel;
      const auto close = [&] { return b.CloseSessionOrTrack(false, immediate, false); };
      WaitResult result = PollUntil(close, kCloseWaitMs, 1000);
      // A refusal for another reason: one more attempt. A close the drive
      // never answered is not sent again: it would take as long again.
      if (result == WaitResult::kFailed && !b.LastCommandTimedOut && !b.LastCommandCancelled &&
          b.CloseSessionOrTrack(false, immediate, false)) {
        result = WaitResult::kDone;
      }
      return Closed(result, kCloseWaitMs) && Closed(WaitUntilIdle(), kLongOperationMs);
    }
  }
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
  if (!ToFile) TSCSIDevice::SetReleaseHandles(true);
  burner_.FreeCacheThread();
  burner_.Lock();
  burner_.CurrentFile.clear();
  burner_.Unlock();
  burner_.job_phase_ = TVeskBurner::TJobPhase::kIdle;
  burner_.DeliverWriteDone(result);
  burner_.writer_running_ = false;  // the component may go from here on
}

}  // namespace zamo
