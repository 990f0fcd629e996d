// image_head.h: HeadExtentsSource, the part of the image head that grows
// with the tree: the directory extents of the ISO 9660 tree, then of the
// Joliet tree, the El Torito boot catalog and the zero padding that ends the
// head. It is generated piece by piece as its reader takes it, so that a job
// holds a window of it (a few hundred KiB, or one directory when a single
// directory is larger) instead of all of it: on a tree of small files in
// small folders every folder takes a whole sector in each tree, as much
// memory as the tree itself. The first part of the head (system area,
// descriptors, path tables) stays in TVeskBurner::ImageStream.
//
// Thread safety: one reader at a time (the cache thread, or the caller's
// thread for the quick save); the tree and the layout are only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "burner/platform/date_time.h"

namespace zamo {

class TVeskBurner;
struct TDEntry;

class HeadExtentsSource {
 public:
  // A piece is generated when the window is empty; directories are added to
  // it until it holds this many bytes (a larger directory comes whole).
  static constexpr size_t kWindowTarget = 256 * 1024;

  // Borrows `burner`: its tree and layout must stay as they are until the
  // last Read (a writing job keeps them). `now` is the date of every
  // directory's "." and ".." records, fixed when the head was built.
  HeadExtentsSource(const TVeskBurner& burner, RecordDate now);
  HeadExtentsSource(const HeadExtentsSource&) = delete;
  HeadExtentsSource& operator=(const HeadExtentsSource&) = delete;

  // Bytes in all, a multiple of 2048.
  int64_t Size() const { return size_; }
  // Bytes read so far.
  int64_t Position() const { return position_; }
  // Copies the next bytes into `out`, as many as fit up to the end: their
  // count, less than out.size() only at the end (0 once everything is read).
  size_t Read(std::span<uint8_t> out);
  // The most bytes the window held at once so far.
  size_t PeakWindowBytes() const { return peak_window_; }

 private:
  enum class Part { kIsoDirectories, kJolietDirectories, kBootCatalog, kPadding, kEnd };
  // Empties the window and generates the next pieces into it.
  void Refill();
  void AppendDirectory(const TDEntry* dir, bool joliet);
  RecordDate DateOf(TDateTime value);

  const TVeskBurner& burner_;
  const RecordDate now_;
  Part part_ = Part::kIsoDirectories;
  size_t next_dir_ = 0;  // of the part under way, in DirEntries() order
  std::vector<uint8_t> window_;
  size_t window_at_ = 0;  // bytes of window_ already read
  int64_t padding_left_ = 0;
  int64_t size_ = 0;
  int64_t position_ = 0;
  size_t peak_window_ = 0;
  // Offsets from Greenwich by local hour: this source's own, as it may run
  // on another thread than the component.
  std::unordered_map<int64_t, int16_t> offset_by_hour_;
};

// The 7-byte date of a record for `value`: the offset from Greenwich in
// effect at that hour (looked up once an hour in `offset_by_hour`), or
// `fallback` when the date cannot be placed.
RecordDate CachedRecordDate(TDateTime value, int16_t fallback, std::unordered_map<int64_t, int16_t>& offset_by_hour);

}  // namespace zamo
