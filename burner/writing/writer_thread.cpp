#include "burner/writing/writer_thread.h"

#include <errno.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <thread>

#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/date_time.h"
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
  if (cache_.ErrorText().empty()) TransferLoop();
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
  if (!ToFile && n > 0 && compilation_ &&
      (kind_ == dkDvdPlusRw || kind_ == dkDvdRwRestricted || kind_ == dkDvdRwSequential || kind_ == dkDvdRam)) {
    if (!WriteHeadCopy()) return;
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
    burner_.CurrentFile = cache_.CurrentFile();
    burner_.bytes_written_ = std::min(burner_.bytes_written_ + n, image_bytes);
    if (ToFile) {
      if (Status s = WriteToFile(blocks); !s.ok()) return Fail(s.UserText());
    } else {
      // Every write to a DVD carries 32 sectors, the last one included; the
      // bytes past a short block's data are zeros.
      int bytes = static_cast<int>(n);
      if (compilation_ && kind_ != dkCdR && kind_ != dkCdRw && bytes < 65536) {
        std::fill(blocks[0]->Data.begin() + bytes, blocks[0]->Data.begin() + 65536, 0);
        bytes = 65536;
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

namespace {

// "5,540" with the locale's thousands separator.
std::string Thousands(unsigned value) {
  std::string digits = std::to_string(value);
  const char* separator = std::localeconv()->thousands_sep;
  if (separator == nullptr || *separator == '\0') return digits;
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), separator);
  return digits;
}

// A write the drive refused for now: busy, becoming ready, or failed without
// sense data. A command that never completed is not one of them: retrying it
// would wait out its time-out thousands of times.
bool NotReadyFailure(const TSCSIDevice& drive) {
  if (drive.LastCommandTimedOut) return false;
  return drive.TargetBusy || drive.LastAsc() == 0x04 || drive.LastAsc() == 0x00;
}

// Retries of a write the drive is not ready for: 600 ms apart, at most
// 10,000 (about 100 minutes) before the job fails.
constexpr int kBusyRetryMs = 600;
constexpr int kMaxBusyRetries = 10000;
// The drive's closing of a DVD-R/-RW after the last write: checked every
// second, given up after 30 minutes.
constexpr int kFinalizeWaitSeconds = 1800;

}  // namespace

void TThWrite::PrepareRecorder() {
  TVeskBurner& b = burner_;
  uint32_t size = 0, free_bytes = 0;
  buffer_queries_ = b.ReadBufferCapacity(size, free_bytes);
  kind_ = b.GetDiscType();
  RecordedDiscKind = kind_;
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

  switch (kind_) {
    case dkDvdR:
    case dkDvdRwRestricted:
    case dkDvdRwSequential:
    case dkDvdPlusRw:
    case dkDvdPlusR:
    case dkDvdPlusRDl: {
      const auto rate = [](uint16_t kbs) { return static_cast<uint32_t>(kbs / 1385.0 * 1440.25); };
      const auto start = static_cast<uint32_t>(b.SessionStart);
      b.SetPerformance(start, start + static_cast<uint32_t>(b.ImageSectors()), rate(b.ReadSpeed),
                       rate(b.WriteSpeed()), 1000, 1000);
      break;
    }
    default:
      break;
  }
  new_track_ = static_cast<uint8_t>(b.GetSessionCount() + 1);

  if (kind_ == dkDvdR) {
    // The streaming descriptor of a whole DVD-R at 1x, the time stamp, and
    // the track reserved for the session (whole ECC blocks).
    static constexpr uint8_t kDvdRStreaming[28] = {0,    0,    0,    0,    0, 0, 0,    0,    0, 0x23, 0x12, 0x7F, 0, 0,
                                                   0xAB, 0xBD, 0,    0,    0x03, 0xE8, 0, 0, 0x05, 0x8A, 0, 0, 0x03, 0xE8};
    b.SetStreaming(kDvdRStreaming, sizeof(kDvdRStreaming));
    b.SendTimeStamp(NowDateTime());
    const auto sectors = static_cast<uint32_t>(b.ImageSectors());
    b.ReserveTrack((sectors + 31) / 32 * 32);
    b.WaitUntilReady(10000, 1000);
  }
  if (kind_ != dkDvdRam && !b.TestWrite && b.PerformOPC) b.SendOpcInformation();

  std::string speed_text;
  if (kind_ >= dkDvdR && kind_ <= dkDvdPlusRDl) {
    speed_text = StrFormat("%.1fX (%s KB/s)", speed / 1385.0, Thousands(speed).c_str());
  } else {
    speed_text = StrFormat("%.0fX (%s KB/s)", speed / 176.4, Thousands(speed).c_str());
  }
  b.DebugMessage(std::string(">>> ") + StrFormat(msg::kWritingTo, DiscKindName(kind_), speed_text.c_str()), kMsgInfo);
  if (b.TestWrite) b.DebugMessage(std::string(">>> ") + msg::kTestWrite, kMsgInfo);
}

bool TThWrite::WriteHeadCopy() {
  TVeskBurner& b = burner_;
  b.ErrorLogDone = true;
  // Overwritable discs take whole ECC blocks of 16 sectors: the head (system
  // area and volume descriptors) is sent in as many as it needs. The sectors
  // after the descriptors may hold the files of the session already on the
  // disc, which the new session still lists: they are read back and written
  // again as they are, never overwritten with filler.
  constexpr int kEccSectors = 16;
  const int head_sectors = (b.HeaderCopySize + kSectorSize - 1) / kSectorSize;
  const int sectors = (head_sectors + kEccSectors - 1) / kEccSectors * kEccSectors;
  std::vector<uint8_t> head(static_cast<size_t>(sectors) * kSectorSize, 0);
  std::copy(b.HeaderCopy.begin(), b.HeaderCopy.begin() + b.HeaderCopySize, head.begin());
  if (b.SessionStart > 0) {
    for (int sector = head_sectors; sector < sectors; ++sector) {
      uint8_t* at = head.data() + static_cast<size_t>(sector) * kSectorSize;
      if (!b.Read10(static_cast<uint32_t>(sector), 1, at, kSectorSize)) std::fill(at, at + kSectorSize, 0);
    }
  }
  bool formatted = false;
  retries_ = 0;
  for (;;) {
    if (Aborted()) return false;
    if (b.Write10(0, static_cast<uint16_t>(sectors), head.data(), static_cast<uint32_t>(head.size()), kFlagsOut)) {
      b.SynchronizeCache(1800000, false);
      return true;
    }
    if (b.LastAsc() == 0x30 && kind_ == dkDvdPlusRw && !formatted) {
      // A blank DVD+RW: formatted once in the background, then written again.
      static constexpr uint8_t kDvdPlusRwFormat[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40,
                                                       0x98, 0x00, 0x00, 0x00};
      formatted = true;
      if (b.FormatUnit(0x11, kDvdPlusRwFormat, sizeof(kDvdPlusRwFormat))) {
        for (int waited = 0; waited < kFinalizeWaitSeconds / 2; ++waited) {
          b.Sleep(2000);
          b.ReadDiscInfo();
          if (b.LastAsc() != 0x04) break;
        }
      }
      continue;
    }
    if (NotReadyFailure(b) && ++retries_ < kMaxBusyRetries) {
      // Not ready yet: retried, never skipped (the disc would keep the old
      // descriptors and hide the new session).
      b.Sleep(kBusyRetryMs);
      continue;
    }
    Fail(NotReadyFailure(b) ? std::string(msg::kWriterBusy)
                            : std::string(msg::kDiscWriteError) + " [" + b.LastError + "]");
    return false;
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
  const uint32_t sectors = static_cast<uint32_t>(bytes) / kSectorSize;
  for (;;) {
    if (Aborted()) return false;
    if (b.Write10(static_cast<uint32_t>(b.SessionStart) + written_, static_cast<uint16_t>(sectors), block.Data.data(),
                  static_cast<uint32_t>(bytes), kFlagsOut)) {
      break;
    }
    if (!NotReadyFailure(b)) {
      Fail(std::string(msg::kDiscWriteError) + " [" + b.LastError + "]");
      return false;
    }
    if (++retries_ >= kMaxBusyRetries) {
      Fail(msg::kWriterBusy);
      return false;
    }
    b.Sleep(kBusyRetryMs);
  }
  written_ += sectors;
  return true;
}

void TThWrite::CloseRecorder() {
  TVeskBurner& b = burner_;
  uint32_t size = 0, free_bytes = 0;
  if (kind_ != dkDvdRam) b.ReadBufferCapacity(size, free_bytes);
  const bool dvd_minus = kind_ == dkDvdR || kind_ == dkDvdRwRestricted || kind_ == dkDvdRwSequential;
  if (b.OnFinalizingTrack) b.OnFinalizingTrack(&b);
  if (dvd_minus) {
    b.SynchronizeCache(1800000, true);
    b.DeviceFreeBufferSize = b.DeviceBufferSize;
    int waited = 0;
    while (!b.ReadDiscInfo()) {
      if (++waited > kFinalizeWaitSeconds) {
        if (cache_.ErrorText().empty()) Fail(StrFormat(msg::kFinalizeTimeout, kFinalizeWaitSeconds));
        break;
      }
      const uint32_t step = b.DeviceBufferSize / 960;
      b.DeviceFreeBufferSize = b.DeviceFreeBufferSize > step ? b.DeviceFreeBufferSize - step : 0;
      b.Sleep(1000);
    }
  } else if (!b.SynchronizeCache(120000, false)) {
    b.SynchronizeCache(120000, true);
  }
  b.DeviceBufferSize = 0;
  b.DeviceFreeBufferSize = 0;
  if (!cache_.ErrorText().empty()) return;  // a failed job is never closed

  if (!b.TestWrite && kind_ != dkDvdRam && b.FinalizeTrack) {
    if (kind_ != dkDvdR) b.SetWriteParameters(b.TestWrite, b.UnderrunProtection, b.FinalizeDisc, kind_);
    switch (kind_) {
      case dkDvdPlusR:
        b.CloseTrackSession(false, 1, new_track_);
        b.CloseTrackSession(false, 2, 255);
        break;
      case dkDvdPlusRDl:
        b.CloseTrackSession(false, 1, new_track_);
        b.CloseTrackSession(false, b.FinalizeDisc ? 6 : 2, 0);
        break;
      case dkDvdR:
        b.CloseTrackSession(true, 1, new_track_);
        b.CloseTrackSession(true, 1, static_cast<uint8_t>(new_track_ + 1));
        b.CloseTrackSession(true, 2, static_cast<uint8_t>(new_track_ + 2));
        break;
      case dkDvdRwRestricted:
      case dkDvdRwSequential:
        b.CloseTrackSession(true, 2, 0);
        break;
      case dkDvdPlusRw:
        b.CloseTrackSession(false, 3, 255);
        break;
      default: {
        const bool immediate = TSCSIDevice::ImmediateCloseModel;
        bool closed = false;
        for (int attempt = 0; attempt < 1000 && !closed; ++attempt) {
          closed = b.CloseSessionOrTrack(false, immediate, false);
          if (closed) break;
          if (!(b.TargetBusy || b.LastAsc() == 0x04)) {
            b.CloseSessionOrTrack(false, immediate, false);
            break;
          }
          b.Sleep(1000);
        }
        break;
      }
    }
  }
  b.WaitUntilReady(240000, 5000);
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
  burner_.CurrentFile.clear();
  burner_.DeliverWriteDone(result);
  burner_.writer_running_ = false;  // the component may go from here on
}

}  // namespace zamo
