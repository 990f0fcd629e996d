// editing.cpp: deleting entries and directories. The four arrays, the child
// lists and the lookup indexes are kept consistent; a subtree is deleted in
// one pass over the arrays, whatever its size.
#include <algorithm>
#include <unordered_set>

#include "burner/compilation/veskburner.h"
#include "burner/platform/file_attributes.h"

namespace zamo {
namespace {

bool IsDirectoryEntry(const TFEntry* e) { return (e->Attr & faDirectory) != 0; }

template <typename T>
int CompactOut(std::vector<T*>& slots, int count, const std::unordered_set<const T*>& dead) {
  auto end = std::remove_if(slots.begin(), slots.begin() + count, [&](T* p) { return dead.contains(p); });
  const int kept = static_cast<int>(end - slots.begin());
  std::fill(end, slots.begin() + count, nullptr);
  return kept;
}

}  // namespace

void TVeskBurner::UnlinkChild(TDEntry* dir, TFEntry* entry, TFEntry* previous) {
  if (previous == nullptr) {
    dir->FirstChild = entry->Next;
  } else {
    previous->Next = entry->Next;
  }
  auto tail = last_child_.find(dir);
  if (tail != last_child_.end() && tail->second == entry) {
    if (previous == nullptr) {
      last_child_.erase(tail);
    } else {
      tail->second = previous;
    }
  }
  index_.RemoveChild(dir, entry);
  entry->Next = nullptr;
}

void TVeskBurner::DeleteEntryAndSubtree(TDEntry* dir, TFEntry* entry, TFEntry* previous) {
  UnlinkChild(dir, entry, previous);
  dead_files_.push_back(entry);
  if (!IsDirectoryEntry(entry) || entry->Dir == nullptr) return;
  std::vector<TDEntry*> pending{entry->Dir};
  while (!pending.empty()) {
    TDEntry* d = pending.back();
    pending.pop_back();
    for (TFEntry* child = d->FirstChild; child != nullptr; child = child->Next) {
      index_.RemoveChild(d, child);
      dead_files_.push_back(child);
      if (IsDirectoryEntry(child) && child->Dir != nullptr) pending.push_back(child->Dir);
    }
    d->FirstChild = nullptr;
    last_child_.erase(d);
    index_.RemoveDir(d);
    dead_dirs_.push_back(d);
  }
}

void TVeskBurner::CompactArrays() {
  if (dead_files_.empty() && dead_dirs_.empty()) return;
  const std::unordered_set<const TFEntry*> dead_files(dead_files_.begin(), dead_files_.end());
  const std::unordered_set<const TDEntry*> dead_dirs(dead_dirs_.begin(), dead_dirs_.end());
  if (!dead_files.empty()) file_count_ = CompactOut(file_entries_, file_count_, dead_files);
  if (!dead_dirs.empty()) {
    CompactOut(dir_entries_, dir_count_, dead_dirs);
    CompactOut(iso_dir_order_, dir_count_, dead_dirs);
    dir_count_ = CompactOut(joliet_dir_order_, dir_count_, dead_dirs);
  }
  for (TFEntry* e : dead_files_) file_pool_.Free(e);
  for (TDEntry* d : dead_dirs_) dir_pool_.Free(d);
  dead_files_.clear();
  dead_dirs_.clear();
}

bool TVeskBurner::DeleteChild(TDEntry*& dir, TFEntry*& entry) {
  if (dir == nullptr || entry == nullptr) return false;
  TFEntry* previous = nullptr;
  TFEntry* walk = dir->FirstChild;
  while (walk != nullptr && walk != entry) {
    previous = walk;
    walk = walk->Next;
  }
  if (walk == nullptr) return false;  // not an entry of this directory: nothing is changed
  DeleteEntryAndSubtree(dir, entry, previous);
  CompactArrays();
  entry = nullptr;
  return true;
}

bool TVeskBurner::DeleteDirContents(TFEntry*& dir_entry) {
  if (dir_entry == nullptr || dir_entry->Dir == nullptr) return true;
  TDEntry* dir = dir_entry->Dir;
  while (TFEntry* child = dir->FirstChild) DeleteEntryAndSubtree(dir, child, nullptr);
  CompactArrays();
  return true;
}

TFEntry* TVeskBurner::DirEntryOf(const TDEntry* dir) const {
  if (dir == nullptr || dir->Parent == nullptr || dir == RootDir) return nullptr;
  for (TFEntry* e = dir->Parent->FirstChild; e != nullptr; e = e->Next) {
    if (e->Dir == dir) return e;
  }
  return nullptr;
}

bool TVeskBurner::DeleteDir(TDEntry*& dir) {
  if (dir == nullptr || dir->Path == "\\" || dir == RootDir) return false;
  // The directory's own entry is the one whose Dir link names it, not the
  // first child of the same long name (a file may carry that name too).
  if (TFEntry* entry = DirEntryOf(dir)) {
    TDEntry* parent = dir->Parent;
    DeleteChild(parent, entry);
  } else {
    while (TFEntry* child = dir->FirstChild) DeleteEntryAndSubtree(dir, child, nullptr);
    CompactArrays();
    RemoveDirEntry(dir);
  }
  dir = nullptr;
  return true;
}

bool TVeskBurner::DeleteByName(const std::string& parent_path, const std::string& long_name) {
  TDEntry* parent = FindDir(parent_path);
  if (parent == nullptr) return false;
  TFEntry* entry = FindChild(parent, long_name);
  if (entry == nullptr) return false;
  return DeleteChild(parent, entry);
}

bool TVeskBurner::RemoveEmptyDirs() {
  // The outcome of deleting empty directories until none is left: every
  // directory whose subtree holds no file goes, the root excepted.
  std::unordered_set<const TDEntry*> keep;
  keep.insert(RootDir);
  for (const TDEntry* dir : DirEntries()) {
    bool has_file = false;
    for (const TFEntry* e = dir->FirstChild; e != nullptr && !has_file; e = e->Next) has_file = !IsDirectoryEntry(e);
    if (!has_file) continue;
    // Mark the directory and its ancestors, stopping at one already marked.
    for (const TDEntry* d = dir; d != nullptr && keep.insert(d).second; d = d->Parent) {
    }
  }
  std::vector<TDEntry*> doomed;
  for (TDEntry* dir : DirEntries()) {
    if (!keep.contains(dir) && keep.contains(dir->Parent)) doomed.push_back(dir);  // topmost empty ones
  }
  for (TDEntry* dir : doomed) {
    TFEntry* previous = nullptr;
    TFEntry* entry = dir->Parent->FirstChild;
    while (entry != nullptr && entry->Dir != dir) {
      previous = entry;
      entry = entry->Next;
    }
    if (entry != nullptr) {
      DeleteEntryAndSubtree(dir->Parent, entry, previous);
    } else {
      while (TFEntry* child = dir->FirstChild) DeleteEntryAndSubtree(dir, child, nullptr);
      index_.RemoveDir(dir);
      last_child_.erase(dir);
      dead_dirs_.push_back(dir);
    }
  }
  CompactArrays();
  return true;
}

void TVeskBurner::RemoveDirEntry(TDEntry*& dir) {
  if (dir == nullptr) return;
  const std::unordered_set<const TDEntry*> dead{dir};
  const int before = dir_count_;
  CompactOut(dir_entries_, dir_count_, dead);
  CompactOut(iso_dir_order_, dir_count_, dead);
  dir_count_ = CompactOut(joliet_dir_order_, dir_count_, dead);
  if (dir_count_ == before) return;  // not registered
  index_.RemoveDir(dir);
  last_child_.erase(dir);
  dir_pool_.Free(dir);
  dir = nullptr;
}

void TVeskBurner::RemoveFileEntry(TFEntry*& entry) {
  if (entry == nullptr) return;
  const std::unordered_set<const TFEntry*> dead{entry};
  const int before = file_count_;
  file_count_ = CompactOut(file_entries_, file_count_, dead);
  if (file_count_ == before) return;
  file_pool_.Free(entry);
  entry = nullptr;
}

}  // namespace zamo
