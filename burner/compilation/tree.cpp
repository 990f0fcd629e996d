// tree.cpp: filling the compilation tree from files and folders on disk.
#include <algorithm>
#include <vector>

#include "burner/compilation/names.h"
#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr char kDiscDelim = '\\';
// Path-table records number a parent in 16 bits.
constexpr int kMaxPathTableDirs = 65535;

bool IsDirectoryEntry(const TFEntry* e) { return (e->Attr & faDirectory) != 0; }

// Puts `entry` in slot `at` of a table that grows with the tree (`at` is at
// most its size): a large capacity costs nothing until it is used.
template <class T>
void PlaceSlot(std::vector<T*>& slots, int at, T* entry) {
  if (static_cast<size_t>(at) < slots.size()) {
    slots[static_cast<size_t>(at)] = entry;
  } else {
    slots.push_back(entry);
  }
}

// A name as one component of a disc path. A Linux name may hold a backslash,
// the separator of disc paths; inside a path it is written "/", which no name
// holds, so that a folder named we\ird stays one folder, apart from we\ird
// the path.
std::string PathComponent(std::string_view name) {
  std::string component(name);
  std::replace(component.begin(), component.end(), kDiscDelim, '/');
  return component;
}

}  // namespace

bool TVeskBurner::ClearCompilation(int max_files, int max_dirs) {
  GmtOffset = StandardGmtOffsetQuarters();
  offset_by_hour_.clear();
  ImageStream.Clear();
  dir_pool_.Clear();
  file_pool_.Clear();
  std::deque<std::string>().swap(source_folders_);
  index_.Clear();
  last_child_.clear();
  dead_dirs_.clear();
  dead_files_.clear();
  max_files_ = std::max(0, max_files);
  max_dirs_ = std::clamp(max_dirs, 1, kMaxPathTableDirs);  // the root needs a slot
  // The entry tables and the lookup tables grow with the tree: a capacity
  // of 100,000,000 entries costs nothing until it is used.
  std::vector<TFEntry*>().swap(file_entries_);
  std::vector<TDEntry*>().swap(dir_entries_);
  std::vector<TDEntry*>().swap(iso_dir_order_);
  std::vector<TDEntry*>().swap(joliet_dir_order_);
  CompilationBytes = 0;
  file_count_ = 0;
  dir_count_ = 0;
  NewDirEntry(RootDir);
  RootDir->FirstChild = nullptr;
  RootDir->Path = "\\";
  RootDir->IsoName = "CD_ROOT";
  RootDir->LongName = "CD Root Directory";
  RootDir->Parent = RootDir;
  return true;
}

bool TVeskBurner::ResetCompilation() { return ClearCompilation(kDefaultMaxFiles, kDefaultMaxDirs); }

void TVeskBurner::NewDirEntry(TDEntry*& out) {
  if (dir_count_ >= max_dirs_) {
    DebugMessage(">>> " + StrFormat(msg::kMaxDirectories, max_dirs_), kMsgLimit);
    out = nullptr;
    return;
  }
  out = dir_pool_.New();
  PlaceSlot(dir_entries_, dir_count_, out);
  PlaceSlot(iso_dir_order_, dir_count_, out);
  PlaceSlot(joliet_dir_order_, dir_count_, out);
  ++dir_count_;
}

void TVeskBurner::NewFileEntry(TFEntry*& out) {
  if (file_count_ >= max_files_) {
    DebugMessage(StrFormat(msg::kMaxFiles, max_files_), kMsgLimit);
    out = nullptr;
    return;
  }
  out = file_pool_.New();
  PlaceSlot(file_entries_, file_count_++, out);
}

TDEntry* TVeskBurner::FindDir(const std::string& path) const {
  if (path.empty() || path == "\\") return RootDir;
  std::string key = AsciiUpper(path);
  if (key.back() == kDiscDelim) key.pop_back();
  return index_.FindDir(key);
}

TFEntry* TVeskBurner::FindChild(const TDEntry* dir, const std::string& long_name) const {
  return dir == nullptr ? nullptr : index_.FindChild(dir, long_name);
}

void TVeskBurner::AppendChild(TDEntry* dir, TFEntry* entry, const ChildKey* key) {
  entry->Next = nullptr;
  auto [it, first] = last_child_.try_emplace(dir, entry);
  if (first || dir->FirstChild == nullptr) {
    dir->FirstChild = entry;
  } else {
    it->second->Next = entry;
  }
  it->second = entry;
  if (key != nullptr) {
    index_.AddChild(dir, entry, *key);
  } else {
    index_.AddChild(dir, entry);
  }
}

std::string TVeskBurner::BuildDirPath(const TDEntry* dir) const {
  std::vector<const std::string*> names;
  for (const TDEntry* d = dir; d != RootDir && d != nullptr; d = d->Parent) names.push_back(&d->LongName);
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    path.push_back(kDiscDelim);
    path += AsciiUpper(PathComponent(**it));
  }
  return path.empty() ? "\\" : path;
}

void TVeskBurner::SetEntrySource(TFEntry* entry, const std::string& full_path) {
  if (full_path.empty()) {
    entry->SourceFolder = nullptr;
    entry->SourceKind = TSourceName::kNone;
    return;
  }
  const size_t name_at = full_path.rfind('/') + 1;  // 0 for a name alone
  const std::string_view name = std::string_view(full_path).substr(name_at);
  const std::string& long_name = entry->LongName;
  std::string_view folder(full_path.data(), name_at);
  if (long_name == name) {
    entry->SourceKind = TSourceName::kLongName;
  } else if (long_name.size() == name.size() + 1 && long_name.back() == '.' && long_name.starts_with(name)) {
    entry->SourceKind = TSourceName::kLongNameDot;
  } else {
    entry->SourceKind = TSourceName::kWholePath;
    folder = full_path;
  }
  // A walk adds the files of a folder one after the other: one copy of its path serves them all.
  if (source_folders_.empty() || source_folders_.back() != folder) source_folders_.emplace_back(folder);
  entry->SourceFolder = &source_folders_.back();
}

TDateTime TVeskBurner::SearchRecDate(const TSearchRec& rec) const {
  TDateTime value = 0;
  if (DateTimeFromUnix(rec.ModifiedSeconds, rec.ModifiedNanoseconds, value)) return value;
  return Clock();
}

bool TVeskBurner::DirLongNameFits(const std::string& long_name, const std::string& where) {
  if (Utf16Length(long_name) <= kMaxDirLongName) return true;
  DebugMessage(">>> " + StrFormat(msg::kFolderNameTooLong, static_cast<int>(kMaxDirLongName), where.c_str()),
               kMsgCompilation);
  return false;
}

TDEntry* TVeskBurner::AddDir(TDEntry* parent, const TSearchRec& rec) {
  if (parent == nullptr) return nullptr;
  std::string path = parent->Path + kDiscDelim + PathComponent(rec.Name);
  if (path.starts_with("\\\\")) path.erase(0, 1);
  if (TDEntry* existing = FindDir(path)) return existing;
  if (!DirLongNameFits(rec.Name, DisplayUtf8(path))) return nullptr;
  // Both capacities are checked before anything is registered: no half-made directory.
  TDEntry* dir = nullptr;
  TFEntry* entry = nullptr;
  if (dir_count_ >= max_dirs_) {
    NewDirEntry(dir);  // reports the limit
    return nullptr;
  }
  if (file_count_ >= max_files_) {
    NewFileEntry(entry);  // reports the limit
    return nullptr;
  }
  NewDirEntry(dir);
  NewFileEntry(entry);
  const std::string iso_name = rec.cAlternateFileName.empty() ? AsciiUpper(rec.Name) : rec.cAlternateFileName;
  dir->IsoName = entry->IsoName = iso_name;
  dir->LongName = entry->LongName = rec.Name;
  dir->Parent = parent;
  dir->FirstChild = nullptr;
  entry->Attr = rec.Attr;
  entry->IsoSize = entry->JolietSize = 0;
  entry->Dir = dir;
  entry->DateTime = SearchRecDate(rec);
  AppendChild(parent, entry);
  dir->Path = BuildDirPath(dir);
  index_.AddDir(dir);
  return dir;
}

TDEntry* TVeskBurner::AddDirByName(TDEntry* parent, const std::string& name, int attr) {
  std::string clean = name;
  if (clean.starts_with(kDiscDelim)) clean.erase(0, 1);
  if (clean.ends_with(kDiscDelim)) clean.pop_back();
  std::replace(clean.begin(), clean.end(), '/', kDiscDelim);  // a path component back to its name
  TSearchRec rec;
  rec.Name = clean;
  rec.Attr = attr;
  time_t now = 0;
  if (DateTimeToUnix(Clock(), now)) rec.ModifiedSeconds = now;
  rec.cAlternateFileName = MakeShortDirName(clean);
  return AddDir(parent, rec);
}

TDEntry* TVeskBurner::ForceDirs(const std::string& path) {
  if (TDEntry* found = FindDir(path)) return found;
  const size_t at = path.rfind(kDiscDelim);
  const std::string before = at == std::string::npos ? "" : path.substr(0, at);
  const std::string after = at == std::string::npos ? path : path.substr(at + 1);
  TDEntry* parent = FindDir(before);
  if (parent == nullptr) {
    ForceDirs(before);
    parent = FindDir(before);
  }
  if (parent == nullptr || after.empty()) return nullptr;
  return AddDirByName(parent, after, faDirectory);
}

int TVeskBurner::AddFileEntry(TDEntry* dest, const TSearchRec& rec, bool clear_archive, int32_t imported_sector,
                              const std::string& full_path) {
  if (dest == nullptr) return 0;
  // The path as shown in a log line, built only when one is written.
  auto shown_path = [&] { return DisplayUtf8(full_path.empty() ? rec.Name : full_path); };
  if ((rec.Attr & faDirectory) != 0) {
    DebugMessage(">>> " + StrFormat(msg::kNotAFile, shown_path().c_str()), kMsgCompilation);
    return 0;
  }
  // A file that cannot be read would fail the writing job later: it is left
  // out now, with a line that names it.
  if (!rec.Readable && imported_sector == 0 && !full_path.empty()) {
    DebugMessage(">>> " + StrFormat(msg::kUnreadableFile, shown_path().c_str()), kMsgCompilation);
    return 0;
  }
  if (rec.Size > kMaxFileSize) {
    DebugMessage(">>> " + StrFormat(msg::kFileTooLarge, static_cast<long long>(kMaxFileSize), shown_path().c_str()),
                 kMsgCompilation);
    return 0;
  }
  std::string name = rec.Name;
  if (name.find('.') == std::string::npos) name.push_back('.');
  const ChildKey key = TreeIndex::MakeChildKey(dest, name);
  TFEntry* existing = index_.FindChild(dest, key);
  std::string short_name = rec.cAlternateFileName.empty() ? AsciiUpper(name) : rec.cAlternateFileName;
  std::string long_name = name;
  TDateTime date = SearchRecDate(rec);
  const bool replacing = existing != nullptr && ReplaceFile;
  const size_t joliet_length = JolietFileNameLength(long_name);
  bool skip = joliet_length > kMaxFileLongName;
  if (OnAddFile) OnAddFile(this, full_path, long_name, short_name, date, rec.Attr, rec.Size, skip);
  if (skip || long_name.empty() || short_name.empty()) return 0;
  // An ISO 9660 file identifier holds a "." (ECMA-119 7.5.1): an 8.3 name
  // such as PROFIL~1 (of .profile) is written PROFIL~1.;1, like README.;1.
  std::string iso_name = AsciiUpper(short_name);
  if (iso_name.find('.') == std::string::npos) iso_name.push_back('.');
  // A handler may clear Skip, but a record longer than 255 bytes cannot be written.
  const bool renamed = long_name != name;
  if ((renamed ? JolietFileNameLength(long_name) : joliet_length) > kMaxFileLongName ||
      CodePointCount(iso_name) + 2 > kMaxIsoIdentifier) {
    DebugMessage(">>> " + StrFormat(msg::kFileNameTooLong, static_cast<int>(kMaxFileLongName), shown_path().c_str()),
                 kMsgCompilation);
    return 0;
  }

  TFEntry* entry = nullptr;
  if (replacing) {
    if (IsDirectoryEntry(existing)) {  // refilling it would orphan the subdirectory
      DebugMessage(">>> " + StrFormat(msg::kReplaceFolderRefused, DisplayUtf8(existing->LongName).c_str(),
                                      shown_path().c_str()),
                   kMsgCompilation);
      return 0;
    }
    entry = existing;
  } else if (existing != nullptr) {
    // The same source added twice is left out silently; another file that
    // would carry the same name on the disc is named in the log.
    if (full_path.empty() || existing->SourcePath() != full_path)
      DebugMessage(">>> " + StrFormat(msg::kSameNameExists, shown_path().c_str()), kMsgCompilation);
    return 0;
  } else {
    NewFileEntry(entry);
    if (entry == nullptr) return 0;
  }
  const std::string old_long_name = entry->LongName;
  // The replaced entry's bytes leave the running total (an imported entry's were never in it).
  if (replacing && !entry->Imported) CompilationBytes -= SectorsFor(entry->IsoSize) * kSectorSize;
  entry->IsoName = iso_name;
  entry->LongName = long_name;
  entry->JolietSize = entry->IsoSize = rec.Size;
  entry->Attr = rec.Attr;
  entry->DateTime = date;
  SetEntrySource(entry, full_path);
  entry->ClearArchive = clear_archive;
  if (replacing) {
    if (old_long_name != long_name) index_.RenameChild(dest, entry, old_long_name);
  } else {
    AppendChild(dest, entry, renamed ? nullptr : &key);
  }
  if (imported_sector != 0) {
    entry->IsoExtent = entry->JolietExtent = imported_sector;
    entry->Imported = true;
  } else {
    CompilationBytes += SectorsFor(rec.Size) * kSectorSize;
    entry->Imported = false;
  }
  return 1;
}

}  // namespace zamo
