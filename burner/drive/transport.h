// transport.h: the process-wide choice of back end behind the command gate.
//
// Two back ends can carry the requests: the built-in Linux pass-through
// ("PTASPI32", SG_IO on /dev/srN) and the loadable one, which on this
// platform is the emulated recorder ("ZAMOEMU"). The front end registers the
// loader of the latter (the burning library does not link the emulator).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "burner/drive/srb.h"

namespace zamo::transport {

// Creates the loadable back end from DllPath (for the emulator: its drive
// configuration, empty meaning the environment's ZAMO_EMULATED_DRIVES), or
// returns null when there is none to load.
using TLibraryLoader = std::function<std::unique_ptr<TAspiBackEnd>(const std::string& DllPath)>;
void SetLibraryLoader(TLibraryLoader loader);

// Creates the built-in pass-through back end and scans for drives; null when
// it finds none. Replaceable for tests; an empty factory restores the Linux
// SG_IO back end (linux_sg.h).
using TPassThroughFactory = std::function<std::unique_ptr<TAspiBackEnd>()>;
void SetPassThroughFactory(TPassThroughFactory factory);

// Chooses and starts a back end: the pass-through one first when PreferSpti
// and it finds a drive, else the loadable one, else the pass-through one.
bool AspiInitialize(bool PreferSpti, const std::string& DllPath);
// Lets go of the back end and starts one again with the remembered choice.
void AspiReinitialize();
// Lets go of the back end (closing its handles).
void AspiUnload();

bool Initialized();
std::string TransportName();
// The current back end, or null. Valid until the next (re)initialisation.
TAspiBackEnd* BackEnd();
// Installs a back end directly (tests), as if initialisation had chosen it.
void Install(std::unique_ptr<TAspiBackEnd> back_end);

// While true the pass-through back end closes a drive's handle after every
// command; while false handles stay open between commands.
extern std::atomic<bool> ReleaseHandles;

}  // namespace zamo::transport
