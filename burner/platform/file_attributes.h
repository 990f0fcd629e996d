// file_attributes.h: Windows-style file attributes on Linux.
//   10h directory; 2 hidden for names beginning with "."; 1 read-only when the
//   owner cannot write; 20h archive when the file changed since it was last
//   recorded. Clearing the archive attribute stores the file's modification
//   time and size in the extended attribute `user.zamo.archived`; a file whose
//   stored value is missing or differs has the archive attribute again.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "burner/platform/status.h"

namespace zamo {

constexpr int faReadOnly = 0x01;
constexpr int faHidden = 0x02;
constexpr int faSysFile = 0x04;
constexpr int faVolumeID = 0x08;
constexpr int faDirectory = 0x10;
constexpr int faArchive = 0x20;
constexpr int faAnyFile = 0x3F;

inline constexpr const char* kArchivedXattr = "user.zamo.archived";

// Attributes from a name and its stat data, without the archive attribute.
int BasicAttributes(std::string_view name, const struct stat& st);

enum class ArchiveState { kChanged, kArchived, kUnsupported };

// Whether the file at `path` (with stat data `st`) changed since its archive
// attribute was last cleared. kUnsupported when the file system keeps no
// extended attributes: callers treat that as changed.
ArchiveState QueryArchiveState(const std::string& path, const struct stat& st);

// Clears the archive attribute: records the file's current time and size.
// Status::Unsupported when the file system keeps no extended attributes.
Status ClearArchiveAttribute(const std::string& path);

bool IsDirectory(const std::string& path);
bool IsRegularFile(const std::string& path);

}  // namespace zamo
