// iso_records.cpp: reading the structures of an ISO 9660 / Joliet session.
#include "burner/import/iso_records.h"

#include <algorithm>
#include <cstring>

#include "burner/platform/byte_order.h"
#include "burner/platform/text.h"

namespace zamo::iso {

Descriptor ClassifyDescriptor(SectorView sector) {
  if (sector.size() < kSectorBytes || std::memcmp(sector.data() + kVdId, kVdStandardId, kVdStandardIdLength) != 0) {
    return Descriptor::kOther;
  }
  switch (sector[kVdType]) {
    case kVdTypePrimary:
      return Descriptor::kPrimary;
    case kVdTypeSupplementary: {
      const uint8_t* escape = sector.data() + kVdEscapes;
      const uint8_t level = escape[2];
      const bool ucs2 = escape[0] == kJolietEscape[0] && escape[1] == kJolietEscape[1] &&
                        (level == kJolietEscape[2] || level == kJolietLevel2Final || level == kJolietLevel3Final);
      return ucs2 ? Descriptor::kJoliet : Descriptor::kOther;
    }
    case kVdTypeTerminator:
      return Descriptor::kTerminator;
    default:
      return Descriptor::kOther;
  }
}

Extent DescriptorRoot(SectorView sector) {
  return {GetLe32(sector, kVdRoot + kDrExtent), GetLe32(sector, kVdRoot + kDrSize)};
}

uint32_t DescriptorVolumeSize(SectorView sector) { return GetLe32(sector, kVdSpaceSize); }

Parse ParseRecord(SectorView sector, size_t at, DirRecord& out) {
  if (at >= sector.size()) return Parse::kEndOfSector;
  const uint8_t length = sector[at + kDrLength];
  if (length == 0) return Parse::kEndOfSector;
  if (length < kDrMinLength || at + length > sector.size()) return Parse::kMalformed;
  const SectorView record = sector.subspan(at, length);
  out.length = length;
  out.extent = GetLe32(record, kDrExtent);
  out.size = GetLe32(record, kDrSize);
  std::copy_n(record.begin() + kDrDate, out.date.size(), out.date.begin());
  out.flags = record[kDrFlags];
  const uint8_t id_length = record[kDrIdLength];
  if (id_length == 0 || kDrId + id_length > length) {
    out.id = {};
    return Parse::kBadRecord;
  }
  out.id = record.subspan(kDrId, id_length);
  return Parse::kRecord;
}

bool IsSelfOrParent(const DirRecord& record) {
  return record.id.size() == 1 && (record.id[0] == 0x00 || record.id[0] == 0x01);
}

std::string CutVersionSuffix(std::string name) {
  const size_t semicolon = name.rfind(';');
  if (semicolon == std::string::npos) return name;
  const bool digits_only = std::all_of(name.begin() + static_cast<std::ptrdiff_t>(semicolon) + 1, name.end(),
                                       [](char c) { return c >= '0' && c <= '9'; });
  if (digits_only) name.erase(semicolon);
  return name;
}

std::string JolietNameToAnsi(std::span<const uint8_t> id) {
  std::u16string units;
  units.reserve(id.size() / 2);
  for (size_t i = 0; i + 1 < id.size(); i += 2) units.push_back(static_cast<char16_t>(id[i] << 8 | id[i + 1]));
  return CutVersionSuffix(Utf16ToUtf8(units));
}

std::string IsoNameToAnsi(std::span<const uint8_t> id) {
  const std::string_view raw(reinterpret_cast<const char*>(id.data()), id.size());
  // Identifiers are Windows-1252 as this program writes them; a peer that
  // wrote UTF-8 bytes is read as such (valid UTF-8 is rarely anything else).
  const bool utf8 = !IsAscii(raw) && DisplayUtf8(raw) == raw;
  return CutVersionSuffix(utf8 ? std::string(raw) : FromCp1252(raw));
}

bool MakeSafeName(std::string& name) {
  for (char& c : name) {
    if (c == '\0' || c == '/') c = '_';
  }
  return !name.empty() && name != "." && name != "..";
}

}  // namespace zamo::iso
