// names.h: how names and text fields are encoded on the disc.
//   ISO 9660 identifiers and primary descriptor texts: 8-bit, Windows-1252.
//   Joliet identifiers and supplementary descriptor texts: UTF-16 big-endian.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zamo {

struct TFEntry;

// Longest long names whose Joliet directory record still fits the 255-byte
// limit of a record length byte: 33 bytes of fixed fields, the identifier
// (two bytes a character, ";1" included for a file) and the padding byte that
// an even identifier length requires (ECMA-119 9.1.12), so records stay at
// 254 bytes at most.
constexpr size_t kMaxFileLongName = 108;
constexpr size_t kMaxDirLongName = 110;
// Longest ISO 9660 identifier (in bytes, ";1" included) that fits a record.
constexpr size_t kMaxIsoIdentifier = 221;

// Length in UTF-16 units of a file's Joliet name: its long name without the
// "." added to a name that has no extension (README. is written README).
size_t JolietFileNameLength(std::string_view long_name);

// The ISO name of a folder created by name: its first 13 characters,
// upper-cased (a to z), every character below "!" or above "z" made "_".
std::string MakeShortDirName(std::string_view name);

// An 8-bit descriptor field: the text in Windows-1252, padded with blanks
// (20h) and cut to the field's length.
void PutAnsiField(std::span<uint8_t> field, std::string_view text);

// A UCS-2 field: the text with blanks appended, as UTF-16 big-endian, cut to
// field.size() / 2 units.
void PutUcs2Field(std::span<uint8_t> field, std::string_view text);

// Identifier bytes of a child's directory record, ";1" appended for a file;
// "." and ".." give the one-byte identifiers 00h and 01h.
std::string IsoIdentifier(const TFEntry& entry);
std::string JolietIdentifier(const TFEntry& entry);

// Lengths in bytes of those identifiers, without building them.
size_t IsoIdentifierLength(const TFEntry& entry);
size_t JolietIdentifierLength(const TFEntry& entry);

// Joliet bytes (UTF-16 big-endian) of a directory's long name, for path tables.
std::string JolietNameBytes(std::string_view long_name);

// Joliet names may not hold "*", "/", ":", ";", "?", "\\" or control
// characters: each becomes "_" on the disc.
char16_t JolietSafe(char16_t unit);

// The form under which two names of one folder are the same on the disc:
// Joliet characters, letters a to z without case, one final "." dropped
// (readers drop it). FindChild compares names by it.
std::u16string DiscNameKey(std::string_view long_name);

// True when the entry is named "." (for the tree given by `joliet`).
bool IsDotEntry(const TFEntry& entry, bool joliet);

}  // namespace zamo
