// iso_records.h: the on-disc structures of a session read back: volume
// descriptors (ECMA-119 8.4, the Joliet supplementary descriptor), one
// directory record with its length checks (ECMA-119 9.1) and identifiers,
// through the offsets of iso9660_layout.h. Pure functions over sector bytes: nothing here reads a
// drive or touches the compilation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "burner/compilation/iso9660_layout.h"
#include "burner/platform/date_time.h"

namespace zamo::iso {

using SectorView = std::span<const uint8_t>;  // one 2048-byte sector

constexpr size_t kSectorBytes = 2048;

enum class Descriptor { kOther, kPrimary, kJoliet, kTerminator };

// What a sector of the descriptor set holds. A supplementary descriptor
// counts as Joliet only with one of the three UCS-2 escape sequences: an
// ISO 9660:1999 enhanced descriptor (also type 2) holds 8-bit names.
Descriptor ClassifyDescriptor(SectorView sector);

// The root directory's extent and data length from a descriptor's root record.
struct Extent {
  uint32_t lba = 0;
  uint32_t length = 0;
};
Extent DescriptorRoot(SectorView sector);
uint32_t DescriptorVolumeSize(SectorView sector);

// One directory record (the fields the readers use).
struct DirRecord {
  uint8_t length = 0;  // of the whole record
  uint32_t extent = 0;
  uint32_t size = 0;
  RecordDate date{};
  uint8_t flags = 0;  // kFlag* bits
  std::span<const uint8_t> id;  // identifier bytes, inside the sector
};

enum class Parse {
  kRecord,       // `out` holds the record; the next one starts `out.length` bytes on
  kEndOfSector,  // a zero length byte: the rest of the sector is empty
  kMalformed,    // the length byte cannot be trusted: the rest of the sector is lost
  kBadRecord,    // the record's length is sound but its identifier is not: skip it
};
// Parses the record at byte `at` of a directory sector. Every field a
// length byte points to is checked against the record and the sector first.
Parse ParseRecord(SectorView sector, size_t at, DirRecord& out);

// The "." and ".." records: a one-byte identifier 00h or 01h.
bool IsSelfOrParent(const DirRecord& record);

// Cuts a version suffix: the last ";" when only digits follow it
// (README.TXT;1 gives README.TXT; FILE.;1 gives FILE. with its dot).
std::string CutVersionSuffix(std::string name);

// A Joliet identifier (UCS-2 big-endian; an odd last byte is dropped) as the
// program's UTF-8 text, without its version suffix.
std::string JolietNameToAnsi(std::span<const uint8_t> id);
// An ISO 9660 identifier (8-bit, Windows-1252) as UTF-8, without its version suffix.
std::string IsoNameToAnsi(std::span<const uint8_t> id);

// A name read from a disc made safe to be one path component: NUL and "/"
// become "_". Returns false for a name that cannot be one at all: empty,
// "." or "..".
bool MakeSafeName(std::string& name);

}  // namespace zamo::iso
