// drive_commands.h: the drive subcommands of zamo-cli: the drive list, a
// recorder's capabilities, the disc in it, and the tray.
#pragma once

#include <string>

namespace zamo::cli {

// Where the drives come from and which one to use.
struct DriveOptions {
  std::string emulate;  // --emulate, else ZAMO_EMULATED_DRIVES; empty: real drives
  std::string drive;    // --drive: list index, device node (/dev/sr0, emu1) or H:T:L
  std::string image;    // --image: an image file read as the disc of a read-only drive
  bool verbose = false;
};

// argv[0] is the command name (devices, caps, info, load, eject, ready).
// Returns the exit status: 0 success, 1 the drive reported a failure (or
// there is no drive), 2 usage error.
int RunDriveCommand(int argc, char** argv, const DriveOptions& options);

// Installs the emulated recorder as the loadable back end of the drive layer.
void RegisterEmulator();
// Installs instead one emulated read-only drive holding the image file
// `image` (a CD-ROM, or a DVD-ROM when it is larger than a CD), as
// --emulate cd-rom:IMAGE does, whatever characters the file's name holds.
void RegisterImageReader(const std::string& image);

}  // namespace zamo::cli
