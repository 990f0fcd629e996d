// state_file.h: the small text files an emulated drive keeps beside its disc
// (the disc's layout, the tray), read and replaced so that a process reading
// one while another replaces it sees either the old or the new version whole.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zamo::emu {

// One version of a file: a replacement (a new inode renamed over the old one)
// or a rewrite gives another stamp, so comparing stamps tells whether a file
// must be read again without reading it.
struct TFileStamp {
  bool exists = false;
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = 0;
  int64_t modified_ns = 0;
  friend bool operator==(const TFileStamp&, const TFileStamp&) = default;
};

TFileStamp StampOf(const std::string& path);

// The whole file; null when it cannot be opened (missing, unreadable).
std::optional<std::string> ReadWholeFile(const std::string& path);

// The words of a line of a state file (separated by spaces, tabs, a CR).
std::vector<std::string_view> Words(std::string_view line);

// Writes `text` to a new file beside `path`, then renames it over `path`: a
// reader never sees a half-written file, and two writers never share a
// temporary file. `stamp`, when given, receives the new version's stamp.
bool ReplaceFile(const std::string& path, std::string_view text, mode_t mode, TFileStamp* stamp, std::string* error);

// Makes the folders leading to `path` that are missing, readable by their
// owner only (a user's state folder).
bool MakeParentFolders(const std::string& path, std::string* error);

// Removes `path` (a missing file is fine).
bool RemoveFile(const std::string& path, std::string* error);

}  // namespace zamo::emu
