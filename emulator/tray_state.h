// tray_state.h: the tray of an emulated drive (open or closed, medium removal
// prevented or allowed) and how it is kept between runs.
//
// A real recorder's tray stays open after an eject, and a prevented removal
// lasts, until a later command changes them, whichever program sends it. The
// emulated drive keeps both with its disc, so each zamo-cli process finds the
// tray as the previous one left it:
// - a recordable disc: optional lines of IMAGEFILE.state, "tray open" and
//   "removal prevented" (without them the tray is closed and unlocked);
// - a pressed disc (cd-rom, dvd-rom) is somebody's ISO file and nothing is
//   written beside it: its tray lives in the user's state folder,
//   $XDG_STATE_HOME/zamo/emulated-trays (~/.local/state/... by default), in a
//   file named by a hash of the image's absolute path, present only while the
//   tray is open or locked.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zamo::emu {

struct TTray {
  bool open = false;
  bool removal_prevented = false;
  bool IsDefault() const { return !open && !removal_prevented; }
  friend bool operator==(const TTray&, const TTray&) = default;
};

// The state file lines of `tray`: none for a closed, unlocked tray.
std::string TrayLines(const TTray& tray);

// Takes the tray's lines out of a state file's text and returns the tray they
// describe; null, with a message, for a tray line it cannot read. kKeep
// leaves each one as an empty line, so the disc's parser still names the
// right line numbers; kDrop removes them (before the file is written again).
enum class TLineNumbers { kKeep, kDrop };
std::optional<TTray> TakeTrayLines(std::string* text, TLineNumbers numbers, std::string* error);

// The absolute path of an image with links resolved: every name by which a
// user reaches the same ISO file gives the same tray.
std::string CanonicalImagePath(const std::string& image_path);
// The file keeping the tray of the pressed disc at `canonical_image` (see
// CanonicalImagePath); empty when the user has no state folder (neither
// XDG_STATE_HOME nor HOME names one).
std::string PressedTrayPath(const std::string& canonical_image);

// A pressed disc's tray file names its image (a check against a hash
// collision); a file naming another image, or unreadable, is a default tray.
std::string PressedTrayText(const TTray& tray, const std::string& canonical_image);
TTray ParsePressedTray(std::string_view text, const std::string& canonical_image);

}  // namespace zamo::emu
