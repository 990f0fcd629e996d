// entries.h: the records of the compilation tree.
//
// A directory is a TDEntry; its contents are a singly linked list of TFEntry
// records in insertion order (FirstChild, Next). A subdirectory exists twice:
// as its own TDEntry and as a TFEntry with the directory attribute in its
// parent's list, whose Dir points to it. The root has no TFEntry and is its
// own parent. The component owns every record; links stay valid until the
// record is deleted or the compilation cleared. The records are kept small
// (a compilation may hold 600,000 of them): a file's source path is rebuilt
// from its folder's and its name rather than stored whole.
#pragma once

#include <cstdint>
#include <string>

#include "burner/platform/date_time.h"

namespace zamo {

struct TFEntry;

constexpr uint32_t kSectorSize = 2048;

struct TDEntry {
  std::string IsoName;   // ISO 9660 identifier; the root's is "CD_ROOT"
  std::string LongName;  // Joliet identifier; the root's is "CD Root Directory"
  int64_t IsoSize = 0;   // bytes of the ISO 9660 extent, a multiple of 2048
  int64_t JolietSize = 0;
  std::string Path;          // upper-cased path from the long names, such as \A\B; the root's is "\"
  int32_t IsoSector = 0;     // first sector of the ISO 9660 extent, relative to IsoDirBase
  int32_t JolietSector = 0;  // relative to JolietDirBase
  int32_t Number = 0;        // 1-based position in path-table order
  TDEntry* Parent = nullptr;
  TFEntry* FirstChild = nullptr;
};

// Where a file's bytes come from. A folder walk adds the files of a folder
// one after the other: they share one copy of the folder's path, and each
// file's path is that folder followed by its own name, which is nearly always
// its long name. Only a file whose long name differs from its source name
// (renamed by OnAddFile) keeps its whole path.
enum class TSourceName : uint8_t {
  kNone,           // no source file (an imported file)
  kLongName,       // *SourceFolder + LongName
  kLongNameDot,    // *SourceFolder + LongName without its last ".", added to a name that had none
  kWholePath,      // *SourceFolder alone is the whole path
};

struct TFEntry {
  std::string IsoName;   // ISO 9660 identifier without ";1"
  std::string LongName;  // Joliet identifier without ";1"; with a kLongName source, part of the source path
  // The source file's folder, with its final "/" (or its whole path: see
  // SourceKind); the string belongs to the component (or whoever made the
  // entry) and lives as long as the entry. Null without a source file.
  const std::string* SourceFolder = nullptr;
  TDateTime DateTime = 0;  // recording date, local time
  int64_t IsoSize = 0;
  int64_t JolietSize = 0;
  int32_t IsoExtent = 0;  // files: relative to FirstFileLba (absolute when Imported); dirs: IsoSector
  int32_t JolietExtent = 0;
  int32_t Attr = 0;        // faDirectory marks a directory entry; faHidden and faArchive are used too
  bool Imported = false;   // data already on the disc; IsoExtent is absolute
  bool Damaged = false;    // imported, but its data runs past what the disc holds recorded
  bool ClearArchive = false;
  TSourceName SourceKind = TSourceName::kNone;
  TDEntry* Dir = nullptr;  // the directory a directory entry stands for
  TFEntry* Next = nullptr;

  bool HasSource() const { return SourceKind != TSourceName::kNone && SourceFolder != nullptr; }
  // The source file's full path (its bytes as the system gave them); "" without one.
  std::string SourcePath() const {
    std::string path;
    AppendSourcePath(path);
    return path;
  }
  void AppendSourcePath(std::string& out) const {
    if (!HasSource()) return;
    out += *SourceFolder;
    if (SourceKind == TSourceName::kLongName) out += LongName;
    if (SourceKind == TSourceName::kLongNameDot) out.append(LongName, 0, LongName.empty() ? 0 : LongName.size() - 1);
  }
};

// ceil(bytes / 2048); 0 for 0.
constexpr int64_t SectorsFor(int64_t bytes) { return bytes <= 0 ? 0 : (bytes + kSectorSize - 1) / kSectorSize; }

}  // namespace zamo
