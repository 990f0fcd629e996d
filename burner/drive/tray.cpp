// tray.cpp: placeholder until the readiness wait lands.
#include "burner/drive/scsi_device.h"

namespace zamo {

bool TSCSIDevice::WaitUntilReady(int, int) { return false; }

}  // namespace zamo
