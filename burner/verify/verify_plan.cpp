// verify_plan.cpp: the plans of the two verifications. After a recording
// the component still holds the layout it recorded: every area of the head
// is placed by the layout values, every file by FirstFileLba and its extent.
// Against a session read back, each source file is looked up by its names.
#include "burner/verify/verify_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "burner/import/session_reader.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"
#include "burner/verify/verify_messages.h"

namespace zamo {
namespace {

constexpr int64_t kSystemAreaSectors = 16;

bool IsDirectoryEntry(const TFEntry* e) { return (e->Attr & faDirectory) != 0; }

// "\A\b.txt" from the names below the root; "\" for the root.
std::string DiscPath(const std::vector<std::string>& names) {
  if (names.empty()) return "\\";
  std::string path;
  for (const std::string& name : names) path += "\\" + DisplayUtf8(name);
  return path;
}

// A file's name as the disc shows it: the tree gives a name without a dot
// one at its end (README.), which the disc's Joliet name does not have.
std::string ShownFileName(std::string name) {
  if (name.size() > 1 && name.back() == '.' && name.find('.') == name.size() - 1) name.pop_back();
  return name;
}

// A directory's path by its long names, up its parents.
std::string DirectoryPath(const TVeskBurner& burner, const TDEntry* dir) {
  std::vector<std::string> names;
  for (int depth = 0; dir != nullptr && dir != burner.RootDir && depth < 10000; ++depth) {
    names.push_back(dir->LongName);
    if (dir->Parent == dir) break;
    dir = dir->Parent;
  }
  std::reverse(names.begin(), names.end());
  return DiscPath(names);
}

// Calls `visit(entry, long_names, iso_names)` for every file of the tree
// below the root (the names lead from the root to the file, its own last).
template <typename Visit>
void ForEachFile(const TVeskBurner& burner, Visit visit) {
  struct Level {
    const TDEntry* dir;
    std::vector<std::string> long_names, iso_names;
  };
  std::vector<Level> pending;
  if (burner.RootDir != nullptr) pending.push_back({burner.RootDir, {}, {}});
  std::unordered_set<const TDEntry*> seen;
  while (!pending.empty()) {
    Level level = std::move(pending.back());
    pending.pop_back();
    if (!seen.insert(level.dir).second) continue;
    for (const TFEntry* e = level.dir->FirstChild; e != nullptr; e = e->Next) {
      std::vector<std::string> long_names = level.long_names, iso_names = level.iso_names;
      long_names.push_back(IsDirectoryEntry(e) ? e->LongName : DiscName(*e));
      iso_names.push_back(e->IsoName);
      if (!IsDirectoryEntry(e)) {
        visit(e, long_names, iso_names);
      } else if (e->Dir != nullptr) {
        pending.push_back({e->Dir, std::move(long_names), std::move(iso_names)});
      }
    }
  }
}

VerifyItem FileItem(std::string label, uint32_t lba, int64_t bytes, std::string source) {
  VerifyItem item;
  item.kind = VerifyItem::Kind::kFile;
  item.label = std::move(label);
  item.lba = lba;
  item.bytes = bytes;
  item.sectors = static_cast<uint32_t>(SectorsFor(bytes));
  item.source = std::move(source);
  return item;
}

// An entry of a session on the disc that no source stands for.
VerifyItem DiscOnlyItem(const TFEntry* e, std::string label) {
  VerifyItem item;
  item.kind = e->Damaged ? VerifyItem::Kind::kDamaged : VerifyItem::Kind::kReadOnly;
  item.label = std::move(label);
  item.lba = static_cast<uint32_t>(e->IsoExtent);
  item.bytes = e->IsoSize;
  item.sectors = e->Damaged ? 0 : static_cast<uint32_t>(SectorsFor(e->IsoSize));
  return item;
}

// The areas of the head, as the layout placed them; what they leave
// between them up to the head's end is padding.
void AddHeadAreas(const TVeskBurner& b, const uint8_t* head, int64_t head_end, std::vector<VerifyItem>& items) {
  const int64_t start = b.SessionStart;
  std::vector<std::pair<int64_t, std::string>> areas;  // first sector, label; each runs to the next
  areas.emplace_back(start, msg::kAreaSystem);
  areas.emplace_back(start + kSystemAreaSectors, msg::kAreaDescriptors);
  areas.emplace_back(b.IsoPathTableL, msg::kAreaIsoPathTables);
  if (b.JolietFileSystem) areas.emplace_back(b.JolietPathTableL, msg::kAreaJolietPathTables);
  int64_t end = b.IsoDirBase;
  for (const TDEntry* dir : b.DirEntries()) {
    const int64_t at = int64_t{b.IsoDirBase} + dir->IsoSector;
    areas.emplace_back(at, StrFormat(msg::kAreaIsoDirectory, DirectoryPath(b, dir).c_str()));
    end = std::max(end, at + SectorsFor(dir->IsoSize));
  }
  if (b.JolietFileSystem) {
    for (const TDEntry* dir : b.DirEntries()) {
      const int64_t at = int64_t{b.JolietDirBase} + dir->JolietSector;
      areas.emplace_back(at, StrFormat(msg::kAreaJolietDirectory, DirectoryPath(b, dir).c_str()));
      end = std::max(end, at + SectorsFor(dir->JolietSize));
    }
  }
  if (b.Bootable) {
    areas.emplace_back(b.BootCatalogLba, msg::kAreaBootCatalog);
    end = b.BootCatalogLba + 1;
  }
  if (end < head_end) areas.emplace_back(end, msg::kAreaPadding);
  std::stable_sort(areas.begin(), areas.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (size_t i = 0; i < areas.size(); ++i) {
    const int64_t from = std::max(areas[i].first, start);
    const int64_t to = std::min(i + 1 < areas.size() ? areas[i + 1].first : head_end, head_end);
    if (to <= from) continue;
    VerifyItem item;
    item.kind = VerifyItem::Kind::kArea;
    item.label = areas[i].second;
    item.lba = static_cast<uint32_t>(from);
    item.sectors = static_cast<uint32_t>(to - from);
    item.expected = head + (from - start) * kSectorSize;
    items.push_back(std::move(item));
  }
}

VerifyItem Area(std::string label, int64_t from, int64_t to, const uint8_t* expected) {
  VerifyItem item;
  item.kind = VerifyItem::Kind::kArea;
  item.label = std::move(label);
  item.lba = static_cast<uint32_t>(from);
  item.sectors = static_cast<uint32_t>(std::max<int64_t>(to - from, 0));
  item.expected = expected;
  return item;
}

void SortByLba(std::vector<VerifyItem>& items) {
  std::stable_sort(items.begin(), items.end(), [](const VerifyItem& x, const VerifyItem& y) { return x.lba < y.lba; });
}

}  // namespace

VerifyPlan PlanImageVerify(const std::string& file_name, int64_t bytes) {
  VerifyPlan plan;
  const auto sectors = static_cast<uint32_t>(SectorsFor(bytes));
  plan.title = StrFormat(msg::kVerifyImage, sectors > 0 ? sectors - 1 : 0);
  plan.items.push_back(FileItem(StrFormat(msg::kVerifiedImage, DisplayUtf8(file_name).c_str()), 0, bytes, file_name));
  return plan;
}

bool PlanRecordingVerify(const TVeskBurner& b, bool overwritable, VerifyPlan& plan, std::string& error) {
  plan = VerifyPlan{};
  const int64_t start = b.SessionStart;
  const int64_t head_end = b.Bootable ? b.BootImageLba : b.FirstFileLba;
  const int64_t descriptors_end = b.HeaderCopySize / kSectorSize;  // sectors of HeaderCopy, from the session's start
  if (b.ImageMode || b.RootDir == nullptr || b.SessionSectors <= 0 || start < 0 || head_end <= start ||
      descriptors_end <= kSystemAreaSectors || b.HeaderCopy.size() < static_cast<size_t>(b.HeaderCopySize)) {
    error = msg::kVerifyNothingRecorded;
    return false;
  }
  plan.title = StrFormat(msg::kVerifyRecording, static_cast<unsigned>(start),
                         static_cast<unsigned>(std::max<int64_t>(b.VolumeSpaceSize - 1, start)));
  std::vector<VerifyItem>& items = plan.items;
  const uint8_t* copy = b.HeaderCopy.data();
  // The whole head is in memory when the burn kept it (KeepImageHead: it is
  // then built whole, not generated as the cache takes it).
  if (b.ImageStream.Size() == (head_end - start) * kSectorSize) {
    AddHeadAreas(b, b.ImageStream.Memory().data(), head_end, items);
  } else {
    // The head went once it was sent (or only its first part was ever in
    // memory): the descriptors, which HeaderCopy keeps, are all there is to
    // compare it with.
    plan.notes.emplace_back(msg::kVerifyHeadNotKept);
    items.push_back(Area(msg::kAreaDescriptors, start + kSystemAreaSectors, start + descriptors_end,
                         copy + kSystemAreaSectors * kSectorSize));
  }
  // Readers of an overwritable disc look for the volume at sector 16, where
  // the writer put this session's descriptors too.
  if (overwritable && start > 0) {
    items.push_back(
        Area(msg::kAreaHeadCopy, kSystemAreaSectors, descriptors_end, copy + kSystemAreaSectors * kSectorSize));
  }
  if (b.Bootable) {
    struct stat st {};
    const int64_t size = stat(b.BootImage.c_str(), &st) == 0 ? st.st_size : int64_t{b.BootSectors} * kSectorSize;
    VerifyItem boot = FileItem(StrFormat(msg::kAreaBootImage, DisplayUtf8(b.BootImage).c_str()),
                               static_cast<uint32_t>(b.BootImageLba), size, b.BootImage);
    boot.sectors = static_cast<uint32_t>(b.BootSectors);
    boot.counted_as_area = true;
    boot.boot_info = b.BootInfo;  // the disc holds the table, the source file does not
    items.push_back(std::move(boot));
    const int64_t boot_end = int64_t{b.BootImageLba} + b.BootSectors;
    if (boot_end < b.FirstFileLba) items.push_back(Area(msg::kAreaPadding, boot_end, b.FirstFileLba, nullptr));
  }
  ForEachFile(b, [&](const TFEntry* e, const std::vector<std::string>& names, const std::vector<std::string>&) {
    std::string label = StrFormat(msg::kVerifiedFile, DiscPath(names).c_str());
    if (e->Imported) {
      if (e->Damaged || e->IsoSize > 0) items.push_back(DiscOnlyItem(e, std::move(label)));
      return;
    }
    items.push_back(FileItem(std::move(label), static_cast<uint32_t>(b.FirstFileLba + e->IsoExtent), e->IsoSize,
                             e->SourcePath()));
  });
  SortByLba(items);
  return true;
}

VerifyPlan PlanSessionVerify(const TVeskBurner& b, const std::vector<TVeskBurner::TVerifySource>& sources) {
  VerifyPlan plan;
  plan.title = StrFormat(msg::kVerifySession, b.ImportedSession);
  std::unordered_set<const TFEntry*> matched;
  for (const TVeskBurner::TVerifySource& source : sources) {
    const std::vector<std::string>& names = b.ImportedJoliet ? source.JolietNames : source.IsoNames;
    std::vector<std::string> shown = names;
    if (!shown.empty()) shown.back() = ShownFileName(shown.back());
    std::string label = StrFormat(msg::kVerifiedFile, DiscPath(shown).c_str());
    // The disc's entry of that path: folders down to the file.
    const TDEntry* dir = b.RootDir;
    const TFEntry* found = nullptr;
    for (size_t i = 0; i < names.size() && dir != nullptr; ++i) {
      const TFEntry* e = b.FindChild(dir, names[i]);
      const bool last = i + 1 == names.size();
      if (e == nullptr || IsDirectoryEntry(e) == last) break;
      if (last) found = e;
      dir = e->Dir;
    }
    if (found == nullptr) {
      VerifyItem missing;
      missing.kind = VerifyItem::Kind::kMissing;
      missing.label = std::move(label);
      plan.items.push_back(std::move(missing));
      continue;
    }
    matched.insert(found);
    if (found->Damaged) {
      plan.items.push_back(DiscOnlyItem(found, std::move(label)));
    } else {
      plan.items.push_back(
          FileItem(std::move(label), static_cast<uint32_t>(found->IsoExtent), found->IsoSize, source.SourcePath));
    }
  }
  ForEachFile(b, [&](const TFEntry* e, const std::vector<std::string>& names, const std::vector<std::string>&) {
    if (matched.contains(e) || (!e->Damaged && e->IsoSize == 0)) return;
    plan.items.push_back(DiscOnlyItem(e, StrFormat(msg::kVerifiedFile, DiscPath(names).c_str())));
  });
  SortByLba(plan.items);
  return plan;
}

std::vector<TVeskBurner::TVerifySource> ListVerifySources(const TVeskBurner& burner) {
  std::vector<std::pair<const TFEntry*, TVeskBurner::TVerifySource>> found;
  ForEachFile(burner, [&](const TFEntry* e, const std::vector<std::string>& long_names,
                          const std::vector<std::string>& iso_names) {
    if (e->Imported || !e->HasSource()) return;
    std::vector<std::string> joliet = long_names;
    joliet.back() = e->LongName;  // as the tree holds it (FindChild's form), not as shown
    found.push_back({e, {e->SourcePath(), std::move(joliet), iso_names}});
  });
  // Creation order: the order the files were added in.
  std::unordered_map<const TFEntry*, size_t> position;
  const auto entries = burner.FileEntries();
  for (size_t i = 0; i < entries.size(); ++i) position[entries[i]] = i;
  std::stable_sort(found.begin(), found.end(),
                   [&](const auto& x, const auto& y) { return position[x.first] < position[y.first]; });
  std::vector<TVeskBurner::TVerifySource> sources;
  sources.reserve(found.size());
  for (auto& [entry, source] : found) sources.push_back(std::move(source));
  return sources;
}

}  // namespace zamo
