// iso_records.cpp: reading the structures of an ISO 9660 / Joliet session.
#include "burner/import/iso_records.h"

#include <algorithm>
#include <cstring>

#include "burner/platform/byte_order.h"
#include "burner/platform/date_time.h"
#include "burner/platform/text.h"

namespace zamo::iso {
namespace {

// Offsets inside a directory record (ECMA-119 9.1).
constexpr size_t kRecExtent = 2, kRecSize = 10, kRecDate = 18, kRecFlags = 25, kRecIdLength = 32, kRecId = 33;

}  // namespace

Descriptor ClassifyDescriptor(SectorView sector) {
  if (sector.size() < kSectorBytes || std::memcmp(sector.data() + 1, "CD001", 5) != 0) return Descriptor::kOther;
  switch (sector[0]) {
    case 1:
      return Descriptor::kPrimary;
    case 2: {
      const uint8_t* escape = sector.data() + kVdEscapes;
      const bool ucs2 = escape[0] == 0x25 && escape[1] == 0x2F && (escape[2] == 0x40 || escape[2] == 0x43 || escape[2] == 0x45);
      return ucs2 ? Descriptor::kJoliet : Descriptor::kOther;
    }
    case 255:
      return Descriptor::kTerminator;
    default:
      return Descriptor::kOther;
  }
}

Extent DescriptorRoot(SectorView sector) {
  return {GetLe32(sector, kVdRootRecord + kRecExtent), GetLe32(sector, kVdRootRecord + kRecSize)};
}

uint32_t DescriptorVolumeSize(SectorView sector) { return GetLe32(sector, kVdVolumeSpaceSize); }

Parse ParseRecord(SectorView sector, size_t at, DirRecord& out) {
  if (at >= sector.size()) return Parse::kEndOfSector;
  const uint8_t length = sector[at];
  if (length == 0) return Parse::kEndOfSector;
  if (length < kMinRecordLength || at + length > sector.size()) return Parse::kMalformed;
  const SectorView record = sector.subspan(at, length);
  out.length = length;
  out.extent = GetLe32(record, kRecExtent);
  out.size = GetLe32(record, kRecSize);
  std::copy_n(record.begin() + kRecDate, out.date.size(), out.date.begin());
  out.flags = record[kRecFlags];
  const uint8_t id_length = record[kRecIdLength];
  if (id_length == 0 || kRecId + id_length > length) {
    out.id = {};
    return Parse::kBadRecord;
  }
  out.id = record.subspan(kRecId, id_length);
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

bool RecordDateToUnix(const std::array<uint8_t, 7>& date, time_t& out) {
  DateTimeFields f;
  f.year = 1900 + date[0];
  f.month = date[1];
  f.day = date[2];
  f.hour = date[3];
  f.minute = date[4];
  f.second = date[5];
  static constexpr int kDaysIn[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > kDaysIn[f.month - 1] || f.hour > 23 || f.minute > 59 ||
      f.second > 59) {
    return false;
  }
  const bool leap = (f.year % 4 == 0 && f.year % 100 != 0) || f.year % 400 == 0;
  if (f.month == 2 && f.day == 29 && !leap) return false;
  const auto offset = static_cast<int8_t>(date[6]);
  struct tm fields {};
  fields.tm_year = f.year - 1900;
  fields.tm_mon = f.month - 1;
  fields.tm_mday = f.day;
  fields.tm_hour = f.hour;
  fields.tm_min = f.minute;
  fields.tm_sec = f.second;
  if (offset >= -48 && offset <= 52) {
    out = timegm(&fields) - static_cast<time_t>(offset) * 15 * 60;
    return true;
  }
  return DateTimeToUnix(EncodeDateTime(f), out);
}

}  // namespace zamo::iso
