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
// Whatever stops or limits an import, the entries read before stay in the tree.
//
// Files whose data runs past the end of what the disc holds recorded (see
// SetRecordedEnd) are marked Damaged, or left out, each with a line.
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

// What the reader does with a file whose data the disc does not hold whole.
enum class DamagedFiles {
  kMark,     // imported with TFEntry::Damaged set: a listing shows it, extraction refuses it
  kLeaveOut  // not imported (a new session never lists a file nobody can read back)
};

class SessionTreeReader {
 public:
  // Borrows `burner`: its tree receives the entries and its log the messages.
  SessionTreeReader(TVeskBurner& burner, SectorReader read, ImportLimits limits = {});

  // `end` is the first sector after the data the disc holds recorded; 0
  // (the default) when unknown, and nothing is checked. A file is whole
  // when every sector of its data (all its extents) lies before `end`.
  void SetRecordedEnd(uint32_t end, DamagedFiles damaged) {
    recorded_end_ = end;
    damaged_ = damaged;
  }

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
  // A file given in several directory records of one name (ISO 9660
  // multi-extent), while its parts are read. It becomes one entry when its
  // parts follow one another on the disc (every part but the last in whole
  // sectors), which is how mastering programs write them.
  struct Chain {
    std::string name;  // empty: no chain under way
    std::string path;
    iso::DirRecord first;  // the first part's record (its id no longer valid)
    uint64_t next = 0;     // where a part must start to continue the data
    uint64_t size = 0;     // bytes of the parts so far
    bool contiguous = true;
  };

  bool ReadTree(uint32_t lba, uint32_t length, TDEntry* into, bool joliet, int depth, const std::string& path);
  // The sectors of one directory; false when its first one cannot be read.
  bool ReadSectors(uint32_t lba, int64_t sectors, TDEntry* into, bool joliet, int depth, const std::string& path,
                   Chain& chain);
  // One record of a directory (not "." or ".."); recurses into subdirectories.
  // `chain` belongs to the directory being read.
  void AddRecord(const iso::DirRecord& record, TDEntry* into, bool joliet, int depth, const std::string& path,
                 Chain& chain);
  TSearchRec SearchRecOf(const iso::DirRecord& record, const std::string& name, bool directory) const;
  // Takes a part of a file in several extents; true when the chain is done.
  bool AddPart(const iso::DirRecord& record, Chain& chain);
  void EndChain(Chain& chain, TDEntry* into);
  void AddSubdirectory(const iso::DirRecord& record, const TSearchRec& rec, TDEntry* into, bool joliet, int depth,
                       const std::string& path);
  void AddImportedFile(uint32_t extent, int64_t size, const TSearchRec& rec, TDEntry* into, const std::string& path);
  // False (with a line) when the extent does not lie inside the volume.
  bool InsideVolume(uint32_t lba, uint64_t length, const std::string& path);
  // True when a file's data runs past the recorded end.
  bool PastRecordedEnd(uint32_t extent, int64_t size) const;
  // A type-4 line, up to a bound; beyond it one line says the rest is not shown.
  void Report(const std::string& text, bool progress_prefix = true);
  // Ends the import with a line that is always written.
  void Stop(const std::string& text);

  TVeskBurner& burner_;
  SectorReader read_;
  ImportLimits limits_;
  uint32_t volume_end_ = 0;  // the sector after the volume; 0 when unknown
  uint32_t recorded_end_ = 0;  // the sector after the recorded data; 0 when unknown
  DamagedFiles damaged_ = DamagedFiles::kMark;
  std::unordered_set<uint32_t> visited_;  // directory extents read in this import
  int64_t records_ = 0;
  int64_t directory_sectors_ = 0;
  int reports_ = 0;
  bool stopped_ = false;
};

}  // namespace zamo
