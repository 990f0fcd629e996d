// verify_command.h: `zamo-cli verify` (a session of the disc compared with
// the files it was burned from) and the verification `burn --verify` runs
// once the session is recorded.
#pragma once

#include <string>

#include "cli/drive_commands.h"
#include "cli/drive_session.h"

namespace zamo::cli {

// argv[0] is "verify". Returns the exit status: 0 every file is as on the
// disc, 1 a difference, an unreadable file or a failed job, 2 usage error.
int RunVerify(int argc, char** argv, const DriveOptions& drive);

// Reads back the session the component of `session` just recorded and
// compares it with what was laid out (see TVeskBurner::VerifyRecording),
// with the progress line and Ctrl-C of a burn. Returns 0 or 1 as above.
// With `image_file`, the image file burn-image just recorded is read back
// from sector 0 and compared with it byte for byte.
int VerifyAfterBurn(DriveSession& session, const std::string& image_file = "");

}  // namespace zamo::cli
