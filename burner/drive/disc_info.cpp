// disc_info.cpp: placeholder until the disc and drive information lands.
#include "burner/drive/scsi_device.h"

namespace zamo {

std::atomic<uint8_t> RecordedDiscKind{0};

bool TSCSIDevice::ReadCapabilities() { return false; }
bool TSCSIDevice::HasUnderrunPage() { return false; }
uint16_t TSCSIDevice::GetMaxWriteSpeed() { return 0; }
uint16_t TSCSIDevice::GetMaxReadSpeed() { return 0; }
uint16_t TSCSIDevice::GetCurrentWriteSpeed() { return 0; }
void TSCSIDevice::ReadDeviceName() {}
TDiscKind TSCSIDevice::GetDiscType() { return dkUnknown; }
bool TSCSIDevice::IsDiscErasable() { return false; }
int TSCSIDevice::GetDiscStatus() { return -1; }
int TSCSIDevice::GetSessionCount() { return 0; }
void TSCSIDevice::GetDiscInfo(TDisc&) {}
uint32_t TSCSIDevice::GetIsoVolumeSize() { return 0; }
uint32_t TSCSIDevice::GetNextWritableAddress() { return 0; }
uint32_t TSCSIDevice::GetFreeBlocks() { return 0; }
uint32_t TSCSIDevice::GetDiscCapacity() { return 0; }

}  // namespace zamo
