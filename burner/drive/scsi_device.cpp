#include "burner/drive/scsi_device.h"

namespace zamo {

TSCSIDevice::TSCSIDevice(TComponent* owner) : TComponent(owner) {}

TSCSIDevice::~TSCSIDevice() = default;

void TSCSIDevice::Synchronize(std::function<void()> call) {
  if (Dispatcher) {
    Dispatcher(std::move(call));
  } else {
    call();
  }
}

void TSCSIDevice::DebugMessage(const std::string& Msg, uint8_t mType) {
  if (OnDebugMessage) OnDebugMessage(this, Msg, mType);
}

}  // namespace zamo
