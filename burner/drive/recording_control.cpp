// recording_control.cpp: placeholder until the recording control lands.
#include "burner/drive/scsi_device.h"

namespace zamo {

bool TSCSIDevice::SetWriteParameters(bool, bool, bool, TDiscKind) { return false; }
void TSCSIDevice::ProbeWriteTypes() {}
bool TSCSIDevice::TryWriteType(int) { return false; }
bool TSCSIDevice::SetPerformance(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) { return false; }
void TSCSIDevice::SetWriteSpeed(uint16_t value) { write_speed_ = value; }

}  // namespace zamo
