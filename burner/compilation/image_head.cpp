// image_head.cpp: builds the image head: system area, volume descriptors
// and path tables in memory; directory extents, boot catalog and padding in
// memory after them or generated as a job reads on (HeadExtentsSource); and
// the boot information table the writers lay over the boot image's copy.
// File data never goes into it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "burner/compilation/descriptors.h"
#include "burner/compilation/dir_record.h"
#include "burner/compilation/image_head.h"
#include "burner/compilation/el_torito.h"
#include "burner/compilation/names.h"
#include "burner/compilation/path_table.h"
#include "burner/compilation/veskburner.h"
#include "burner/drive/messages.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/str_format.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

bool IsDirectoryEntry(const TFEntry* e) { return (e->Attr & faDirectory) != 0; }

void PadToSector(TMemoryStreamEx& stream) {
  const auto rest = static_cast<size_t>(stream.Size() % kSectorSize);
  if (rest != 0) stream.AppendZeros(kSectorSize - rest);
}

// The boot information table's checksum: the little-endian words of the
// boot image from byte 64 to its end. Nothing when the image cannot be read
// or is too short to hold the table.
std::optional<uint32_t> BootImageChecksum(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (fstat(fd, &st) != 0 || st.st_size < kBootInfoChecksumFrom) {
    close(fd);
    return std::nullopt;
  }
  // Each piece is filled whole before it is summed, so that no word
  // straddles two pieces (its size is a multiple of 4).
  std::vector<uint8_t> piece(1 << 16);
  uint32_t sum = 0;
  int64_t at = kBootInfoChecksumFrom;
  bool failed = false;
  for (bool end = false; !end && !failed;) {
    size_t filled = 0;
    while (filled < piece.size()) {
      const ssize_t n = pread(fd, piece.data() + filled, piece.size() - filled, at + static_cast<int64_t>(filled));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed = n < 0;
        end = true;
        break;
      }
      filled += static_cast<size_t>(n);
    }
    sum = AddLe32Words(sum, std::span(piece).first(filled));
    at += static_cast<int64_t>(filled);
  }
  close(fd);
  if (failed) return std::nullopt;
  return sum;
}

// The El Torito boot catalog of the compilation's boot image. An emulated
// disk's boot sector is one 512-byte sector; a no-emulation program is as
// many as BootLoadSize says.
Sector BootCatalogOf(const TVeskBurner& b) {
  const bool none = b.BootEmulation == TBootEmulation::kNone;
  const uint16_t sectors = !none ? 1 : b.BootLoadSize != 0 ? b.BootLoadSize : kDefaultBootLoadSize;
  return MakeBootCatalog(BootMediaType(b.BootSectors, b.BootEmulation), static_cast<uint32_t>(b.BootImageLba),
                         sectors);
}

struct DirectoryBases {
  int32_t dirs;   // the first sector of the tree's directories
  int32_t files;  // FirstFileLba
  bool joliet;
};

// Appends the extent of `dir` in one tree to `out`: its "." and ".."
// records dated `now` (unless the tree already has them as its first
// entries), then a record per entry in list order, dated by `date_of`.
template <typename DateOf>
void PutDirectory(std::vector<uint8_t>& out, const TDEntry* dir, const DirectoryBases& bases, const RecordDate& now,
                  DateOf date_of) {
  const bool joliet = bases.joliet;
  const auto size = static_cast<size_t>(joliet ? dir->JolietSize : dir->IsoSize);
  const size_t start = out.size();
  out.resize(start + size, 0);
  std::span<uint8_t> extent = std::span(out).subspan(start, size);
  size_t at = 0;
  // A record, or the `count` records of a file in several extents, starts
  // the next sector when it would not end in this one (the size rule of DirSize).
  auto put = [&](const RecordFields& fields, int count = 1) {
    const size_t length = DirectoryRecordLength(fields.id.size()) * static_cast<size_t>(count);
    if (at % kSectorSize + length > kSectorSize) at += kSectorSize - at % kSectorSize;
    assert(at + length <= extent.size());
    at += PutDirectoryRecord(extent.subspan(at), fields);
  };

  const TFEntry* first = dir->FirstChild;
  if (first == nullptr || !IsDotEntry(*first, joliet)) {
    const TDEntry* parent = dir->Parent;
    const auto sector = [joliet](const TDEntry* d) { return joliet ? d->JolietSector : d->IsoSector; };
    const auto bytes = [joliet](const TDEntry* d) { return joliet ? d->JolietSize : d->IsoSize; };
    put({static_cast<uint32_t>(bases.dirs + sector(dir)), static_cast<uint32_t>(bytes(dir)), now, kFlagDirectory,
         std::string_view("\0", 1)});
    put({static_cast<uint32_t>(bases.dirs + sector(parent)), static_cast<uint32_t>(bytes(parent)), now,
         kFlagDirectory, std::string_view("\1", 1)});
  }
  for (const TFEntry* child = first; child != nullptr; child = child->Next) {
    const std::string id = joliet ? JolietIdentifier(*child) : IsoIdentifier(*child);
    const int32_t relative = joliet ? child->JolietExtent : child->IsoExtent;
    const int64_t length = joliet ? child->JolietSize : child->IsoSize;
    uint32_t extent_lba = 0;
    if (IsDirectoryEntry(child)) {
      extent_lba = static_cast<uint32_t>(bases.dirs + relative);
    } else if (length == 0) {
      extent_lba = 0;
    } else if (child->Imported) {
      extent_lba = static_cast<uint32_t>(relative);
    } else {
      extent_lba = static_cast<uint32_t>(bases.files + relative);
    }
    uint8_t flags = IsDirectoryEntry(child) ? kFlagDirectory : 0;
    if ((child->Attr & faHidden) != 0) flags |= kFlagHidden;
    const RecordDate date = date_of(child->DateTime);
    const int extents = IsDirectoryEntry(child) ? 1 : ExtentCount(length);
    if (extents == 1) {
      put({extent_lba, static_cast<uint32_t>(length), date, flags, id});
      continue;
    }
    // A file of 4 GiB or more: its extents follow one another from its
    // first sector, each in a record of its own.
    put({extent_lba, ExtentBytes(length, 0), date, static_cast<uint8_t>(flags | kFlagNotFinal), id}, extents);
    for (int k = 1; k < extents; ++k) {
      const uint8_t part_flags = k + 1 < extents ? static_cast<uint8_t>(flags | kFlagNotFinal) : flags;
      put({extent_lba + static_cast<uint32_t>(k) * kMaxExtentSectors, ExtentBytes(length, k), date, part_flags, id});
    }
  }
}

}  // namespace

bool TVeskBurner::BuildImageHeader(bool to_image_file, TDEntry* import_into, THeadExtents extents) {
  ImageMode = to_image_file;
  ImportTarget = import_into;
  ImageStream.Clear();
  head_extents_in_stream_ = extents == THeadExtents::kInStream;
  head_date_ = RecordDateOf(Clock());
  // The head's size is known from the layout: reserved at once, it takes no
  // more memory than it holds (growing by doubling could take twice that).
  // Without the directory extents it ends with the path tables, where the
  // ISO 9660 directories begin.
  const int64_t head_end = !head_extents_in_stream_ ? IsoDirBase : Bootable ? BootImageLba : FirstFileLba;
  ImageStream.Reserve(static_cast<size_t>(std::max<int64_t>(head_end - SessionStart, 0)) * kSectorSize);
  ImageStream.AppendZeros(16 * kSectorSize);  // the system area
  WritePrimaryDescriptor();
  if (Bootable) WriteBootRecord();
  if (JolietFileSystem) WriteJolietDescriptor();
  WriteTerminator();

  HeaderCopy.assign(kHeaderCopyBytes, 0xFF);
  const auto head = ImageStream.Memory();
  std::copy(head.begin(), head.end(), HeaderCopy.begin());
  HeaderCopySize = static_cast<int>(head.size());

  WriteIsoPathTable(IsoDirBase, false);
  WriteIsoPathTable(IsoDirBase, true);
  if (JolietFileSystem) {
    WriteJolietPathTable(JolietDirBase, false);
    WriteJolietPathTable(JolietDirBase, true);
  }
  MakeBootInfo();
  if (head_extents_in_stream_) {
    HeadExtentsSource rest(*this, head_date_);
    const size_t at = static_cast<size_t>(ImageStream.Size());
    ImageStream.AppendZeros(static_cast<size_t>(rest.Size()));
    rest.Read(ImageStream.MutableMemory().subspan(at));
  }
  SessionSectors = VolumeSpaceSize - SessionStart;
  DoDebug = true;
  return true;
}

std::shared_ptr<HeadExtentsSource> TVeskBurner::NewHeadExtents() const {
  if (head_extents_in_stream_) return nullptr;
  return std::make_shared<HeadExtentsSource>(*this, head_date_);
}

RecordDate CachedRecordDate(TDateTime value, int16_t fallback, std::unordered_map<int64_t, int16_t>& offset_by_hour) {
  const auto hour = static_cast<int64_t>(std::floor(value * 24.0));
  auto [it, added] = offset_by_hour.try_emplace(hour, fallback);
  if (added) {
    int16_t quarters = 0;
    if (GmtOffsetQuartersAt(value, quarters)) it->second = quarters;
  }
  return MakeRecordDate(value, it->second);
}

RecordDate TVeskBurner::RecordDateOf(TDateTime value) { return CachedRecordDate(value, GmtOffset, offset_by_hour_); }

void TVeskBurner::WritePrimaryDescriptor() {
  VolumeFields f;
  f.ids = {IdSystem, IdVolume, IdVolumeSet, IdPublisher, IdPreparer, IdApplication,
           FileCopyright, FileAbstract, FileBibliographic};
  f.volume_space_size = static_cast<uint32_t>(VolumeSpaceSize);
  f.path_table_size = static_cast<uint32_t>(IsoPathTableSize);
  f.path_table_l = static_cast<uint32_t>(IsoPathTableL);
  f.path_table_m = static_cast<uint32_t>(IsoPathTableM);
  f.root_extent = static_cast<uint32_t>(IsoDirBase + RootDir->IsoSector);
  f.root_size = static_cast<uint32_t>(RootDir->IsoSize);
  f.creation = Clock();
  f.modification = Clock();
  ImageStream.Append(MakePrimaryDescriptor(f));
}

void TVeskBurner::WriteJolietDescriptor() {
  VolumeFields f;
  f.ids = {IdSystem, IdVolume, IdVolumeSet, IdPublisher, IdPreparer, IdApplication,
           FileCopyright, FileAbstract, FileBibliographic};
  f.volume_space_size = static_cast<uint32_t>(VolumeSpaceSize);
  f.path_table_size = static_cast<uint32_t>(JolietPathTableSize);
  f.path_table_l = static_cast<uint32_t>(JolietPathTableL);
  f.path_table_m = static_cast<uint32_t>(JolietPathTableM);
  f.root_extent = static_cast<uint32_t>(JolietDirBase + RootDir->JolietSector);
  f.root_size = static_cast<uint32_t>(RootDir->JolietSize);
  f.creation = DateCreation;
  f.modification = DateModification;
  ImageStream.Append(MakeJolietDescriptor(f));
}

void TVeskBurner::WriteTerminator() { ImageStream.Append(MakeTerminator()); }

void TVeskBurner::WriteBootRecord() { ImageStream.Append(MakeBootRecord(static_cast<uint32_t>(BootCatalogLba))); }

void TVeskBurner::WriteBootCatalog() { ImageStream.Append(BootCatalogOf(*this)); }

void TVeskBurner::MakeBootInfo() {
  BootInfo.clear();
  if (!Bootable || !BootInfoTable || BootEmulation != TBootEmulation::kNone) return;
  const std::optional<uint32_t> checksum = BootImageChecksum(BootImage);
  struct stat st {};
  if (!checksum || stat(BootImage.c_str(), &st) != 0) {
    DebugMessage(">>> " + StrFormat(msg::kBootInfoNotWritten, DisplayUtf8(BootImage).c_str()), kMsgCompilation);
    return;
  }
  const auto table =
      MakeBootInfoTable(static_cast<uint32_t>(SessionStart + 16), static_cast<uint32_t>(BootImageLba),
                        static_cast<uint32_t>(st.st_size), *checksum);
  BootInfo.assign(table.begin(), table.end());
}

void TVeskBurner::WriteIsoPathTable(int32_t base, bool big_endian) { WritePathTable(base, big_endian, false); }

void TVeskBurner::WriteJolietPathTable(int32_t base, bool big_endian) { WritePathTable(base, big_endian, true); }

void TVeskBurner::WritePathTable(int32_t base, bool big_endian, bool joliet) {
  const ByteOrder order = big_endian ? ByteOrder::kBig : ByteOrder::kLittle;
  std::array<uint8_t, kPtId + 256> record{};
  // The root first: identifier 00h, its own parent.
  ImageStream.Append(std::span(record).first(
      PutPathTableRecord(record, std::string_view("\0", 1), static_cast<uint32_t>(base), 1, order)));
  for (const TDEntry* dir : (joliet ? JolietDirOrder() : IsoDirOrder()).subspan(1)) {
    const std::string id = joliet ? JolietNameBytes(dir->LongName) : ToCp1252(dir->IsoName);
    const int32_t sector = joliet ? dir->JolietSector : dir->IsoSector;
    const size_t length = PutPathTableRecord(record, id, static_cast<uint32_t>(base + sector),
                                             static_cast<uint16_t>(dir->Parent->Number), order);
    ImageStream.Append(std::span(record).first(length));
  }
  PadToSector(ImageStream);
}

void TVeskBurner::WriteIsoDirectory(const TDEntry* dir, int32_t base, int32_t file_base) {
  std::vector<uint8_t> extent;
  PutDirectory(extent, dir, {base, file_base, false}, RecordDateOf(Clock()),
               [this](TDateTime value) { return RecordDateOf(value); });
  ImageStream.Append(extent);
}

void TVeskBurner::WriteJolietDirectory(const TDEntry* dir, int32_t base, int32_t file_base) {
  std::vector<uint8_t> extent;
  PutDirectory(extent, dir, {base, file_base, true}, RecordDateOf(Clock()),
               [this](TDateTime value) { return RecordDateOf(value); });
  ImageStream.Append(extent);
}

HeadExtentsSource::HeadExtentsSource(const TVeskBurner& burner, RecordDate now) : burner_(burner), now_(now) {
  for (const TDEntry* dir : burner.DirEntries()) {
    size_ += dir->IsoSize;
    if (burner.JolietFileSystem) size_ += dir->JolietSize;
  }
  if (burner.Bootable) size_ += kSectorSize;
  // After a short boot image the padding follows the image, not the catalog.
  padding_left_ = std::max<int64_t>(burner.PadSectors - burner.PadAfterBoot, 0) * kSectorSize;
  size_ += padding_left_;
}

size_t HeadExtentsSource::Read(std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    if (window_at_ < window_.size()) {
      const size_t n = std::min(out.size() - done, window_.size() - window_at_);
      std::memcpy(out.data() + done, window_.data() + window_at_, n);
      window_at_ += n;
      done += n;
    } else if (part_ == Part::kPadding) {
      // Zeros need no window.
      const auto n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(out.size() - done), padding_left_));
      std::memset(out.data() + done, 0, n);
      padding_left_ -= static_cast<int64_t>(n);
      done += n;
      if (padding_left_ == 0) part_ = Part::kEnd;
    } else if (part_ == Part::kEnd) {
      break;
    } else {
      Refill();
    }
  }
  position_ += static_cast<int64_t>(done);
  return done;
}

void HeadExtentsSource::Refill() {
  window_.clear();
  window_at_ = 0;
  const auto dirs = burner_.DirEntries();
  while (window_.size() < kWindowTarget) {
    if (part_ == Part::kIsoDirectories || part_ == Part::kJolietDirectories) {
      const bool joliet = part_ == Part::kJolietDirectories;
      if (next_dir_ < dirs.size()) {
        AppendDirectory(dirs[next_dir_++], joliet);
        continue;
      }
      next_dir_ = 0;
      part_ = !joliet && burner_.JolietFileSystem ? Part::kJolietDirectories : Part::kBootCatalog;
    } else if (part_ == Part::kBootCatalog) {
      if (burner_.Bootable) {
        const Sector catalog = BootCatalogOf(burner_);
        window_.insert(window_.end(), catalog.begin(), catalog.end());
      }
      part_ = Part::kPadding;
    } else {
      break;
    }
  }
  peak_window_ = std::max(peak_window_, window_.size());
  // A directory far larger than the target leaves no large buffer behind.
  if (window_.capacity() > 4 * kWindowTarget && window_.size() < window_.capacity() / 4) window_.shrink_to_fit();
}

void HeadExtentsSource::AppendDirectory(const TDEntry* dir, bool joliet) {
  const DirectoryBases bases{joliet ? burner_.JolietDirBase : burner_.IsoDirBase, burner_.FirstFileLba, joliet};
  PutDirectory(window_, dir, bases, now_, [this](TDateTime value) { return DateOf(value); });
}

RecordDate HeadExtentsSource::DateOf(TDateTime value) {
  return CachedRecordDate(value, burner_.GmtOffset, offset_by_hour_);
}

}  // namespace zamo
