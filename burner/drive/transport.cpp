// transport.cpp: the process-wide back end behind the command gate, chosen
// once per initialisation: the built-in pass-through first when asked for and
// it finds a drive, else the loadable back end, else the pass-through.
#include "burner/drive/transport.h"

#include <mutex>
#include <utility>

#include "burner/drive/linux_sg.h"

namespace zamo::transport {

std::atomic<bool> ReleaseHandles{true};

namespace {

struct TransportState {
  std::mutex mutex;  // guards everything below except `current`
  std::unique_ptr<TAspiBackEnd> back_end;
  std::atomic<TAspiBackEnd*> current{nullptr};
  std::atomic<bool> initialized{false};
  std::string name;
  bool prefer_spti = true;
  std::string dll_path;
  TLibraryLoader library_loader;
  TPassThroughFactory pass_through_factory;
};

TransportState& State() {
  static TransportState state;
  return state;
}

// The built-in back end over the kernel's SG_IO on /dev/srN; null when no
// drive answers.
std::unique_ptr<TAspiBackEnd> LinuxPassThrough() {
  auto back_end = std::make_unique<TLinuxSgBackEnd>();
  if (back_end->Scan() == 0) return nullptr;
  return back_end;
}

// A factory or loader that throws counts as finding nothing.
template <typename Make>
std::unique_ptr<TAspiBackEnd> TryMake(Make&& make) {
  try {
    return make();
  } catch (...) {
    return nullptr;
  }
}

void ReleaseLocked(TransportState& s) {
  s.current = nullptr;
  s.initialized = false;
  s.name.clear();
  if (s.back_end) {
    try {
      s.back_end->Finalize();
    } catch (...) {
    }
    s.back_end.reset();
  }
}

void InstallLocked(TransportState& s, std::unique_ptr<TAspiBackEnd> back_end) {
  ReleaseLocked(s);
  if (!back_end) return;
  s.name = back_end->TransportName();
  s.back_end = std::move(back_end);
  s.current = s.back_end.get();
  s.initialized = true;
}

bool InitializeLocked(TransportState& s, bool PreferSpti, const std::string& DllPath) {
  // A running back end is let go first, as a re-initialisation does.
  ReleaseLocked(s);
  const TPassThroughFactory pass_through =
      s.pass_through_factory ? s.pass_through_factory : TPassThroughFactory(LinuxPassThrough);

  std::unique_ptr<TAspiBackEnd> chosen;
  // The drive scan runs at most once per initialisation: after an empty scan
  // in the first step, the last step finds nothing either.
  bool scanned = false;
  if (PreferSpti) {
    scanned = true;
    chosen = TryMake(pass_through);
  }
  if (!chosen && s.library_loader) {
    chosen = TryMake([&] { return s.library_loader(DllPath); });
  }
  if (!chosen && !scanned) chosen = TryMake(pass_through);

  if (chosen) {
    try {
      chosen->GetASPI32SupportInfo();  // asked once; the answer is not needed
      InstallLocked(s, std::move(chosen));
    } catch (...) {
      ReleaseLocked(s);
    }
  }
  s.prefer_spti = PreferSpti;
  s.dll_path = DllPath;
  return s.initialized;
}

}  // namespace

void SetLibraryLoader(TLibraryLoader loader) {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.library_loader = std::move(loader);
}

void SetPassThroughFactory(TPassThroughFactory factory) {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pass_through_factory = std::move(factory);  // empty: the Linux SG_IO back end
}

bool AspiInitialize(bool PreferSpti, const std::string& DllPath) {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return InitializeLocked(s, PreferSpti, DllPath);
}

void AspiReinitialize() {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  // The loadable back end is started again from the same configuration it
  // was first loaded from, so a re-initialisation finds the same drives.
  const std::string dll_path = s.dll_path;
  InitializeLocked(s, s.prefer_spti, dll_path);
}

void AspiUnload() {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  ReleaseLocked(s);
}

bool Initialized() { return State().initialized; }

std::string TransportName() {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.name;
}

TAspiBackEnd* BackEnd() { return State().current; }

void Install(std::unique_ptr<TAspiBackEnd> back_end) {
  TransportState& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  InstallLocked(s, std::move(back_end));
}

}  // namespace zamo::transport
