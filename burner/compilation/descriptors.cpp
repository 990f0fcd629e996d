// descriptors.cpp: volume descriptors, byte for byte (ECMA-119 8.4, 8.5, 8.3;
// Joliet: the supplementary descriptor with escape sequence "%/@").
#include "burner/compilation/descriptors.h"

#include <algorithm>
#include <string_view>

#include "burner/compilation/dir_record.h"
#include "burner/compilation/iso9660_layout.h"
#include "burner/compilation/names.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

using FieldWriter = void (*)(std::span<uint8_t>, std::string_view);

void PutUpperAnsi(std::span<uint8_t> field, std::string_view text) { PutAnsiField(field, AsciiUpper(text)); }

void PutHeader(Sector& s, uint8_t type) {
  s[kVdType] = type;
  std::copy_n(kVdStandardId, kVdStandardIdLength, s.begin() + kVdId);
  s[kVdVersion] = 1;
}

void PutDate(Sector& s, size_t at, const DescriptorDate& date) {
  std::copy(date.begin(), date.end(), s.begin() + at);
}

// The layout both descriptors share; `text` writes the identifier fields and
// `file_id_length` is the whole field (primary) or 36 bytes (Joliet: 18 UCS-2
// characters).
Sector MakeVolumeDescriptor(uint8_t type, const VolumeFields& f, FieldWriter text, size_t file_id_length) {
  Sector s{};
  std::span<uint8_t> all(s);
  PutHeader(s, type);
  text(all.subspan(kVdSystemId, kVdShortIdLength), f.ids.system);
  text(all.subspan(kVdVolumeId, kVdShortIdLength), f.ids.volume);
  PutBoth32(all, kVdSpaceSize, f.volume_space_size);
  PutBoth16(all, kVdSetSize, 1);
  PutBoth16(all, kVdSequence, 1);
  PutBoth16(all, kVdBlockSize, 2048);
  PutBoth32(all, kVdPathTableSize, f.path_table_size);
  PutLe32(all, kVdPathTableL, f.path_table_l);
  PutBe32(all, kVdPathTableM, f.path_table_m);
  // Root record: zero date, directory flag, identifier 00h.
  static constexpr char kRootId[] = {'\0'};
  PutDirectoryRecord(all.subspan(kVdRoot, kVdRootLength),
                     RecordFields{f.root_extent, f.root_size, RecordDate{}, kFlagDirectory,
                                  std::string_view(kRootId, 1)});
  text(all.subspan(kVdVolumeSetId, kVdLongIdLength), f.ids.volume_set);
  text(all.subspan(kVdPublisherId, kVdLongIdLength), f.ids.publisher);
  text(all.subspan(kVdPreparerId, kVdLongIdLength), f.ids.preparer);
  text(all.subspan(kVdApplicationId, kVdLongIdLength), f.ids.application);
  text(all.subspan(kVdCopyrightFile, file_id_length), f.ids.copyright_file);
  text(all.subspan(kVdAbstractFile, file_id_length), f.ids.abstract_file);
  text(all.subspan(kVdBibliographicFile, file_id_length), f.ids.bibliographic_file);
  PutDate(s, kVdExpiration, ZeroDescriptorDate());
  PutDate(s, kVdEffective, ZeroDescriptorDate());
  s[kVdStructureVersion] = 1;
  // Eight blanks at bytes 1024 to 1031 (offset 141 of the application use area).
  std::fill_n(s.begin() + 1024, 8, uint8_t{0x20});
  static_assert(kVdApplicationUse + 141 == 1024);
  return s;
}

}  // namespace

Sector MakePrimaryDescriptor(const VolumeFields& f) {
  // Bytes 88 to 119 stay zero (ECMA-119 8.4.9). The Joliet escape sequence
  // there makes readers take the primary descriptor for the Joliet one
  // (isoinfo reads the ISO 9660 names as UCS-2) or reject the volume
  // (libarchive): it belongs to the supplementary descriptor only.
  Sector s = MakeVolumeDescriptor(kVdTypePrimary, f, PutUpperAnsi, kVdFileIdLength);
  PutDate(s, kVdCreation, MakeDescriptorDate(f.creation));
  PutDate(s, kVdModification, MakeDescriptorDate(f.modification));
  return s;
}

Sector MakeJolietDescriptor(const VolumeFields& f) {
  Sector s = MakeVolumeDescriptor(kVdTypeSupplementary, f, PutUcs2Field, kVdFileIdLength - 1);
  s[kVdFlags] = 0;
  std::copy(std::begin(kJolietEscape), std::end(kJolietEscape), s.begin() + kVdEscapes);
  PutDate(s, kVdCreation, MakeDescriptorDate(f.creation));
  PutDate(s, kVdModification, MakeDescriptorDate(f.modification));
  return s;
}

Sector MakeTerminator() {
  Sector s{};
  PutHeader(s, kVdTypeTerminator);
  return s;
}

}  // namespace zamo
