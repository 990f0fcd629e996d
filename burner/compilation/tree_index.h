// tree_index.h: hash indexes behind FindDir and FindChild. They give the same
// answers as the linear searches they replace (the first match in creation
// order, or in list order) and are kept in step with every add, rename and
// delete, so that filling a compilation of 600,000 entries stays linear.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zamo {

struct TDEntry;
struct TFEntry;

// A long name in the form children are compared by, with its hash in a
// given directory: computed once, it serves a lookup and the add after it.
struct ChildKey {
  uint64_t hash = 0;
  std::u16string key;
};

class TreeIndex {
 public:
  void Clear();
  void Reserve(size_t dirs, size_t entries);

  // Directories by upper-cased Path. Call RemoveDir before a Path changes.
  void AddDir(TDEntry* dir);
  void RemoveDir(TDEntry* dir);
  TDEntry* FindDir(std::string_view upper_path) const;

  // Entries of a child list by long name, compared as they will stand on
  // the disc (DiscNameKey: letters a to z without case, Joliet characters).
  // An entry keeps its list position when it is renamed.
  static ChildKey MakeChildKey(const TDEntry* parent, std::string_view long_name);
  void AddChild(const TDEntry* parent, TFEntry* entry);
  // `key` must be MakeChildKey(parent, entry->LongName).
  void AddChild(const TDEntry* parent, TFEntry* entry, const ChildKey& key);
  TFEntry* FindChild(const TDEntry* parent, const ChildKey& key) const;
  void RemoveChild(const TDEntry* parent, TFEntry* entry);
  void RenameChild(const TDEntry* parent, TFEntry* entry, std::string_view old_long_name);
  TFEntry* FindChild(const TDEntry* parent, std::string_view long_name) const;

 private:
  struct Slot {
    uint64_t order;       // creation (list) order: the smallest matching one wins
    const void* owner;    // parent directory of a child entry; null for directories
    void* record;
  };
  using Table = std::unordered_multimap<uint64_t, Slot>;

  static uint64_t PathHash(std::string_view upper_path);
  static uint64_t ChildHash(const TDEntry* parent, std::u16string_view key);
  static uint64_t ChildHash(const TDEntry* parent, std::string_view long_name);
  bool RemoveFrom(Table& table, uint64_t hash, const void* record, uint64_t* order);

  Table dirs_;
  Table children_;
  uint64_t next_order_ = 0;
};

}  // namespace zamo
