// session_reader.h: reads the file system of one session (its Joliet tree,
// or the ISO 9660 tree when there is none) into the compilation as imported
// entries: entries whose data already lies on the disc at absolute sectors.
//
// The reader trusts nothing it reads: a record whose lengths do not hold,
// an extent outside the volume, a directory met twice (a loop), nesting
// deeper than the limit, and more records or directory sectors than the
// limits allow are reported in the log (type 4) and left out, so a damaged
// or hostile disc gives a clear message and a partial tree, never a crash,
// an endless walk or unbounded memory. Names that could not be one path
// component ("", ".", "..", or holding "/" or NUL) never enter the tree as such.
//
// Not thread-safe: one reader runs on the thread that owns the compilation.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include "burner/compilation/veskburner.h"
#include "burner/import/iso_records.h"

namespace zamo {

// The name of an imported entry as the disc gives it: the tree adds a "."
// to a file name without one (README becomes README.), dropped here again.
// The name a listing shows and an extracted file gets.
std::string DiscName(const TFEntry& entry);

// Bounds of one import. The defaults hold the application's largest
// compilation (600,000 entries) with room to spare.
struct ImportLimits {
  int max_depth = 100;                        // directory levels below the session's root
  int64_t max_records = 2'000'000;            // directory records looked at
  int64_t max_directory_sectors = 262'144;    // directory data read: 512 MiB
};

// Reads one 2048-byte sector into `out`; false when it cannot be read.
using SectorReader = std::function<bool(uint32_t lba, uint8_t* out)>;

class SessionTreeReader {
 public:
  // Borrows `burner`: its tree receives the entries and its log the messages.
  SessionTreeReader(TVeskBurner& burner, SectorReader read, ImportLimits limits = {});

  enum class Tree { kNone, kUnreadable, kJoliet, kIso9660 };
  // Looks for the descriptor set from `start` + 16 (21 sectors at most, up to
  // the set terminator) and reads the session's tree into `into`: the
  // Joliet tree when the session has one whose root can be read, otherwise
  // the ISO 9660 tree. kNone when neither descriptor was found, kUnreadable
  // when no root directory could be read (said in the log).
  Tree ReadSession(uint32_t start, TDEntry* into);

  // Reads one directory extent and everything below it into `into`. True
  // when its first sector could be read.
  bool ReadDirectory(uint32_t lba, uint32_t length, TDEntry* into, bool joliet);

 private:
  bool ReadTree(uint32_t lba, uint32_t length, TDEntry* into, bool joliet, int depth, const std::string& path);
  // One record of a directory (not "." or ".."); recurses into subdirectories.
  // `multi_extent_name` belongs to the directory being read: the name of a
  // file given in several extents, while its parts are passed over.
  void AddRecord(const iso::DirRecord& record, TDEntry* into, bool joliet, int depth, const std::string& path,
                 std::string& multi_extent_name);
  void AddSubdirectory(const iso::DirRecord& record, const TSearchRec& rec, TDEntry* into, bool joliet, int depth,
                       const std::string& path);
  void AddImportedFile(const iso::DirRecord& record, const TSearchRec& rec, TDEntry* into, const std::string& path);
  // False (with a line) when the extent does not lie inside the volume.
  bool InsideVolume(uint32_t lba, uint32_t length, const std::string& path);
  // True once the tree cannot take another entry of either kind.
  bool TreeFull() const;
  // A type-4 line, up to a bound; beyond it one line says the rest is not shown.
  void Report(const std::string& text, bool progress_prefix = true);
  // Ends the import with a line that is always written.
  void Stop(const std::string& text);

  TVeskBurner& burner_;
  SectorReader read_;
  ImportLimits limits_;
  uint32_t volume_end_ = 0;  // the sector after the volume; 0 when unknown
  std::unordered_set<uint32_t> visited_;  // directory extents read in this import
  int64_t records_ = 0;
  int64_t directory_sectors_ = 0;
  int reports_ = 0;
  bool stopped_ = false;
};

}  // namespace zamo
