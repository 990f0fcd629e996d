// scsi_device.h: TSCSIDevice, the drive-access component and the base of the
// burner component: its log channel and its critical section. The drive state
// (selected device, device list, last failure) joins it with the drive layer.
//
// Thread safety: DebugMessage may be called from any thread and runs the
// handler on that thread; Lock/Unlock guard data shared between the
// component's threads.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "burner/platform/component.h"

namespace zamo {

// Message types of the log channel.
constexpr uint8_t kMsgStatus = 0;       // errors and plain status lines
constexpr uint8_t kMsgInfo = 1;         // ">>> " informational and progress lines
constexpr uint8_t kMsgLimit = 3;        // compilation limits reached
constexpr uint8_t kMsgCompilation = 4;  // compilation and session-import errors

using TOnDebugMsg = std::function<void(TObject* Sender, const std::string& Message, uint8_t mType)>;

class TSCSIDevice : public TComponent {
 public:
  explicit TSCSIDevice(TComponent* owner);
  ~TSCSIDevice() override;

  // Fires OnDebugMessage(this, Msg, mType) when a handler is set; the text is
  // passed on unchanged (prefixes such as ">>> " belong to the caller).
  void DebugMessage(const std::string& Msg, uint8_t mType);

  // Runs `call` on the user-interface thread through Dispatcher, which the
  // front end installs (the desktop program posts to its window thread; the
  // command line and the tests pump a CallQueue). Without a dispatcher the
  // call runs at once on the calling thread. Never waits for the call.
  void Synchronize(std::function<void()> call);
  std::function<void(std::function<void()>)> Dispatcher;

  // The component's critical section; re-entrant for the thread holding it.
  void Lock() { critical_section_.lock(); }
  void Unlock() { critical_section_.unlock(); }

  TOnDebugMsg OnDebugMessage;
  // One-shot flag of the drive layer's error log line.
  bool ErrorLogDone = false;

 private:
  std::recursive_mutex critical_section_;
};

}  // namespace zamo
