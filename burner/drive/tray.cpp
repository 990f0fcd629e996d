// tray.cpp: waiting until a drive is ready after a disc change or a long
// operation. The wait polls with READ DISC INFORMATION, TEST UNIT READY and
// REQUEST SENSE, and keeps waiting while the drive answers "logical unit not
// ready" (additional sense code 04h, in either sense format); it gives up when
// its budget runs out, and at once when the drive reports a deferred error
// (the long operation it was waiting for failed).
#include <cstring>

#include "burner/drive/scsi_device.h"
#include "burner/drive/sense.h"

namespace zamo {

namespace {
constexpr uint8_t kNotReadyAsc = 0x04;
constexpr int kSlowReadyStepMs = 1500;
}  // namespace

bool TSCSIDevice::WaitUntilReady(int TotalMs, int StepMs) {
  int budget = TotalMs;
  std::memset(sense_wait_, 0, sizeof(sense_wait_));

  // Drives known to answer too early after a change get a head start.
  if (SlowReadyModel || SlowReadyVendor) {
    do {
      Sleep(kSlowReadyStepMs);
      budget -= kSlowReadyStepMs;
      if (budget < 0) break;
      TestUnitReady(5000);
      if (LastDeferredError()) return false;
    } while (LastAsc() == kNotReadyAsc);
  }

  // A DVD-RAM answers TEST UNIT READY while it still formats in the
  // background: only REQUEST SENSE tells when it is done.
  const bool ask_sense_first = RecordedDiscKind() == dkDvdRam;
  if (!ask_sense_first) {
    // Asked at once: a drive that is ready costs no step.
    for (;;) {
      ReadDiscInfo();
      if (LastDeferredError()) return false;
      if (LastAsc() != kNotReadyAsc) break;
      budget -= StepMs;
      if (budget < 0) return false;
      Sleep(StepMs);
    }
  }

  const bool unit_ready = TestUnitReady(5000);
  if (unit_ready && !ask_sense_first) return true;
  if (LastDeferredError()) return false;

  // A DVD-RAM whose unit is ready goes straight to REQUEST SENSE: sleeping
  // a step first would cost every ready disc a whole step.
  if (!unit_ready) {
    do {
      Sleep(StepMs);
      budget -= StepMs;
      if (budget < 0) return false;
      TestUnitReady(5000);
      if (LastDeferredError()) return false;
    } while (LastAsc() == kNotReadyAsc);
  }

  for (;;) {
    std::memset(sense_wait_, 0, sizeof(sense_wait_));
    const bool answered = RequestSense(sense_wait_, sizeof(sense_wait_));
    budget -= StepMs;
    if (budget < 0) return false;
    const TSenseFields sense = DecodeSense(sense_wait_);
    if (answered && sense.DeferredError()) {
      // The operation waited for failed: its sense becomes the failure.
      AdoptRequestSenseData(sense_wait_, sizeof(sense_wait_));
      return false;
    }
    // No answer proves nothing: it counts as "not ready yet".
    if (answered && sense.asc == 0) return true;
    if (!answered || sense.asc == kNotReadyAsc) Sleep(StepMs);
  }
}

}  // namespace zamo
