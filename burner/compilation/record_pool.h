// record_pool.h: allocation of tree records. Records live in a deque, so a
// pointer to one stays valid while others are added; freed records are
// cleared and reused.
#pragma once

#include <deque>
#include <vector>

namespace zamo {

template <typename T>
class RecordPool {
 public:
  T* New() {
    if (free_.empty()) return &storage_.emplace_back();
    T* record = free_.back();
    free_.pop_back();
    return record;
  }
  void Free(T* record) {
    *record = T{};  // strings released now, fields cleared for the next use
    free_.push_back(record);
  }
  void Clear() {
    std::deque<T>().swap(storage_);
    std::vector<T*>().swap(free_);
  }

 private:
  std::deque<T> storage_;
  std::vector<T*> free_;
};

}  // namespace zamo
