#include "burner/platform/find_file.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "burner/platform/date_time.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/short_name.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

bool HasWildcard(std::string_view text) { return text.find_first_of("*?") != std::string_view::npos; }

// FindFirst leaves out hidden, system, volume and directory entries unless
// the mask names them.
bool PassesAttrMask(int attr, int attr_mask) {
  const int excluded = ~attr_mask & (faHidden | faSysFile | faVolumeID | faDirectory);
  return (attr & excluded) == 0;
}

int32_t DosTime(time_t seconds) {
  struct tm local {};
  if (!LocalTime(seconds, local)) return 0;
  const int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return 0;
  DateTimeFields f{year, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                   local.tm_sec > 59 ? 59 : local.tm_sec, 0};
  return static_cast<int32_t>(DosDateTimeFromFields(f));
}

// Read permission from the permission bits, as the kernel checks them
// (access control lists aside).
bool MayRead(const struct stat& st) {
  static const uid_t euid = geteuid();
  static const gid_t egid = getegid();
  static const std::vector<gid_t> groups = [] {
    std::vector<gid_t> list(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    if (!list.empty()) list.resize(static_cast<size_t>(std::max(getgroups(static_cast<int>(list.size()), list.data()), 0)));
    return list;
  }();
  if (euid == 0) return true;
  if (st.st_uid == euid) return (st.st_mode & S_IRUSR) != 0;
  if (st.st_gid == egid || std::find(groups.begin(), groups.end(), st.st_gid) != groups.end())
    return (st.st_mode & S_IRGRP) != 0;
  return (st.st_mode & S_IROTH) != 0;
}

void FillFromStat(TSearchRec& rec, const std::string& full_path, const struct stat& st, bool query_archive = true) {
  rec.Attr = BasicAttributes(rec.Name, st);
  rec.Size = S_ISDIR(st.st_mode) ? 0 : static_cast<int64_t>(st.st_size);
  rec.ModifiedSeconds = st.st_mtim.tv_sec;
  rec.ModifiedNanoseconds = st.st_mtim.tv_nsec;
  rec.Time = DosTime(st.st_mtim.tv_sec);
  rec.Device = st.st_dev;
  rec.Inode = st.st_ino;
  rec.Readable = MayRead(st);
  if (query_archive && S_ISREG(st.st_mode) && QueryArchiveState(full_path, st) != ArchiveState::kArchived)
    rec.Attr |= faArchive;
}

struct Listed {
  std::string name;
  std::u16string key;  // upper-cased UTF-16, the NTFS order
  struct stat st;
};

// Why `name` in the folder `dir_fd` is neither a file nor a folder: from its
// own stat data (`st`, links followed; `stat_error` when that failed), and
// the link itself. False when it vanished.
bool Classify(int dir_fd, const char* name, const struct stat* st, int stat_error, TSkippedEntry& entry) {
  entry.Name = name;
  if (st != nullptr) {
    if (S_ISFIFO(st->st_mode)) entry.Kind = TSkippedKind::kFifo;
    else if (S_ISSOCK(st->st_mode)) entry.Kind = TSkippedKind::kSocket;
    else entry.Kind = TSkippedKind::kDevice;
    return true;
  }
  struct stat link {};
  if (fstatat(dir_fd, name, &link, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(link.st_mode)) return false;
  if (stat_error == ELOOP) {
    entry.Kind = TSkippedKind::kLinkLoop;
  } else if (stat_error == EACCES) {
    entry.Kind = TSkippedKind::kUnreachable;
  } else {
    entry.Kind = TSkippedKind::kBrokenLink;
    char target[4096];
    const ssize_t length = readlinkat(dir_fd, name, target, sizeof target);
    if (length > 0) entry.LinkTarget.assign(target, static_cast<size_t>(length));
  }
  return true;
}

// Stat data of a folder's "." and ".." entries, read through its descriptor.
struct Dots {
  bool valid[2] = {false, false};
  struct stat st[2];
};

// One name of a folder, with its stat data (links followed) once read.
struct Scanned {
  std::string name;
  bool stated = false;  // read by the scan: an entry that may be a folder
  bool found = false;
  int stat_error = 0;
  struct stat st;
};

}  // namespace

struct TFolderScan::State {
  std::string folder;
  DIR* dir = nullptr;  // open from the scan to its end: the names' stat data are read through it
  int error = 0;
  Dots dots;
  std::vector<Scanned> names;  // without "." and ".."
  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    if (dir != nullptr) closedir(dir);
  }
};

namespace {

// Opens `state.folder` and reads its names; with `stat_folders`, the stat
// data of the entries that may be folders (or whose kind the folder does not
// tell) are read now, the others' later (FinishNames).
void ScanNames(TFolderScan::State& state, bool with_dots, bool stat_folders) {
  const int dir_fd = open(state.folder.empty() ? "/" : state.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) {
    state.error = errno;
    return;
  }
  if (with_dots) {
    state.dots.valid[0] = fstat(dir_fd, &state.dots.st[0]) == 0;
    state.dots.valid[1] = fstatat(dir_fd, "..", &state.dots.st[1], 0) == 0;
  }
  state.dir = fdopendir(dir_fd);
  if (state.dir == nullptr) {
    state.error = errno;
    close(dir_fd);
    return;
  }
  errno = 0;
  while (const dirent* entry = readdir(state.dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    Scanned& item = state.names.emplace_back();
    item.name = name;
    if (stat_folders && entry->d_type != DT_REG) {
      item.stated = true;
      item.found = fstatat(dir_fd, entry->d_name, &item.st, 0) == 0;
      item.stat_error = item.found ? 0 : errno;
    }
    errno = 0;
  }
  if (errno != 0) state.error = errno;
}

// Every listable entry of a scanned folder, in NTFS order; the entries left
// out as neither file nor folder go to *skipped when given. With
// `folders_scanned`, an entry the scan did not see as a folder is not listed
// as one.
std::vector<Listed> FinishNames(TFolderScan::State& state, bool folders_scanned,
                                std::vector<TSkippedEntry>* skipped) {
  std::vector<Listed> listed;
  if (state.dir == nullptr) return listed;
  const int dir_fd = dirfd(state.dir);
  listed.reserve(state.names.size());
  for (Scanned& item : state.names) {
    if (!item.stated) {
      item.found = fstatat(dir_fd, item.name.c_str(), &item.st, 0) == 0;
      item.stat_error = item.found ? 0 : errno;
      // It became a folder after the scan, which the walk does not visit.
      if (folders_scanned && item.found && S_ISDIR(item.st.st_mode)) continue;
    }
    if (!item.found || (!S_ISREG(item.st.st_mode) && !S_ISDIR(item.st.st_mode))) {
      // A broken link, a pipe, a device ...; nothing when it vanished.
      TSkippedEntry left_out;
      if (skipped != nullptr &&
          Classify(dir_fd, item.name.c_str(), item.found ? &item.st : nullptr, item.stat_error, left_out))
        skipped->push_back(std::move(left_out));
      continue;
    }
    Listed& out = listed.emplace_back();
    out.key = UnicodeUpper(DecodeName(item.name));
    out.name = std::move(item.name);
    out.st = item.st;
  }
  closedir(state.dir);
  state.dir = nullptr;
  std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
    return a.key != b.key ? a.key < b.key : a.name < b.name;
  });
  if (skipped != nullptr) {
    std::sort(skipped->begin(), skipped->end(), [](const TSkippedEntry& a, const TSkippedEntry& b) {
      const std::u16string key_a = UnicodeUpper(DecodeName(a.Name)), key_b = UnicodeUpper(DecodeName(b.Name));
      return key_a != key_b ? key_a < key_b : a.Name < b.Name;
    });
  }
  return listed;
}

// Every listable entry of a folder, in NTFS order, without "." and "..";
// the entries left out as neither file nor folder go to *skipped when given.
std::vector<Listed> ListFolder(const std::string& folder, int* error = nullptr, Dots* dots = nullptr,
                               std::vector<TSkippedEntry>* skipped = nullptr) {
  TFolderScan::State state;
  state.folder = folder;
  ScanNames(state, dots != nullptr, false);
  std::vector<Listed> listed = FinishNames(state, false, skipped);
  if (error != nullptr) *error = state.error;
  if (dots != nullptr) *dots = state.dots;
  return listed;
}

std::string JoinPath(const std::string& folder, std::string_view name) {
  std::string path = folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

// FindFiles' entries from a folder's listing: "." and ".." first, then the
// names the mask and the attributes let through, with their 8.3 names.
std::vector<TSearchRec> MakeRecords(const std::string& folder, const std::string& mask, int attr_mask,
                                    const Dots& dots, std::vector<Listed>& listed,
                                    std::vector<TSkippedEntry>& left_out, bool query_archive,
                                    std::vector<TSkippedEntry>* skipped) {
  std::vector<TSearchRec> found;
  for (TSkippedEntry& entry : left_out) {
    // As the mask and the hidden attribute would have listed it.
    const int attr = entry.Name.starts_with('.') ? faHidden : 0;
    if (MatchesMask(entry.Name, mask) && PassesAttrMask(attr, attr_mask)) skipped->push_back(std::move(entry));
  }
  std::vector<std::string_view> names;
  names.reserve(listed.size());
  for (const Listed& item : listed) names.push_back(item.name);
  std::vector<std::string> alternates = AssignAlternateNames(names);

  // Windows lists "." and ".." first in every folder but a drive's root.
  if (folder != "/" && (attr_mask & faDirectory) != 0 && MatchesMask(".", mask)) {
    for (int i = 0; i < 2; ++i) {
      if (!dots.valid[i]) continue;
      TSearchRec rec;
      rec.Name = i == 0 ? "." : "..";
      FillFromStat(rec, folder, dots.st[i], false);
      found.push_back(std::move(rec));
    }
  }
  found.reserve(found.size() + listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    if (!MatchesMask(listed[i].name, mask)) continue;
    TSearchRec rec;
    rec.Name = std::move(listed[i].name);
    rec.Attr = BasicAttributes(rec.Name, listed[i].st);
    if (!PassesAttrMask(rec.Attr, attr_mask)) continue;
    FillFromStat(rec, JoinPath(folder, rec.Name), listed[i].st, query_archive);
    rec.cAlternateFileName = std::move(alternates[i]);
    found.push_back(std::move(rec));
  }
  return found;
}

}  // namespace


bool MatchesMask(std::string_view name, std::string_view mask) {
  if (mask == "*.*" || mask == "*") return true;
  // Iterative glob with one backtracking point.
  size_t n = 0, m = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || AsciiUpper(mask[m]) == AsciiUpper(name[n]))) {
      ++n, ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      star = m++;
      resume = n;
    } else if (star != std::string_view::npos) {
      m = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::string SkippedKindText(const TSkippedEntry& entry) {
  switch (entry.Kind) {
    case TSkippedKind::kFifo:
      return "tube nommé (FIFO)";
    case TSkippedKind::kSocket:
      return "socket";
    case TSkippedKind::kDevice:
      return "fichier de périphérique";
    case TSkippedKind::kBrokenLink:
      return "lien symbolique brisé vers «\u00A0" + DisplayUtf8(entry.LinkTarget) + "\u00A0»";
    case TSkippedKind::kLinkLoop:
      return "boucle de liens symboliques";
    case TSkippedKind::kUnreachable:
      return "lien symbolique vers un dossier inaccessible";
  }
  return "";
}

bool DescribeSkipped(const std::string& path, TSkippedEntry& entry) {
  std::string clean = path;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  struct stat st {};
  const bool found = stat(clean.c_str(), &st) == 0;
  if (found && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return false;
  const int stat_error = found ? 0 : errno;
  return Classify(AT_FDCWD, clean.c_str(), found ? &st : nullptr, stat_error, entry);
}

std::vector<TSearchRec> FindFiles(const std::string& pattern, int attr_mask, int* error, bool query_archive,
                                  std::vector<TSkippedEntry>* skipped) {
  const size_t slash = pattern.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
  const std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  std::vector<TSearchRec> found;
  if (error != nullptr) *error = 0;
  if (!HasWildcard(mask)) {
    TSearchRec rec;
    if (FindOne(pattern, attr_mask, rec)) found.push_back(std::move(rec));
    return found;
  }
  Dots dots;
  std::vector<TSkippedEntry> left_out;
  std::vector<Listed> listed = ListFolder(folder, error, &dots, skipped != nullptr ? &left_out : nullptr);
  return MakeRecords(folder, mask, attr_mask, dots, listed, left_out, query_archive, skipped);
}

TFolderScan::~TFolderScan() { delete state_; }

TFolderScan::TFolderScan(TFolderScan&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}

TFolderScan& TFolderScan::operator=(TFolderScan&& other) noexcept {
  if (this != &other) {
    delete state_;
    state_ = std::exchange(other.state_, nullptr);
  }
  return *this;
}

std::vector<TFolderScan::Subfolder> TFolderScan::Subfolders() const {
  std::vector<Subfolder> folders;
  if (state_ == nullptr) return folders;
  for (const Scanned& item : state_->names) {
    if (item.stated && item.found && S_ISDIR(item.st.st_mode))
      folders.push_back(Subfolder{item.name, static_cast<uint64_t>(item.st.st_dev), static_cast<uint64_t>(item.st.st_ino)});
  }
  // In listing order.
  std::vector<std::pair<std::u16string, size_t>> keys;
  keys.reserve(folders.size());
  for (size_t i = 0; i < folders.size(); ++i) keys.emplace_back(UnicodeUpper(DecodeName(folders[i].name)), i);
  std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : folders[a.second].name < folders[b.second].name;
  });
  std::vector<Subfolder> sorted;
  sorted.reserve(folders.size());
  for (const auto& key : keys) sorted.push_back(std::move(folders[key.second]));
  return sorted;
}

bool TFolderScan::Identity(uint64_t& device, uint64_t& inode) const {
  if (state_ == nullptr || !state_->dots.valid[0]) return false;
  device = state_->dots.st[0].st_dev;
  inode = state_->dots.st[0].st_ino;
  return true;
}

size_t TFolderScan::Size() const { return state_ == nullptr ? 0 : state_->names.size(); }

TFolderScan ScanFolder(const std::string& folder) {
  TFolderScan scan;
  scan.state_ = new TFolderScan::State;
  scan.state_->folder = folder;
  ScanNames(*scan.state_, true, true);
  return scan;
}

std::vector<TSearchRec> FinishScan(TFolderScan&& scan, int* error, bool query_archive,
                                   std::vector<TSkippedEntry>* skipped) {
  if (error != nullptr) *error = 0;
  if (scan.state_ == nullptr) return {};
  TFolderScan::State& state = *scan.state_;
  std::vector<TSkippedEntry> left_out;
  std::vector<Listed> listed = FinishNames(state, true, skipped != nullptr ? &left_out : nullptr);
  if (error != nullptr) *error = state.error;
  return MakeRecords(state.folder, "*.*", faAnyFile, state.dots, listed, left_out, query_archive, skipped);
}

bool FindOne(const std::string& path, int attr_mask, TSearchRec& rec) {
  std::string clean = path;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  struct stat st {};
  if (clean.empty() || stat(clean.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
  const size_t slash = clean.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : clean.substr(0, slash + 1);
  rec = TSearchRec{};
  rec.Name = slash == std::string::npos ? clean : clean.substr(slash + 1);
  FillFromStat(rec, clean, st);
  if (!PassesAttrMask(rec.Attr, attr_mask)) return false;
  if (!IsValidShortName(rec.Name) && rec.Name != "/") {
    // The alternate name depends on the other names of the folder.
    std::vector<Listed> listed = ListFolder(folder);
    std::vector<std::string_view> names;
    size_t index = listed.size();
    for (size_t i = 0; i < listed.size(); ++i) {
      names.push_back(listed[i].name);
      if (listed[i].name == rec.Name) index = i;
    }
    if (index < listed.size()) rec.cAlternateFileName = AssignAlternateNames(names)[index];
  }
  return true;
}

int FindFirst(const std::string& pattern, int attr_mask, TSearchHandle& handle, TSearchRec& rec) {
  handle.entries = FindFiles(pattern, attr_mask);
  handle.next = 0;
  return FindNext(handle, rec);
}

int FindNext(TSearchHandle& handle, TSearchRec& rec) {
  if (handle.next >= handle.entries.size()) return 18;  // ERROR_NO_MORE_FILES
  rec = handle.entries[handle.next++];
  return 0;
}

void FindClose(TSearchHandle& handle) {
  handle.entries.clear();
  handle.next = 0;
}

}  // namespace zamo
