// session_reader.cpp: the walk of a session's directory tree into the
// compilation.
#include "burner/import/session_reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#include "burner/compilation/names.h"
#include "burner/import/import_messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

using iso::DirRecord;
using iso::Parse;

constexpr uint32_t kDescriptorSetStart = 16;  // the system area comes first
constexpr uint32_t kDescriptorSectors = 21;   // sectors 16 to 36 of the session are searched
// Identifiers from this length on are refused. A Joliet identifier of 220
// bytes (110 UCS-2 units, ";1" included) is the longest a record holds with
// its padding byte, and the longest this program writes.
constexpr size_t kJolietIdLimit = 221;
constexpr size_t kIsoIdLimit = 240;
// Log lines about one damaged disc, before the rest is only counted.
constexpr int kMaxReports = 100;

// Bytes p..p+3 zero and p+5..p+7 "UXA": the tail of a CD-XA system-use
// field that a record's length did not cover (some mastering programs).
bool StrayXaField(iso::SectorView sector, size_t p) {
  return p + 8 <= sector.size() && sector[p] == 0 && sector[p + 1] == 0 && sector[p + 2] == 0 && sector[p + 3] == 0 &&
         sector[p + 5] == 0x55 && sector[p + 6] == 0x58 && sector[p + 7] == 0x41;
}

// The recording date as the tree's add operations take it: the exact
// instant, and the DOS form (0 outside 1980-2107). An invalid date gives the
// current time, as a file time that cannot be converted does when files are
// added from disk.
void SetRecordTime(const DirRecord& record, TSearchRec& rec, const std::function<TDateTime()>& clock) {
  time_t seconds = 0;
  if (!RecordDateToUnix(record.date, seconds)) {
    rec.Time = 0;
    if (!DateTimeToUnix(clock(), seconds)) seconds = 0;
    rec.ModifiedSeconds = seconds;
    return;
  }
  rec.ModifiedSeconds = seconds;
  TDateTime local = 0;
  if (DateTimeFromUnix(seconds, 0, local)) {
    const DateTimeFields f = DecodeDateTime(local);
    if (f.year >= 1980 && f.year <= 2107) rec.Time = static_cast<int32_t>(DosDateTimeFromFields(f));
  }
}

}  // namespace

std::string DiscName(const TFEntry& entry) {
  const std::string& name = entry.LongName;
  if ((entry.Attr & faDirectory) == 0 && name.size() > 1 && name.back() == '.' && name.find('.') == name.size() - 1)
    return name.substr(0, name.size() - 1);
  return name;
}

SessionTreeReader::SessionTreeReader(TVeskBurner& burner, SectorReader read, ImportLimits limits)
    : burner_(burner), read_(std::move(read)), limits_(limits) {}

SessionTreeReader::Tree SessionTreeReader::ReadSession(uint32_t start, TDEntry* into) {
  if (start > UINT32_MAX - kDescriptorSetStart - kDescriptorSectors) return Tree::kNone;
  std::vector<uint8_t> joliet, primary;
  std::array<uint8_t, iso::kSectorBytes> sector{};
  for (uint32_t lba = start + kDescriptorSetStart; lba < start + kDescriptorSetStart + kDescriptorSectors; ++lba) {
    sector.fill(0);
    if (!read_(lba, sector.data())) continue;  // an unreadable sector is passed over
    const iso::Descriptor kind = iso::ClassifyDescriptor(sector);
    if (kind == iso::Descriptor::kTerminator) break;
    if (kind == iso::Descriptor::kJoliet && joliet.empty()) joliet.assign(sector.begin(), sector.end());
    if (kind == iso::Descriptor::kPrimary && primary.empty()) primary.assign(sector.begin(), sector.end());
  }
  if (joliet.empty() && primary.empty()) return Tree::kNone;

  // The Joliet tree is preferred; the ISO 9660 tree stands in when the
  // Joliet root cannot be read.
  for (const bool use_joliet : {true, false}) {
    const std::vector<uint8_t>& descriptor = use_joliet ? joliet : primary;
    if (descriptor.empty() || stopped_) continue;
    const uint32_t volume_size = iso::DescriptorVolumeSize(descriptor);
    // A volume must at least hold its descriptors; a smaller size says nothing.
    volume_end_ = volume_size > start + kDescriptorSetStart ? volume_size : 0;
    const iso::Extent root = iso::DescriptorRoot(descriptor);
    if (!InsideVolume(root.lba, root.length, "\\")) continue;
    if (ReadDirectory(root.lba, root.length, into, use_joliet)) return use_joliet ? Tree::kJoliet : Tree::kIso9660;
  }
  return Tree::kUnreadable;
}

bool SessionTreeReader::ReadDirectory(uint32_t lba, uint32_t length, TDEntry* into, bool joliet) {
  if (into == nullptr) return false;
  visited_.clear();
  visited_.insert(lba);
  const std::string path = into == burner_.RootDir ? "" : DisplayUtf8(into->Path);
  return ReadTree(lba, length, into, joliet, 0, path);
}

bool SessionTreeReader::ReadTree(uint32_t lba, uint32_t length, TDEntry* into, bool joliet, int depth,
                                 const std::string& path) {
  const int64_t sectors = SectorsFor(length);
  if (sectors == 0) {  // a directory holds at least its "." and ".." records
    Report(StrFormat(msg::kImportBadRecord, (path.empty() ? "\\" : path).c_str(), lba));
    return false;
  }
  Chain chain;
  const bool read = ReadSectors(lba, sectors, into, joliet, depth, path, chain);
  // The directory ended, or could not be read further, before the last
  // part of a file in several extents: its size is not known.
  if (!chain.name.empty() && !stopped_) Report(StrFormat(msg::kImportChainIncomplete, DisplayUtf8(chain.path).c_str()));
  return read;
}

bool SessionTreeReader::ReadSectors(uint32_t lba, int64_t sectors, TDEntry* into, bool joliet, int depth,
                                    const std::string& path, Chain& chain) {
  const std::string shown = path.empty() ? "\\" : path;
  std::vector<uint8_t> buffer(iso::kSectorBytes);  // this level's own copy: recursion keeps it intact
  for (int64_t i = 0; i < sectors && !stopped_; ++i) {
    const auto sector_lba = static_cast<uint32_t>(lba + i);
    if (directory_sectors_ >= limits_.max_directory_sectors) {
      Stop(StrFormat(msg::kImportTooMuchDirectoryData, static_cast<int>(limits_.max_directory_sectors)));
      return i > 0;
    }
    ++directory_sectors_;
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    if (!read_(sector_lba, buffer.data())) {
      Report(StrFormat(msg::kImportUnreadable, sector_lba, shown.c_str()));
      return i > 0;
    }
    const iso::SectorView sector(buffer);
    size_t p = 0;
    while (p + kDrMinLength <= sector.size() && !stopped_) {
      if (!joliet && StrayXaField(sector, p)) {
        p += 14;
        continue;
      }
      DirRecord record;
      const Parse parsed = iso::ParseRecord(sector, p, record);
      if (parsed == Parse::kEndOfSector) {
        // A writer leaves the rest of the sector zero (ECMA-119 6.8.1.1):
        // anything else there is a record whose length byte was lost.
        if (std::any_of(sector.begin() + static_cast<std::ptrdiff_t>(p), sector.end(), [](uint8_t b) { return b != 0; }))
          Report(StrFormat(msg::kImportBadRecord, shown.c_str(), sector_lba));
        break;
      }
      if (parsed == Parse::kMalformed) {
        Report(StrFormat(msg::kImportBadRecord, shown.c_str(), sector_lba));
        break;
      }
      p += record.length;
      if (++records_ > limits_.max_records) {
        Stop(StrFormat(msg::kImportTooManyRecords, static_cast<int>(limits_.max_records)));
        break;
      }
      if (parsed == Parse::kBadRecord) {
        Report(StrFormat(msg::kImportBadRecord, shown.c_str(), sector_lba));
        continue;
      }
      if (iso::IsSelfOrParent(record)) continue;
      if (record.flags & kFlagAssociated) continue;  // resource forks and the like: no file of their own
      AddRecord(record, into, joliet, depth, path, chain);
    }
  }
  return true;
}

void SessionTreeReader::AddRecord(const DirRecord& record, TDEntry* into, bool joliet, int depth,
                                  const std::string& path, Chain& chain) {
  std::string name = joliet ? iso::JolietNameToAnsi(record.id) : iso::IsoNameToAnsi(record.id);
  if (record.id.size() >= (joliet ? kJolietIdLimit : kIsoIdLimit)) {
    // Reported and left out: the record is never added under another name.
    Report(std::string(msg::kImportNameTooLong) + "\n\r" + DisplayUtf8(name), /*progress_prefix=*/false);
    return;
  }
  if (!iso::MakeSafeName(name)) {
    Report(StrFormat(msg::kImportBadName, (path.empty() ? "\\" : path).c_str()));
    return;
  }
  const std::string child_path = path + "\\" + name;
  const bool directory = (record.flags & kFlagDirectory) != 0;

  // A file in several extents: records of one name, each but the last
  // flagged "not final", one after the other in the directory.
  if (!chain.name.empty()) {
    if (!directory && name == chain.name) {
      if (AddPart(record, chain)) EndChain(chain, into);
      return;
    }
    Report(StrFormat(msg::kImportChainIncomplete, DisplayUtf8(chain.path).c_str()));
    chain = Chain{};
  }
  if (!directory && (record.flags & kFlagNotFinal)) {
    chain.name = name;
    chain.path = child_path;
    chain.first = record;
    chain.first.id = {};  // points into a sector the next one replaces
    AddPart(record, chain);
    return;
  }

  const TSearchRec rec = SearchRecOf(record, name, directory);
  if (directory) {
    AddSubdirectory(record, rec, into, joliet, depth, child_path);
  } else {
    AddImportedFile(record.extent, record.size, rec, into, child_path);
  }
}

TSearchRec SessionTreeReader::SearchRecOf(const DirRecord& record, const std::string& name, bool directory) const {
  TSearchRec rec;
  rec.Name = name;
  rec.Size = directory ? 0 : record.size;
  rec.Attr = ((record.flags & kFlagHidden) ? faHidden : 0) | (directory ? faDirectory : 0);
  rec.cAlternateFileName = MakeShortDirName(name);
  SetRecordTime(record, rec, burner_.Clock);
  return rec;
}

bool SessionTreeReader::AddPart(const DirRecord& record, Chain& chain) {
  // The parts make one run of data when each starts where the previous one
  // ended and every part but the last fills whole sectors. Empty parts
  // hold no data and break nothing.
  const bool last = (record.flags & kFlagNotFinal) == 0;
  if (record.size > 0) {
    if (chain.size == 0) {
      chain.first.extent = record.extent;  // the data starts with the first part that holds some
    } else if (record.extent != chain.next) {
      chain.contiguous = false;
    }
    if (!last && record.size % kSectorSize != 0) chain.contiguous = false;
    chain.next = uint64_t{record.extent} + static_cast<uint64_t>(SectorsFor(record.size));
    chain.size += record.size;
  }
  return last;
}

void SessionTreeReader::EndChain(Chain& chain, TDEntry* into) {
  if (!chain.contiguous) {
    Report(StrFormat(msg::kImportMultiExtent, DisplayUtf8(chain.path).c_str()));
  } else {
    TSearchRec rec = SearchRecOf(chain.first, chain.name, false);
    rec.Size = static_cast<int64_t>(chain.size);  // past the tree's largest file: refused, with a line
    AddImportedFile(chain.first.extent, rec.Size, rec, into, chain.path);
  }
  chain = Chain{};
}

void SessionTreeReader::AddSubdirectory(const DirRecord& record, const TSearchRec& rec, TDEntry* into, bool joliet,
                                        int depth, const std::string& path) {
  const std::string shown = DisplayUtf8(path);
  if (depth + 1 > limits_.max_depth) {
    Report(StrFormat(msg::kImportTooDeep, limits_.max_depth, shown.c_str()));
    return;
  }
  if (!InsideVolume(record.extent, record.size, path)) return;
  if (record.size == 0) {
    Report(StrFormat(msg::kImportBadRecord, shown.c_str(), record.extent));
    return;
  }
  if (visited_.contains(record.extent)) {
    Report(StrFormat(msg::kImportLoop, shown.c_str()));
    return;
  }
  TDEntry* dir = nullptr;
  if (TFEntry* existing = burner_.FindChild(into, rec.Name)) {
    // Imported again, or made by the compilation: the disc's contents join it.
    if (!(existing->Attr & faDirectory) || existing->Dir == nullptr) {
      Report(StrFormat(msg::kImportNameClash, shown.c_str()));
      return;
    }
    dir = existing->Dir;
  } else {
    // At a capacity of the tree the import says so itself (the tree's own
    // line would be the compilation's). Without room for a folder, the files
    // of the folders already made still come in; without room for one more
    // entry, nothing can.
    if (burner_.FileCount() >= burner_.MaxFiles()) {
      Stop(StrFormat(msg::kImportFileLimit, burner_.MaxFiles()));
      return;
    }
    if (burner_.DirectoryCount() + 1 >= burner_.MaxDirs()) {
      Report(StrFormat(msg::kImportDirectoryLimit, burner_.MaxDirs(), shown.c_str()));
      return;
    }
    dir = burner_.AddDir(into, rec);
    if (dir == nullptr) return;  // the tree said why (a name too long)
  }
  visited_.insert(record.extent);
  ReadTree(record.extent, record.size, dir, joliet, depth + 1, path);
}

void SessionTreeReader::AddImportedFile(uint32_t extent, int64_t size, const TSearchRec& rec, TDEntry* into,
                                        const std::string& path) {
  if (size > 0 && !InsideVolume(extent, static_cast<uint64_t>(size), path)) return;
  const bool damaged = PastRecordedEnd(extent, size);
  if (damaged && damaged_ == DamagedFiles::kLeaveOut) {
    Report(StrFormat(msg::kImportDamagedLeftOut, DisplayUtf8(path).c_str(), recorded_end_));
    return;
  }
  if (TFEntry* existing = burner_.FindChild(into, rec.Name)) {
    // The same file imported before stays as it is, silently; a file the
    // compilation holds under that name replaces the disc's. Anything else
    // is a second element of one name, which the tree cannot hold.
    const bool same_file =
        existing->Imported && static_cast<uint32_t>(existing->IsoExtent) == extent && existing->IsoSize == size;
    if ((existing->Attr & faDirectory) || (existing->Imported && !same_file))
      Report(StrFormat(msg::kImportNameClash, DisplayUtf8(path).c_str()));
    return;
  }
  const int before = burner_.FileCount();
  if (before >= burner_.MaxFiles()) {
    Stop(StrFormat(msg::kImportFileLimit, burner_.MaxFiles()));
    return;
  }
  if (burner_.AddFileEntry(into, rec, false, static_cast<int32_t>(extent), "") != 1) return;
  if (burner_.FileCount() != before + 1) return;
  // An empty file's extent may be 0, which the tree reads as "not
  // imported": every entry read from the disc is an imported one.
  TFEntry* entry = burner_.FileEntries()[static_cast<size_t>(before)];
  entry->Imported = true;
  entry->IsoExtent = entry->JolietExtent = static_cast<int32_t>(extent);
  if (damaged) {
    entry->Damaged = true;
    Report(StrFormat(msg::kImportDamaged, DisplayUtf8(path).c_str(), recorded_end_));
  }
}

bool SessionTreeReader::InsideVolume(uint32_t lba, uint64_t length, const std::string& path) {
  const uint64_t end = uint64_t{lba} + static_cast<uint64_t>(SectorsFor(static_cast<int64_t>(length)));
  const bool inside = lba >= kDescriptorSetStart && lba <= static_cast<uint32_t>(INT32_MAX) &&
                      (volume_end_ == 0 || end <= volume_end_);
  if (!inside)
    Report(StrFormat(msg::kImportOutsideVolume, DisplayUtf8(path).c_str(), lba, static_cast<unsigned long long>(length)));
  return inside;
}

bool SessionTreeReader::PastRecordedEnd(uint32_t extent, int64_t size) const {
  return recorded_end_ != 0 && size > 0 && uint64_t{extent} + static_cast<uint64_t>(SectorsFor(size)) > recorded_end_;
}

void SessionTreeReader::Report(const std::string& text, bool progress_prefix) {
  if (reports_ < kMaxReports) {
    burner_.DebugMessage(progress_prefix ? ">>> " + text : text, kMsgCompilation);
  } else if (reports_ == kMaxReports) {
    burner_.DebugMessage(">>> " + std::string(msg::kImportMoreErrors), kMsgCompilation);
  }
  ++reports_;
}

void SessionTreeReader::Stop(const std::string& text) {
  if (stopped_) return;
  stopped_ = true;
  burner_.DebugMessage(">>> " + text, kMsgCompilation);  // always said, whatever came before
}

}  // namespace zamo
