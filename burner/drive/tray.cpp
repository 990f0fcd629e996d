// tray.cpp: waiting until a drive is ready after a disc change or a long
// operation. The wait polls with READ DISC INFORMATION, TEST UNIT READY and
// REQUEST SENSE, and keeps waiting while the drive answers "logical unit not
// ready" (additional sense code 04h); it gives up when its budget runs out.
#include <cstring>

#include "burner/drive/scsi_device.h"

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
    } while (LastAsc() == kNotReadyAsc);
  }

  if (RecordedDiscKind == dkDvdRam) {
    // A DVD-RAM answers TEST UNIT READY while it still formats in the
    // background: only REQUEST SENSE tells when it is done.
    sense_wait_[12] = kNotReadyAsc;
  } else {
    do {
      Sleep(StepMs);
      ReadDiscInfo();
      budget -= StepMs;
      if (budget < 0) return false;
    } while (LastAsc() == kNotReadyAsc);
  }

  if (TestUnitReady(5000) && sense_wait_[12] == 0) return true;

  do {
    Sleep(StepMs);
    budget -= StepMs;
    if (budget < 0) return false;
    TestUnitReady(5000);
  } while (LastAsc() == kNotReadyAsc);

  for (;;) {
    std::memset(sense_wait_, 0, sizeof(sense_wait_));
    RequestSense(sense_wait_, sizeof(sense_wait_));
    budget -= StepMs;
    if (budget < 0) return false;
    if (sense_wait_[0] == 0xF0) sense_wait_[12] = kNotReadyAsc;  // deferred error: not settled yet
    if (sense_wait_[12] == 0) return true;
    if (sense_wait_[12] == kNotReadyAsc) Sleep(StepMs);
  }
}

}  // namespace zamo
