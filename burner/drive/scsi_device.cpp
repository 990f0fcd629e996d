#include "burner/drive/scsi_device.h"

#include <chrono>
#include <thread>

#include "burner/drive/transport.h"

namespace zamo {

TSCSIDevice::TSCSIDevice(TComponent* owner) : TComponent(owner) {
  Sleep = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  // A component made after the transport started lists its devices at once.
  if (transport::Initialized()) {
    HostAdapterInquiry(0);
    ScanDevices();
  }
}

TSCSIDevice::~TSCSIDevice() {
  StopErase();
  *erase_alive_ = false;
  // A device still held for this component is let go with it.
  while (HoldsExclusive()) EndExclusive();
}

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
