// add_folder.cpp: adding files and whole folders from disk, with the source
// path re-created on the disc when asked (KeepPath).
#include <sys/stat.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "burner/compilation/names.h"
#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/system_error.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr char kDiscDelim = '\\';
constexpr char kSourceDelim = '/';

std::string LastPathPart(const std::string& path) {
  if (path.size() < 2) return path;
  const size_t at = path.rfind(kDiscDelim, path.size() - 2);
  return at == std::string::npos ? path : path.substr(at);
}

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

// FolderSize's walk. `walking` holds the device and inode of the folders the
// walk is inside: a symbolic link back up to one of them is not followed
// (it would count its files again, and two such links would never end), as
// AddFolderTo does not follow it.
int64_t SizeBelow(const std::string& path, std::vector<std::pair<uint64_t, uint64_t>>& walking) {
  const bool folder = path.ends_with(kSourceDelim);
  const std::vector<TSearchRec> listing = FindFiles(folder ? path + "*.*" : path, faAnyFile, nullptr, false);
  const bool known = folder && !listing.empty() && listing.front().Name == ".";  // "." names the folder
  if (known) {
    const std::pair<uint64_t, uint64_t> id(listing.front().Device, listing.front().Inode);
    if (std::find(walking.begin(), walking.end(), id) != walking.end()) return 0;
    walking.push_back(id);
  }
  int64_t total = 0;
  for (const TSearchRec& rec : listing) {
    if ((rec.Attr & faDirectory) != 0) {
      if (folder && !IsDots(rec.Name)) total += SizeBelow(path + rec.Name + kSourceDelim, walking);
    } else {
      total += rec.Size;
    }
  }
  if (known) walking.pop_back();
  return total;
}

}  // namespace

std::string TVeskBurner::SourceFolderToDiscPath(const std::string& folder) const {
  // A Linux path has no drive letter or network share to drop: the whole
  // folder path becomes the disc path, "/home/u/docs/" giving "\home\u\docs\".
  // A backslash inside a name becomes "/" (see PathComponent), each "/" a backslash.
  std::string disc = folder;
  for (char& c : disc) c = c == kSourceDelim ? kDiscDelim : c == kDiscDelim ? kSourceDelim : c;
  if (!disc.empty() && disc.front() != kDiscDelim) disc.insert(disc.begin(), kDiscDelim);
  return disc;
}

TDEntry* TVeskBurner::KeptPathDestination(const TDEntry* dest, const std::string& source) {
  // The folder part of the source path, up to and including its last "/".
  const size_t slash = source.rfind(kSourceDelim);
  std::string disc = SourceFolderToDiscPath(slash == std::string::npos ? "" : source.substr(0, slash + 1));
  if (dest != nullptr && dest != RootDir) disc = dest->Path + disc;
  if (LastFolderOnly) disc = LastPathPart(disc);
  ForceDirs(disc);
  return FindDir(disc);
}

int TVeskBurner::AddFile(const std::string& dest_path, const std::string& file_name, bool keep_path) {
  TDEntry* dest = keep_path ? KeptPathDestination(nullptr, file_name) : FindDir(dest_path);
  if (dest == nullptr) {
    DebugMessage(msg::kInvalidDestination, kMsgCompilation);
    return 0;
  }
  TSearchRec rec;
  if (!FindOne(file_name, faAnyFile, rec)) return -1;
  AddFileEntry(dest, rec, false, 0, file_name);
  return 1;
}

int TVeskBurner::AddFolderTo(TDEntry* dest, std::string source_path, bool archive_only, bool keep_path,
                             bool recursive, int file_attr, std::string mask) {
  if (dest == nullptr) {
    DebugMessage(msg::kInvalidDestination, kMsgCompilation);
    return 0;
  }
  if (keep_path) {
    dest = KeptPathDestination(dest, source_path);
    if (dest == nullptr) {
      DebugMessage(msg::kInvalidDestination, kMsgCompilation);
      return 0;
    }
  }
  if (!source_path.ends_with(kSourceDelim)) source_path.push_back(kSourceDelim);
  if (mask.empty()) mask = "*.*";
  int result = 0;
  // The first level of a recursive walk starts a thread that lists the
  // folders below ahead of the walk; it ends with this call.
  const bool starts_walk = recursive && walk_stack_.empty() && prefetch_ == nullptr;
  if (starts_walk) prefetch_ = std::make_unique<FolderPrefetcher>(source_path, archive_only);
  struct EndWalk {
    std::unique_ptr<FolderPrefetcher>& prefetch;
    bool active;
    ~EndWalk() {
      if (active) prefetch.reset();
    }
  } end_walk{prefetch_, starts_walk};

  std::vector<TSearchRec> listing;
  std::vector<TSkippedEntry> skipped;
  int error = 0;
  auto report_unreadable = [&] {
    if (error == 0) return;
    DebugMessage(">>> " + StrFormat(msg::kUnreadableFolder, DisplayUtf8(source_path).c_str(),
                                    SystemErrorText(error).c_str()),
                 kMsgCompilation);
  };
  if (recursive) {
    listing = ListForWalk(source_path, &error, archive_only, &skipped);
    report_unreadable();
  }
  // The folders being walked, this one last (its "." entry names it): a
  // subfolder that is one of them (a symbolic link back up the tree) would be
  // walked for ever.
  const bool known = recursive && !listing.empty() && listing.front().Name == ".";
  if (known) walk_stack_.emplace_back(listing.front().Device, listing.front().Inode);
  struct Pop {
    std::vector<std::pair<uint64_t, uint64_t>>& stack;
    bool active;
    ~Pop() {
      if (active) stack.pop_back();
    }
  } pop{walk_stack_, known};
  if (recursive) {
    for (const TSearchRec& rec : listing) {
      result = 1;
      if ((rec.Attr & faDirectory) == 0 || IsDots(rec.Name)) continue;
      std::string long_name = rec.Name;
      std::string short_name = rec.cAlternateFileName.empty() ? AsciiUpper(rec.Name) : rec.cAlternateFileName;
      // A name too long for a Joliet record is refused like an overlong file name.
      const bool too_long = Utf16Length(rec.Name) > kMaxDirLongName;
      bool skip = too_long;
      if (OnAddDir) OnAddDir(this, long_name, short_name, skip);
      if (too_long) {
        DirLongNameFits(rec.Name, DisplayUtf8(source_path + rec.Name));  // logs the refusal
        continue;
      }
      if (skip) continue;
      if (std::find(walk_stack_.begin(), walk_stack_.end(), std::make_pair(rec.Device, rec.Inode)) !=
          walk_stack_.end()) {
        DebugMessage(">>> " + StrFormat(msg::kLinkLoop, DisplayUtf8(source_path + rec.Name).c_str()),
                     kMsgCompilation);
        continue;
      }
      TDEntry* added = AddDir(dest, rec);
      if (added == nullptr) return 0;  // a capacity is reached: stop at once, keep what was added
      result = AddFolderTo(added, source_path + rec.Name, archive_only, false, recursive, file_attr, mask);
      if (added->FirstChild == nullptr) DeleteDir(added);  // empty folders are not recorded
    }
  }

  // The listing of "*.*" with every attribute serves again for the files.
  // The archive attribute is read only when it decides (ArchiveOnly); it is
  // used nowhere else.
  if (!recursive || mask != "*.*" || file_attr != faAnyFile) {
    const bool reported = recursive && error != 0;
    skipped.clear();
    listing = FindFiles(source_path + mask, file_attr, &error, archive_only, &skipped);
    if (!reported) report_unreadable();
  }
  ReportSkipped(source_path, skipped);
  for (const TSearchRec& rec : listing) {
    if (IsDots(rec.Name)) {
      result = 1;
      continue;
    }
    if ((rec.Attr & faDirectory) != 0) continue;
    if (archive_only && (rec.Attr & faArchive) == 0) continue;
    result = AddFileEntry(dest, rec, archive_only, 0, source_path + rec.Name);
  }
  return result;
}

std::vector<TSearchRec> TVeskBurner::ListForWalk(const std::string& folder, int* error, bool query_archive,
                                                 std::vector<TSkippedEntry>* skipped) {
  if (prefetch_ != nullptr) {
    if (auto ready = prefetch_->Get(folder)) {
      *error = ready->error;
      *skipped = std::move(ready->skipped);
      return std::move(ready->entries);
    }
  }
  return FindFiles(folder + "*.*", faAnyFile, error, query_archive, skipped);
}

void TVeskBurner::ReportSkipped(const std::string& folder, const std::vector<TSkippedEntry>& skipped) {
  // A pipe would block the reading of the files, a device would be read
  // whole, a broken link has nothing to read: none is recorded, each is named.
  for (const TSkippedEntry& entry : skipped) {
    DebugMessage(">>> " + StrFormat(msg::kNotAFileOrFolder, DisplayUtf8(folder + entry.Name).c_str(),
                                    SkippedKindText(entry).c_str()),
                 kMsgCompilation);
  }
}

int TVeskBurner::AddFolder(const std::string& dest_path, const std::string& source_path, bool archive_only,
                           bool keep_path, bool recursive, int file_attr, const std::string& mask) {
  TDEntry* dest = FindDir(dest_path);
  if (dest == nullptr) {
    DebugMessage(msg::kInvalidDestination, kMsgCompilation);
    return 0;
  }
  return AddFolderTo(dest, source_path, archive_only, keep_path, recursive, file_attr, mask);
}

int64_t TVeskBurner::FolderSize(const std::string& path) const {
  std::vector<std::pair<uint64_t, uint64_t>> walking;
  return SizeBelow(path, walking);
}

bool TVeskBurner::ClearArchiveBits() {
  for (const TFEntry* entry : FileEntries()) {
    if ((entry->Attr & faDirectory) != 0 || (entry->Attr & faArchive) == 0 || !entry->ClearArchive) continue;
    const Status s = ClearArchiveAttribute(entry->SourcePath());
    if (s.code() == Status::Code::kUnsupported) {
      if (!xattr_warning_done_) DebugMessage(">>> " + std::string(msg::kXattrUnsupported), kMsgStatus);
      xattr_warning_done_ = true;
    } else if (!s.ok()) {
      DebugMessage(">>> " + s.UserText(), kMsgStatus);
    }
  }
  return true;
}

}  // namespace zamo
