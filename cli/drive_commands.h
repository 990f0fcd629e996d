// drive_commands.h: the drive subcommands of zamo-cli: the drive list, a
// recorder's capabilities, the disc in it, and the tray.
#pragma once

#include <string>

namespace zamo::cli {

// Where the drives come from and which one to use.
struct DriveOptions {
  std::string emulate;  // --emulate, else ZAMO_EMULATED_DRIVES; empty: real drives
  std::string drive;    // --drive: list index, device node (/dev/sr0, emu1) or H:T:L
  bool verbose = false;
};

// argv[0] is the command name (devices, caps, info, load, eject, ready).
// Returns the exit status: 0 success, 1 the drive reported a failure (or
// there is no drive), 2 usage error.
int RunDriveCommand(int argc, char** argv, const DriveOptions& options);

// Installs the emulated recorder as the loadable back end of the drive layer.
void RegisterEmulator();

}  // namespace zamo::cli
