// image_head.cpp: builds the image head in memory: system area, volume
// descriptors, path tables, directory extents, boot catalog and padding;
// and the boot information table the writers lay over the boot image's copy.
// File data never goes into it.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <optional>
#include <vector>

#include "burner/compilation/descriptors.h"
#include "burner/compilation/dir_record.h"
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

}  // namespace

bool TVeskBurner::BuildImageHeader(bool to_image_file, TDEntry* import_into) {
  ImageMode = to_image_file;
  ImportTarget = import_into;
  ImageStream.Clear();
  // The head's size is known from the layout: reserved at once, it takes no
  // more memory than it holds (growing by doubling could take twice that).
  const int64_t head_end = Bootable ? BootImageLba : FirstFileLba;
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
  for (const TDEntry* dir : DirEntries()) WriteIsoDirectory(dir, IsoDirBase, FirstFileLba);
  if (JolietFileSystem) {
    for (const TDEntry* dir : DirEntries()) WriteJolietDirectory(dir, JolietDirBase, FirstFileLba);
  }
  if (Bootable) WriteBootCatalog();
  MakeBootInfo();
  // After a short boot image the padding follows the image, not the catalog.
  const int64_t head_padding = PadSectors - PadAfterBoot;
  if (head_padding > 0) ImageStream.AppendZeros(static_cast<size_t>(head_padding) * kSectorSize);
  SessionSectors = VolumeSpaceSize - SessionStart;
  DoDebug = true;
  return true;
}

RecordDate TVeskBurner::RecordDateOf(TDateTime value) {
  const auto hour = static_cast<int64_t>(std::floor(value * 24.0));
  auto [it, added] = offset_by_hour_.try_emplace(hour, GmtOffset);
  if (added) {
    int16_t quarters = 0;
    if (GmtOffsetQuartersAt(value, quarters)) it->second = quarters;
  }
  return MakeRecordDate(value, it->second);
}

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

void TVeskBurner::WriteBootCatalog() {
  // An emulated disk's boot sector is one 512-byte sector; a no-emulation
  // program is as many as BootLoadSize says.
  const bool none = BootEmulation == TBootEmulation::kNone;
  const uint16_t sectors = !none ? 1 : BootLoadSize != 0 ? BootLoadSize : kDefaultBootLoadSize;
  ImageStream.Append(
      MakeBootCatalog(BootMediaType(BootSectors, BootEmulation), static_cast<uint32_t>(BootImageLba), sectors));
}

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
  WriteDirectory(dir, base, file_base, false);
}

void TVeskBurner::WriteJolietDirectory(const TDEntry* dir, int32_t base, int32_t file_base) {
  WriteDirectory(dir, base, file_base, true);
}

void TVeskBurner::WriteDirectory(const TDEntry* dir, int32_t base, int32_t file_base, bool joliet) {
  const auto size = static_cast<size_t>(joliet ? dir->JolietSize : dir->IsoSize);
  const size_t start = static_cast<size_t>(ImageStream.Size());
  ImageStream.AppendZeros(size);
  std::span<uint8_t> extent = ImageStream.MutableMemory().subspan(start, size);
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
    const RecordDate now = RecordDateOf(Clock());
    const TDEntry* parent = dir->Parent;
    const auto sector = [joliet](const TDEntry* d) { return joliet ? d->JolietSector : d->IsoSector; };
    const auto bytes = [joliet](const TDEntry* d) { return joliet ? d->JolietSize : d->IsoSize; };
    put({static_cast<uint32_t>(base + sector(dir)), static_cast<uint32_t>(bytes(dir)), now, kFlagDirectory,
         std::string_view("\0", 1)});
    put({static_cast<uint32_t>(base + sector(parent)), static_cast<uint32_t>(bytes(parent)), now, kFlagDirectory,
         std::string_view("\1", 1)});
  }
  for (const TFEntry* child = first; child != nullptr; child = child->Next) {
    const std::string id = joliet ? JolietIdentifier(*child) : IsoIdentifier(*child);
    const int32_t relative = joliet ? child->JolietExtent : child->IsoExtent;
    const int64_t length = joliet ? child->JolietSize : child->IsoSize;
    uint32_t extent_lba = 0;
    if (IsDirectoryEntry(child)) {
      extent_lba = static_cast<uint32_t>(base + relative);
    } else if (length == 0) {
      extent_lba = 0;
    } else if (child->Imported) {
      extent_lba = static_cast<uint32_t>(relative);
    } else {
      extent_lba = static_cast<uint32_t>(file_base + relative);
    }
    uint8_t flags = IsDirectoryEntry(child) ? kFlagDirectory : 0;
    if ((child->Attr & faHidden) != 0) flags |= kFlagHidden;
    const RecordDate date = RecordDateOf(child->DateTime);
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

}  // namespace zamo
