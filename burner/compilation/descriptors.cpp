// descriptors.cpp: volume descriptors, byte for byte (ECMA-119 8.4, 8.5, 8.3;
// Joliet: the supplementary descriptor with escape sequence "%/@").
#include "burner/compilation/descriptors.h"

#include <algorithm>
#include <string_view>

#include "burner/compilation/dir_record.h"
#include "burner/compilation/names.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

constexpr size_t kVdType = 0, kVdId = 1, kVdVersion = 6, kVdFlags = 7, kVdSystemId = 8, kVdVolumeId = 40,
                 kVdSpaceSize = 80, kVdEscapes = 88, kVdSetSize = 120, kVdSequence = 124, kVdBlockSize = 128,
                 kVdPathTableSize = 132, kVdPathTableL = 140, kVdPathTableM = 148, kVdRoot = 156,
                 kVdVolumeSetId = 190, kVdPublisherId = 318, kVdPreparerId = 446, kVdApplicationId = 574,
                 kVdCopyrightFile = 702, kVdAbstractFile = 739, kVdBibliographicFile = 776, kVdCreation = 813,
                 kVdModification = 830, kVdExpiration = 847, kVdEffective = 864, kVdStructureVersion = 881,
                 kVdApplicationUse = 883;
constexpr uint8_t kJolietEscape[] = {0x25, 0x2F, 0x40};

using FieldWriter = void (*)(std::span<uint8_t>, std::string_view);

void PutUpperAnsi(std::span<uint8_t> field, std::string_view text) { PutAnsiField(field, AsciiUpper(text)); }

void PutHeader(Sector& s, uint8_t type) {
  s[kVdType] = type;
  std::copy_n("CD001", 5, s.begin() + kVdId);
  s[kVdVersion] = 1;
}

void PutDate(Sector& s, size_t at, const std::array<uint8_t, 17>& date) {
  std::copy(date.begin(), date.end(), s.begin() + at);
}

// The layout both descriptors share; `text` writes the identifier fields and
// `file_id_length` is 37 (primary) or 36 (Joliet: 18 UCS-2 characters).
Sector MakeVolumeDescriptor(uint8_t type, const VolumeFields& f, FieldWriter text, size_t file_id_length) {
  Sector s{};
  std::span<uint8_t> all(s);
  PutHeader(s, type);
  text(all.subspan(kVdSystemId, 32), f.ids.system);
  text(all.subspan(kVdVolumeId, 32), f.ids.volume);
  PutBoth32(all, kVdSpaceSize, f.volume_space_size);
  PutBoth16(all, kVdSetSize, 1);
  PutBoth16(all, kVdSequence, 1);
  PutBoth16(all, kVdBlockSize, 2048);
  PutBoth32(all, kVdPathTableSize, f.path_table_size);
  PutLe32(all, kVdPathTableL, f.path_table_l);
  PutBe32(all, kVdPathTableM, f.path_table_m);
  // Root record: zero date, directory flag, identifier 00h.
  static constexpr char kRootId[] = {'\0'};
  PutDirectoryRecord(all.subspan(kVdRoot, 34),
                     RecordFields{f.root_extent, f.root_size, RecordDate{}, kFlagDirectory,
                                  std::string_view(kRootId, 1)});
  text(all.subspan(kVdVolumeSetId, 128), f.ids.volume_set);
  text(all.subspan(kVdPublisherId, 128), f.ids.publisher);
  text(all.subspan(kVdPreparerId, 128), f.ids.preparer);
  text(all.subspan(kVdApplicationId, 128), f.ids.application);
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
  Sector s = MakeVolumeDescriptor(1, f, PutUpperAnsi, 37);
  PutDate(s, kVdCreation, MakeDescriptorDate(f.creation));
  PutDate(s, kVdModification, MakeDescriptorDate(f.modification));
  return s;
}

Sector MakeJolietDescriptor(const VolumeFields& f) {
  Sector s = MakeVolumeDescriptor(2, f, PutUcs2Field, 36);
  s[kVdFlags] = 0;
  std::copy(std::begin(kJolietEscape), std::end(kJolietEscape), s.begin() + kVdEscapes);
  PutDate(s, kVdCreation, MakeDescriptorDate(f.creation));
  PutDate(s, kVdModification, MakeDescriptorDate(f.modification));
  return s;
}

Sector MakeTerminator() {
  Sector s{};
  PutHeader(s, 0xFF);
  return s;
}

}  // namespace zamo
