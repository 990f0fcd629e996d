// find_file.h: directory enumeration in the manner of FindFirst/FindNext.
// A folder is listed as NTFS lists it ("." and ".." first, then the names in
// ordinal order of their upper-cased UTF-16 form), so images are reproducible.
// Symbolic links are followed; broken links, sockets, devices and FIFOs are
// not listed (FindFiles tells which, when asked). Hidden, system and directory entries are returned only when the
// attribute mask asks for them, as FindFirst does.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace zamo {

struct TSearchRec {
  int32_t Time = 0;  // local modification time, MS-DOS packed (0 outside 1980-2107)
  int64_t Size = 0;  // bytes; 0 for a directory
  int32_t Attr = 0;  // faDirectory, faHidden, faReadOnly, faArchive
  std::string Name;  // the name's bytes as the file system gives them
  std::string cAlternateFileName;  // generated 8.3 name; empty when Name is a valid 8.3 name
  // The exact modification time (Time keeps only 2-second steps and no year before 1980).
  time_t ModifiedSeconds = 0;
  long ModifiedNanoseconds = 0;
  // Identity of the file or folder (links followed), to recognise a folder
  // reached again through a symbolic link.
  uint64_t Device = 0;
  uint64_t Inode = 0;
  // Whether this process may read the file, judged from its permission bits
  // (a superuser reads everything).
  bool Readable = true;
};

// What an entry of a folder is when it is neither a file nor a folder, its
// links followed: such entries are not listed, and a caller that asks is
// told of each, to say so.
enum class TSkippedKind : uint8_t {
  kFifo,         // a named pipe: reading it would wait for a writer
  kSocket,
  kDevice,       // a character or block device
  kBrokenLink,   // a symbolic link to nothing
  kLinkLoop,     // symbolic links that point at each other without end
  kUnreachable,  // a symbolic link into a folder this process may not search
};
struct TSkippedEntry {
  std::string Name;        // the name's bytes in its folder
  TSkippedKind Kind = TSkippedKind::kBrokenLink;
  std::string LinkTarget;  // a link's target as it is written, for kBrokenLink
};
// The kind in the user's words: "tube nommé (FIFO)", "lien symbolique brisé
// vers « ../x »" ...
std::string SkippedKindText(const TSkippedEntry& entry);
// The entry at `path` (a name in its folder), when it is one FindFiles
// leaves out; false for a file, a folder or nothing at all.
bool DescribeSkipped(const std::string& path, TSkippedEntry& entry);

// Entries of `pattern`: a folder path, "/", and a mask with "*" and "?"
// ("*.*" matches every name), or the path of one file or folder. `attr_mask`
// as for FindFirst (faAnyFile for everything). An unreadable folder gives an
// empty list, and its errno in *error when given (0 otherwise).
// The archive attribute costs one extended-attribute read a file: with
// `query_archive` false it is left out of Attr. The entries of a folder left
// out as neither file nor folder go to *skipped when given (those the mask
// and the hidden attribute would list), in listing order.
std::vector<TSearchRec> FindFiles(const std::string& pattern, int attr_mask, int* error = nullptr,
                                  bool query_archive = true, std::vector<TSkippedEntry>* skipped = nullptr);

// A folder's listing in two steps, so that a walk can spread them over two
// threads: ScanFolder opens the folder and reads its names, with the stat
// data of the entries that may be folders (a walk needs them to go on);
// FinishScan reads the stat data of the others and gives what
// FindFiles(folder + "*.*", faAnyFile, error, query_archive, skipped) gives.
// An entry that became a folder between the two steps is left out, as if it
// had appeared after the listing.
class TFolderScan {
 public:
  TFolderScan() = default;
  ~TFolderScan();
  TFolderScan(TFolderScan&& other) noexcept;
  TFolderScan& operator=(TFolderScan&& other) noexcept;
  TFolderScan(const TFolderScan&) = delete;
  TFolderScan& operator=(const TFolderScan&) = delete;

  struct Subfolder {
    std::string name;
    uint64_t device = 0;
    uint64_t inode = 0;
  };
  // The folders in it, in listing order.
  std::vector<Subfolder> Subfolders() const;
  // The folder's own device and inode, when known.
  bool Identity(uint64_t& device, uint64_t& inode) const;
  // Names read, folders or not.
  size_t Size() const;

  struct State;  // what the scan read, defined where it is used
 private:
  friend TFolderScan ScanFolder(const std::string& folder);
  friend std::vector<TSearchRec> FinishScan(TFolderScan&& scan, int* error, bool query_archive,
                                            std::vector<TSkippedEntry>* skipped);
  State* state_ = nullptr;
};

// `folder` ends in "/".
TFolderScan ScanFolder(const std::string& folder);
std::vector<TSearchRec> FinishScan(TFolderScan&& scan, int* error = nullptr, bool query_archive = true,
                                   std::vector<TSkippedEntry>* skipped = nullptr);

// FindFirst on the path of one file or folder: false when nothing is there.
bool FindOne(const std::string& path, int attr_mask, TSearchRec& rec);

// Case-insensitive (letters a to z) match of a name against a mask with "*"
// and "?"; "*.*" and "*" match every name.
bool MatchesMask(std::string_view name, std::string_view mask);

// The delphi-style handle API over FindFiles, for callers that walk one entry
// at a time. FindFirst returns 0 when an entry was found.
struct TSearchHandle {
  std::vector<TSearchRec> entries;
  size_t next = 0;
};
int FindFirst(const std::string& pattern, int attr_mask, TSearchHandle& handle, TSearchRec& rec);
int FindNext(TSearchHandle& handle, TSearchRec& rec);
void FindClose(TSearchHandle& handle);

}  // namespace zamo
