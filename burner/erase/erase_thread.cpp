// erase_thread.cpp: TEraseThread's body: per disc kind, the waits and
// overwrites that complete an erase, then the drive back to idle.
#include "burner/erase/erase_thread.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "burner/drive/messages.h"
#include "burner/drive/sense.h"
#include "burner/drive/transport.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

constexpr uint8_t kNoMediumAsc = 0x3A;
constexpr uint16_t kOverwriteBlocks = 32;  // 64 KB per WRITE (10)
constexpr int kQuickOverwrites = 65;       // blocks 0 to 2079: the file system's start
constexpr int kFullOverwrites = 71'001;    // the whole 4.7 GB disc
// A write the drive is not ready for is sent again 600 ms later, for a
// minute at most, before the overwrite counts as failed.
constexpr int kNotReadyWriteRetries = 100;
constexpr int kNotReadyWritePauseMs = 600;

}  // namespace

uint16_t EstimatedEraseSeconds(TDiscKind kind, bool quick) {
  if (IsCdKind(kind)) return quick ? 150 : 4500;
  return quick ? 600 : 4440;
}

TEraseThread::TEraseThread(TSCSIDevice& device, TDiscKind kind, uint16_t estimated_seconds, bool quick)
    : Kind(kind), Device(device), EstimatedSeconds(std::max<uint16_t>(estimated_seconds, 1)), quick_(quick) {}

void TEraseThread::Execute() {
  std::string failure;
  try {
    failure = WaitForErase();
  } catch (...) {
    failure = msg::kEraseInternal;
  }
  try {
    if (!Cancelled()) ReturnDriveToIdle();
  } catch (...) {
    if (failure.empty()) failure = msg::kEraseInternal;
  }
  WithError = !failure.empty();
  Device.DeliverEraseDone(WithError, failure);  // the last use of Device
}

std::string TEraseThread::WaitForErase() {
  if (IsDvdRwKind(Kind)) {
    WaitForDvdRwBlank();
    if (!deferred_failure_.empty()) return deferred_failure_;
  } else if (Kind == dkDvdPlusRw) {
    if (std::string failure = FormatAndOverwriteDvdPlusRw(); !failure.empty()) return failure;
  } else if (Kind == dkDvdRam && quick_) {
    // A quick erase overwrites the start of the disc a second time (the
    // first pass ran before the thread), failures aside.
    OverwriteStart(kQuickOverwrites, /*stop_at_failure=*/false);
    Device.SynchronizeCache(30000, /*Immediate=*/false);
  }
  if (Cancelled()) return {};  // the component is going away: no more commands

  if (TSCSIDevice::SlowReadyVendor) {  // drives that answer "ready" too early get a head start
    do {
      UpdateProgress();
      elapsed_ += 2;
      ReadyPoll();
    } while (KeepWaiting());
    DiscInfoPoll();
    Pause(5000);
  }
  const bool unit_ready = Device.TestUnitReady(5000);
  NoteDeferredError();
  if (unit_ready && DiscInfoPoll()) return {};
  if (!deferred_failure_.empty()) return deferred_failure_;

  // A DVD-RAM answers READ DISC INFORMATION while it formats: only TEST UNIT
  // READY and REQUEST SENSE tell.
  if (Kind != dkDvdRam) {
    do {
      UpdateProgress();
      DiscInfoPoll();
      elapsed_ += 5;
      if (Busy()) Pause(5000);
    } while (KeepWaiting());
  }
  do {
    UpdateProgress();
    elapsed_ += 2;
    ReadyPoll();
  } while (KeepWaiting());
  if (!deferred_failure_.empty()) return deferred_failure_;
  return WaitForSettledSense();
}

void TEraseThread::WaitForDvdRwBlank() {
  do {
    UpdateProgress();
    elapsed_ += 1;
    ReadyPoll();
    UpdateProgress();
  } while (KeepWaiting());
  if (!deferred_failure_.empty()) return;
  // A drive may say "ready" before its blank is over: it is given 5 s to
  // say "not ready" again. A drive that already shows a blank disc has
  // nothing left to do, and is not kept waiting.
  if (DiscInfoPoll() && Device.DiscInformation().DiscStatus == 0) return;
  Pause(5000);
  do {
    UpdateProgress();
    elapsed_ += 1;
    ReadyPoll();
  } while (KeepWaiting());
}

std::string TEraseThread::FormatAndOverwriteDvdPlusRw() {
  // The background format first, asked at once (a drive that formats in no
  // time is not waited for), then every 2 s; bounded by the estimate like
  // every wait.
  DiscInfoPoll();
  while (KeepWaiting()) {
    Pause(2000);
    elapsed_ += 2;
    DiscInfoPoll();
    UpdateProgress();
  }
  if (!deferred_failure_.empty()) return deferred_failure_;
  if (Busy() && !Cancelled()) return StrFormat(msg::kEraseFormatTimeout, elapsed_);

  if (std::string failure = OverwriteStart(quick_ ? kQuickOverwrites : kFullOverwrites, /*stop_at_failure=*/true);
      !failure.empty())
    return failure;  // no flush, no close: the disc is not in a state to close
  if (Cancelled()) return {};
  Pause(300);
  elapsed_ += 1;
  UpdateProgress();
  Device.SynchronizeCache(30000, /*Immediate=*/false);
  Device.CloseTrackSession(/*Immediate=*/false, 3, 0);  // complete the background format
  return {};
}

std::string TEraseThread::OverwriteStart(int count, bool stop_at_failure) {
  zeros_.assign(size_t{kOverwriteBlocks} * 2048, 0);
  for (int i = 0; i < count && !Cancelled(); ++i) {
    const uint32_t lba = static_cast<uint32_t>(i) * kOverwriteBlocks;
    if (!WriteZeros(lba) && stop_at_failure) {
      // A deferred error here is the format's failure, reported at the write.
      std::string text =
          Device.LastDeferredError() ? std::string(msg::kEraseFailed) : StrFormat(msg::kEraseWriteError, lba);
      if (!Device.LastError.empty()) text += " [" + Device.LastError + "]";
      return text;
    }
    // On a full overwrite the writes are most of the time: they carry the progress.
    SetProgress(static_cast<int>(int64_t{i + 1} * 100 / count));
  }
  return {};
}

bool TEraseThread::WriteZeros(uint32_t lba) {
  // Within what one command may carry, in whole ECC blocks.
  const uint32_t per_command = std::max<uint32_t>(Device.TransferSectors(kOverwriteBlocks) / 16, 1) * 16;
  for (uint32_t done = 0; done < kOverwriteBlocks;) {
    const uint32_t count = std::min<uint32_t>(per_command, kOverwriteBlocks - done);
    for (int attempt = 0;; ++attempt) {
      if (Device.Write10(lba + done, static_cast<uint16_t>(count), zeros_.data(), count * 2048, kFlagsOut)) break;
      const bool not_ready = Device.TargetBusy || Device.LastAsc() == 0x04;
      if (!not_ready || attempt >= kNotReadyWriteRetries || Cancelled()) return false;
      Pause(kNotReadyWritePauseMs);
    }
    done += count;
  }
  return true;
}

std::string TEraseThread::WaitForSettledSense() {
  uint8_t sense[40];
  for (;;) {
    UpdateProgress();
    std::memset(sense, 0, sizeof sense);
    const bool answered = Device.RequestSense(sense, sizeof sense);
    elapsed_ += 2;
    const TSenseFields fields = DecodeSense(sense);
    if (answered && fields.progress >= 0 && fields.asc == 0x04) {
      drive_progress_ = true;
      SetProgress(static_cast<int>(int64_t{fields.progress} * 100 / 65536));
    }
    if (answered && fields.DeferredError()) {
      // The drive kept the failure of the blank or format for this question.
      Device.AdoptRequestSenseData(sense, sizeof sense);
      return std::string(msg::kEraseFailed) + " [" + Device.LastError + "]";
    }
    // No answer proves nothing: it counts as "not ready". A current 04h
    // (F0h or 70h alike) is a drive still at work.
    const uint8_t asc = answered ? fields.asc : 0x04;
    if (asc == 0) return {};
    if (asc == kNoMediumAsc) return msg::kEraseNoMedium;  // waiting longer cannot help
    if (elapsed_ > EstimatedSeconds || Cancelled()) return StrFormat(msg::kEraseNeverReady, elapsed_);
    Pause(2000);
  }
}

void TEraseThread::ReturnDriveToIdle() {
  // The built-in pass-through transport opens the drive again: an erase can
  // leave the kernel's view of the disc stale.
  if (transport::TransportName() == "PTASPI32") transport::AspiReinitialize();
  progress_ = 100;
  Device.erase_progress_ = 100;
  // Track-at-once, mode 1.
  Device.SetWriteParameters(/*TestWriteOn=*/false, /*UnderrunProtectionOn=*/false, /*CloseFlag=*/false, dkCdRom, DiscFinalizeIf(Device.FinalizeDisc));
  Device.SetCdSpeed(Device.GetMaxReadSpeed(), 2);          // the slowest write speed
  Device.RezeroUnit();
  Device.PreventAllowRemoval(true);
  Device.LoadEject(false);
  Device.RezeroUnit();
  Device.TestUnitReady(5000);
}

void TEraseThread::ReadyPoll() {
  if (Device.TestUnitReady(5000)) return;
  NoteDeferredError();
  if (deferred_failure_.empty()) Pause(2000);
}

bool TEraseThread::DiscInfoPoll() {
  const bool answered = Device.ReadDiscInfo();
  NoteDeferredError();
  return answered;
}

void TEraseThread::NoteDeferredError() {
  // A drive at work says how far it is (MMC's BLANK and FORMAT UNIT with the
  // immediate bit): the estimate, minutes off either way, gives way to it.
  if (const int32_t progress = DecodeSense(Device.LastSense).progress; progress >= 0 && Busy()) {
    drive_progress_ = true;
    SetProgress(static_cast<int>(int64_t{progress} * 100 / 65536));
  }
  if (!deferred_failure_.empty() || !Device.LastDeferredError()) return;
  deferred_failure_ = std::string(msg::kEraseFailed) + " [" + Device.LastError + "]";
}

bool TEraseThread::Cancelled() const { return Device.erase_cancel_; }

void TEraseThread::Pause(int ms) {
  if (!Cancelled()) Device.Sleep(ms);
}

void TEraseThread::UpdateProgress() {
  if (drive_progress_) return;
  SetProgress(static_cast<int>(std::lround(elapsed_ * 100.0 / EstimatedSeconds)));
}

void TEraseThread::SetProgress(int percent) {
  // Never backwards: a full DVD+RW overwrite moves it faster than the clock.
  if (percent <= progress_) return;
  progress_ = percent;
  Device.erase_progress_ = percent;
}

}  // namespace zamo
