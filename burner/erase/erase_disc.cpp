// erase_disc.cpp: starting an erase (EraseDisc), its progress, and its end.
//
// CD-RW and DVD-RW are blanked (BLANK, immediate); a DVD+RW is formatted in
// the background and its start overwritten with zeros; a DVD-RAM is
// formatted (complete erase) or has its start overwritten (quick erase). The
// drive does the long part alone: TEraseThread waits for it.
//
// Failures are reported the same way whenever they happen: the French text
// goes to the log and to EraseErrorText, and OnEraseDone(this, true) fires
// once; the event's signature stays the published one.
#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "burner/drive/messages.h"
#include "burner/drive/parameter_lists.h"
#include "burner/drive/scsi_device.h"
#include "burner/erase/erase_thread.h"
#include "burner/platform/str_format.h"

namespace zamo {
namespace {

// The full format of a DVD-RAM: its 2,236,704 blocks of 2048 bytes, in the background.
FormatList DvdRamFullFormat() {
  return FormatList().Immediate().Blocks(2236704).FormatType(FormatList::kFullFormat).TypeParameter(2048);
}
constexpr int kDvdRamQuickWrites = 11;  // 704 blocks of zeros before the thread starts
// How long the destructor waits for an erase thread to let go of the
// component: longer than the longest single command it sends (a WRITE (10),
// two minutes), as a drive command cannot be interrupted.
constexpr int kStopWaitSteps = 1300;
constexpr std::chrono::milliseconds kStopWaitStep{100};

// "16X(2,822 KB/s)" on a CD, "2.4X(3,324 KB/s)" on a DVD.
std::string EraseSpeedText(TDiscKind kind, uint16_t kbs) {
  if (IsDvdKind(kind)) return StrFormat("%.1fX(%s KB/s)", kbs / 1385.0, FormatThousands(kbs).c_str());
  return StrFormat("%.0fX(%s KB/s)", kbs / 176.4, FormatThousands(kbs).c_str());
}

}  // namespace

bool TSCSIDevice::EraseDisc(bool Quick) {
  if (erasing_ || erase_thread_running_) {
    // The running erase still owes its own OnEraseDone: nothing fires here.
    DebugMessage(msg::kEraseAlreadyRunning, kMsgStatus);
    return false;
  }
  EraseErrorText.clear();
  if (const std::string refusal = WritingRefusal(); !refusal.empty()) return FailEraseStart(refusal);
  // The device is the erase's alone until it ends.
  if (!BeginJobExclusive()) return FailEraseStart(LastError);
  TestUnitReady(5000);
  LoadEject(false);
  const TDiscKind kind = NoteDiscKind();
  EraseQuick = Quick;
  const auto ready = [this] { return TestUnitReady(5000) || WaitUntilReady(30000, 5000); };
  if (!ready()) return FailEraseStart(msg::kEraseNotReady);

  if (kind != dkDvdRam) {
    SetCdSpeed(ReadSpeed, WriteSpeed());
    SetWriteParameters(/*TestWriteOn=*/false, /*UnderrunProtectionOn=*/false, /*CloseFlag=*/false, kind, DiscFinalizeIf(FinalizeDisc));
  }
  const uint16_t speed = GetCurrentWriteSpeed();
  if (!ready()) return FailEraseStart(msg::kEraseNotReady);
  DebugMessage(">>> " + StrFormat(msg::kErasing, DiscKindName(kind), EraseSpeedText(kind, speed).c_str()), kMsgInfo);

  if (!StartEraseOperation(kind, Quick)) {
    std::string text = msg::kEraseNotStarted;
    if (!LastError.empty()) text += " [" + LastError + "]";
    return FailEraseStart(text);
  }

  erase_cancel_ = false;
  erase_progress_ = 0;
  erasing_ = true;
  erase_thread_running_ = true;
  try {
    auto* thread = new TEraseThread(*this, kind, EstimatedEraseSeconds(kind, Quick), Quick);
    thread->FreeOnTerminate = true;
    thread->Start();  // from here the thread owns itself
  } catch (...) {
    erase_thread_running_ = false;
    return FailEraseStart(msg::kEraseInternal);  // the drive erases on; nothing waits for it
  }
  return true;
}

bool TSCSIDevice::StartEraseOperation(TDiscKind kind, bool quick) {
  switch (kind) {
    case dkDvdRam: {
      if (!quick) {
        const FormatList list = DvdRamFullFormat();
        return FormatUnit(0x11, list.data(), static_cast<int>(list.size()));
      }
      // A DVD-RAM needs no blanking: overwriting its start hides what it held.
      std::vector<uint8_t> zeros(32 * 2048, 0);
      // Within what one command may carry, in whole ECC blocks.
      const uint32_t per_command = std::max<uint32_t>(TransferSectors(32) / 16, 1) * 16;
      for (uint32_t lba = 0; lba < kDvdRamQuickWrites * 32u; lba += per_command)
        Write10(lba, static_cast<uint16_t>(per_command), zeros.data(), per_command * 2048, kFlagsOut);
      SynchronizeCache(30000, /*Immediate=*/false);
      return true;
    }
    case dkDvdPlusRw: {
      const FormatList list = DvdPlusRwBasicFormat();
      if (FormatUnit(0x11, list.data(), static_cast<int>(list.size()))) return true;
      RezeroUnit();
      Sleep(1000);
      return FormatUnit(0x11, list.data(), static_cast<int>(list.size()));
    }
    default:
      return Blank(quick);  // minimal or whole-disc blank, immediate
  }
}

bool TSCSIDevice::FailEraseStart(const std::string& text) {
  EndJobExclusive();
  erasing_ = false;
  EraseErrorText = text;
  DebugMessage(text, kMsgStatus);
  // A failed start is reported on the caller's (user-interface) thread
  // before EraseDisc returns, so a window waiting for the event is released.
  if (OnEraseDone) OnEraseDone(this, true);
  return false;
}

int TSCSIDevice::GetEraseProgress() const {
  if (!erasing_) return 0;
  return std::clamp(erase_progress_.load(), 0, 100);
}

void TSCSIDevice::DeliverEraseDone(bool with_error, const std::string& text) {
  EndJobExclusive();  // the thread sends no further command
  if (with_error) DebugMessage(text, kMsgStatus);
  if (!erase_cancel_) {
    // Capture the component, not the thread: the thread is gone when this runs.
    std::weak_ptr<bool> alive = erase_alive_;
    Synchronize([this, alive, with_error, text] {
      if (alive.expired()) return;
      EraseErrorText = text;
      erasing_ = false;
      if (OnEraseDone) OnEraseDone(this, with_error);
    });
  }
  erase_thread_running_ = false;  // the component may go from here on
}

void TSCSIDevice::StopErase() {
  if (!erase_thread_running_) return;
  erase_cancel_ = true;
  for (int step = 0; step < kStopWaitSteps && erase_thread_running_; ++step) std::this_thread::sleep_for(kStopWaitStep);
  if (!erase_thread_running_) erasing_ = false;
}

}  // namespace zamo
