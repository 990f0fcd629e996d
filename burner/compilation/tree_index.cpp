#include "burner/compilation/tree_index.h"

#include "burner/compilation/entries.h"
#include "burner/compilation/names.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr uint64_t kFnvOffset = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

uint64_t MixIn(uint64_t hash, unsigned char byte) { return (hash ^ byte) * kFnvPrime; }

}  // namespace

void TreeIndex::Clear() {
  dirs_.clear();
  children_.clear();
  next_order_ = 0;
}

void TreeIndex::Reserve(size_t dirs, size_t entries) {
  dirs_.reserve(dirs);
  children_.reserve(entries);
}

uint64_t TreeIndex::PathHash(std::string_view upper_path) {
  uint64_t hash = kFnvOffset;
  for (char c : upper_path) hash = MixIn(hash, static_cast<unsigned char>(c));
  return hash;
}

uint64_t TreeIndex::ChildHash(const TDEntry* parent, std::u16string_view key) {
  uint64_t hash = kFnvOffset;
  auto pointer = reinterpret_cast<uintptr_t>(parent);
  for (int i = 0; i < 8; ++i) hash = MixIn(hash, static_cast<unsigned char>(pointer >> (8 * i)));
  for (char16_t unit : key) {
    hash = MixIn(hash, static_cast<unsigned char>(unit & 0xFF));
    hash = MixIn(hash, static_cast<unsigned char>(unit >> 8));
  }
  return hash;
}

uint64_t TreeIndex::ChildHash(const TDEntry* parent, std::string_view long_name) {
  return ChildHash(parent, DiscNameKey(long_name));
}

ChildKey TreeIndex::MakeChildKey(const TDEntry* parent, std::string_view long_name) {
  ChildKey key;
  key.key = DiscNameKey(long_name);
  key.hash = ChildHash(parent, key.key);
  return key;
}

bool TreeIndex::RemoveFrom(Table& table, uint64_t hash, const void* record, uint64_t* order) {
  auto [first, last] = table.equal_range(hash);
  for (auto it = first; it != last; ++it) {
    if (it->second.record == record) {
      if (order != nullptr) *order = it->second.order;
      table.erase(it);
      return true;
    }
  }
  return false;
}

void TreeIndex::AddDir(TDEntry* dir) { dirs_.emplace(PathHash(dir->Path), Slot{next_order_++, nullptr, dir}); }

void TreeIndex::RemoveDir(TDEntry* dir) { RemoveFrom(dirs_, PathHash(dir->Path), dir, nullptr); }

TDEntry* TreeIndex::FindDir(std::string_view upper_path) const {
  auto [first, last] = dirs_.equal_range(PathHash(upper_path));
  const Slot* best = nullptr;
  for (auto it = first; it != last; ++it) {
    const auto* dir = static_cast<const TDEntry*>(it->second.record);
    if (dir->Path == upper_path && (best == nullptr || it->second.order < best->order)) best = &it->second;
  }
  return best == nullptr ? nullptr : static_cast<TDEntry*>(best->record);
}

void TreeIndex::AddChild(const TDEntry* parent, TFEntry* entry) {
  children_.emplace(ChildHash(parent, entry->LongName), Slot{next_order_++, parent, entry});
}

void TreeIndex::AddChild(const TDEntry* parent, TFEntry* entry, const ChildKey& key) {
  children_.emplace(key.hash, Slot{next_order_++, parent, entry});
}

void TreeIndex::RemoveChild(const TDEntry* parent, TFEntry* entry) {
  RemoveFrom(children_, ChildHash(parent, entry->LongName), entry, nullptr);
}

void TreeIndex::RenameChild(const TDEntry* parent, TFEntry* entry, std::string_view old_long_name) {
  uint64_t order = next_order_++;
  RemoveFrom(children_, ChildHash(parent, old_long_name), entry, &order);
  children_.emplace(ChildHash(parent, entry->LongName), Slot{order, parent, entry});
}

TFEntry* TreeIndex::FindChild(const TDEntry* parent, std::string_view long_name) const {
  return FindChild(parent, MakeChildKey(parent, long_name));
}

TFEntry* TreeIndex::FindChild(const TDEntry* parent, const ChildKey& key) const {
  auto [first, last] = children_.equal_range(key.hash);
  const Slot* best = nullptr;
  for (auto it = first; it != last; ++it) {
    const auto* entry = static_cast<const TFEntry*>(it->second.record);
    if (it->second.owner == parent && DiscNameKey(entry->LongName) == key.key &&
        (best == nullptr || it->second.order < best->order)) {
      best = &it->second;
    }
  }
  return best == nullptr ? nullptr : static_cast<TFEntry*>(best->record);
}

}  // namespace zamo
