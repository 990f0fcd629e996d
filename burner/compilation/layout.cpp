// layout.cpp: the layout proper. Gives every descriptor, path table,
// directory extent, the boot catalog and image, and every file its sector,
// from the session start and the tree as the disc step (or an image file's
// sector 0) left them; no command goes to a drive. Directory sizes come from
// a dry run of the record rule, so each directory is later written once,
// straight into its place.
#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "burner/compilation/dir_record.h"
#include "burner/compilation/names.h"
#include "burner/compilation/path_table.h"
#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr int64_t kFirstDataSector = 150;
constexpr int kSystemAreaSectors = 16;

bool IsDirectoryEntry(const TFEntry* e) { return (e->Attr & faDirectory) != 0; }

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

// Length of a child's records, by the same rule the writer follows: one
// record, or one per extent of a file in several, all of one length.
size_t ChildRecordsLength(const TFEntry& child, bool joliet) {
  const size_t one = DirectoryRecordLength(joliet ? JolietIdentifierLength(child) : IsoIdentifierLength(child));
  if (IsDirectoryEntry(&child)) return one;
  return one * static_cast<size_t>(ExtentCount(joliet ? child.JolietSize : child.IsoSize));
}

int64_t BootImageBytes(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return st.st_size;
}

}  // namespace

int64_t TVeskBurner::CheckBootImage() {
  // A missing or empty boot image switches booting off, and the log says
  // so: every job (image file or disc) then goes on without a boot record.
  const int64_t boot_bytes = BootImageBytes(BootImage);
  if (boot_bytes == 0) {
    if (Bootable) DebugMessage(">>> " + StrFormat(msg::kBootImageMissing, DisplayUtf8(BootImage).c_str()), kMsgCompilation);
    Bootable = false;
  }
  return boot_bytes;
}

int TVeskBurner::LayoutCompilation() {
  const int64_t boot_bytes = CheckBootImage();
  DoDebug = false;
  MakeIsoNamesUnique();
  OrderDirectories();

  int64_t cur = SessionStart + kSystemAreaSectors;  // the primary descriptor
  if (Bootable) ++cur;                             // the boot record
  if (JolietFileSystem) ++cur;                     // the Joliet descriptor
  ++cur;                                           // the terminator

  IsoPathTableL = static_cast<int32_t>(++cur);
  const int iso_table_bytes = ComputeIsoPathTableSize();
  cur += iso_table_bytes / kSectorSize;
  IsoPathTableM = static_cast<int32_t>(cur);
  cur += iso_table_bytes / kSectorSize;
  if (JolietFileSystem) {
    JolietPathTableL = static_cast<int32_t>(cur);
    const int joliet_table_bytes = ComputeJolietPathTableSize();
    cur += joliet_table_bytes / kSectorSize;
    JolietPathTableM = static_cast<int32_t>(cur);
    cur += joliet_table_bytes / kSectorSize;
  }

  IsoDirBase = static_cast<int32_t>(cur);
  IsoDirBytes = LayoutIsoDirs();
  cur += SectorsFor(IsoDirBytes);
  if (JolietFileSystem) {
    JolietDirBase = static_cast<int32_t>(cur);
    JolietDirBytes = LayoutJolietDirs();
    cur += SectorsFor(JolietDirBytes);
  }

  if (Bootable) {
    BootCatalogLba = static_cast<int32_t>(cur++);
    BootImageLba = static_cast<int32_t>(cur);
    BootSectors = static_cast<int32_t>(SectorsFor(boot_bytes));
    cur += BootSectors;
  }

  PadSectors = kFirstDataSector - cur;
  if (cur < kFirstDataSector) {
    FirstFileLba = static_cast<int32_t>(kFirstDataSector);
    cur = kFirstDataSector;
  } else {
    FirstFileLba = static_cast<int32_t>(cur);
  }
  PadAfterBoot = Bootable && PadSectors > 0 ? PadSectors : 0;

  AssignFileExtents();
  VolumeSpaceSize = cur + FileSectors;
  SessionSectors = VolumeSpaceSize - SessionStart;
  return 1;
}

void TVeskBurner::MakeIsoNamesUnique() {
  std::unordered_set<std::string> used;
  std::unordered_set<std::string> all;
  for (TDEntry* dir : DirEntries()) {
    used.clear();
    bool duplicates = false;
    for (const TFEntry* e = dir->FirstChild; e != nullptr && !duplicates; e = e->Next) {
      if (!IsDotName(e->IsoName)) duplicates = !used.insert(IsoIdentifier(*e)).second;
    }
    if (!duplicates) continue;
    // Names that must not be taken: every identifier of the directory.
    all = used;
    for (const TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) {
      if (!IsDotName(e->IsoName)) all.insert(IsoIdentifier(*e));
    }
    used.clear();
    for (TFEntry* e = dir->FirstChild; e != nullptr; e = e->Next) {
      if (IsDotName(e->IsoName) || used.insert(IsoIdentifier(*e)).second) continue;
      const size_t dot = e->IsoName.rfind('.');
      const std::string base = e->IsoName.substr(0, dot);
      const std::string extension = dot == std::string::npos ? "" : e->IsoName.substr(dot);
      for (unsigned n = 1;; ++n) {
        const std::string tail = "~" + std::to_string(n);
        const size_t room = std::max<size_t>(8, base.size());
        const size_t keep = std::min(base.size(), room > tail.size() ? room - tail.size() : 0);
        e->IsoName = base.substr(0, std::max<size_t>(keep, 1)) + tail + extension;
        const std::string id = IsoIdentifier(*e);
        if (!all.contains(id)) {
          all.insert(id);
          used.insert(id);
          break;
        }
      }
      if (IsDirectoryEntry(e) && e->Dir != nullptr) e->Dir->IsoName = e->IsoName;
    }
  }
}

void TVeskBurner::OrderDirectories() {
  // Breadth first, grouped by parent in the order the parents get their
  // numbers, siblings by ISO 9660 identifier compared as unsigned bytes (a
  // prefix first); siblings with equal identifiers keep their creation order.
  std::unordered_map<const TDEntry*, std::vector<TDEntry*>> children;
  children.reserve(static_cast<size_t>(dir_count_));
  for (TDEntry* dir : DirEntries().subspan(1)) children[dir->Parent].push_back(dir);

  std::vector<TDEntry*> order;
  order.reserve(static_cast<size_t>(dir_count_));
  order.push_back(RootDir);
  std::vector<std::pair<std::string, TDEntry*>> group;
  for (size_t i = 0; i < order.size(); ++i) {
    auto it = children.find(order[i]);
    if (it == children.end()) continue;
    group.clear();
    for (TDEntry* child : it->second) group.emplace_back(ToCp1252(child->IsoName), child);
    std::stable_sort(group.begin(), group.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [key, child] : group) order.push_back(child);
  }
  // A directory cut off from the root would be lost from the tables: keep it last.
  if (order.size() < static_cast<size_t>(dir_count_)) {
    std::unordered_map<const TDEntry*, bool> placed;
    for (const TDEntry* d : order) placed[d] = true;
    for (TDEntry* d : DirEntries()) {
      if (!placed.contains(d)) order.push_back(d);
    }
  }
  for (size_t k = 0; k < order.size(); ++k) {
    iso_dir_order_[k] = order[k];
    joliet_dir_order_[k] = order[k];
    order[k]->Number = static_cast<int32_t>(k + 1);
  }
}

int TVeskBurner::DirSize(const TDEntry* dir, bool joliet) const {
  int64_t used = 0;
  int64_t free = kSectorSize;
  const TFEntry* first = dir->FirstChild;
  if (first == nullptr || !IsDotEntry(*first, joliet)) {
    used = 2 * DirectoryRecordLength(1);
    free = kSectorSize - used;
  }
  for (const TFEntry* child = first; child != nullptr; child = child->Next) {
    const auto length = static_cast<int64_t>(ChildRecordsLength(*child, joliet));
    if (length > free) {  // records never cross a sector boundary, nor do a file's records part
      used += free + length;
      free = kSectorSize - length;
    } else {
      used += length;
      free -= length;
    }
  }
  return static_cast<int>(used + free);
}

int TVeskBurner::IsoDirSize(const TDEntry* dir) const { return DirSize(dir, false); }
int TVeskBurner::JolietDirSize(const TDEntry* dir) const { return DirSize(dir, true); }

int TVeskBurner::LayoutIsoDirs() {
  int64_t sector = 0;
  for (TDEntry* dir : DirEntries()) {
    dir->IsoSector = static_cast<int32_t>(sector);
    dir->IsoSize = IsoDirSize(dir);
    sector += dir->IsoSize / kSectorSize;
  }
  return static_cast<int>(sector * kSectorSize);
}

int TVeskBurner::LayoutJolietDirs() {
  int64_t sector = 0;
  for (TDEntry* dir : DirEntries()) {
    dir->JolietSector = static_cast<int32_t>(sector);
    dir->JolietSize = JolietDirSize(dir);
    sector += dir->JolietSize / kSectorSize;
  }
  return static_cast<int>(sector * kSectorSize);
}

int TVeskBurner::ComputeIsoPathTableSize() {
  int64_t bytes = PathTableRecordLength(1);  // the root
  for (const TDEntry* dir : IsoDirOrder().subspan(1)) bytes += PathTableRecordLength(ToCp1252(dir->IsoName).size());
  IsoPathTableSize = static_cast<int32_t>(bytes);
  return static_cast<int>(SectorsFor(bytes) * kSectorSize);
}

int TVeskBurner::ComputeJolietPathTableSize() {
  int64_t bytes = PathTableRecordLength(1);
  for (const TDEntry* dir : JolietDirOrder().subspan(1)) bytes += PathTableRecordLength(2 * Utf16Length(dir->LongName));
  JolietPathTableSize = static_cast<int32_t>(bytes);
  return static_cast<int>(SectorsFor(bytes) * kSectorSize);
}

void TVeskBurner::AssignFileExtents() {
  FileSectors = 0;
  for (TFEntry* entry : FileEntries()) {
    if (entry->Imported) continue;
    if (IsDirectoryEntry(entry)) {
      if (entry->Dir == nullptr) continue;
      entry->IsoExtent = entry->Dir->IsoSector;
      entry->JolietExtent = entry->Dir->JolietSector;
      entry->IsoSize = entry->Dir->IsoSize;
      entry->JolietSize = entry->Dir->JolietSize;
    } else if (entry->IsoSize != 0) {
      entry->JolietSize = entry->IsoSize;
      entry->IsoExtent = entry->JolietExtent = static_cast<int32_t>(FileSectors);
      FileSectors += SectorsFor(entry->IsoSize);
    } else {
      entry->JolietSize = 0;
      entry->IsoExtent = entry->JolietExtent = 0;
    }
  }
}

}  // namespace zamo
