#include "burner/compilation/names.h"

#include <algorithm>

#include "burner/compilation/entries.h"
#include "burner/platform/file_attributes.h"
#include "burner/platform/text.h"

namespace zamo {
namespace {

bool IsDirectoryEntry(const TFEntry& entry) { return (entry.Attr & faDirectory) != 0; }

// Appends a name in UTF-16 big-endian with the Joliet character mapping.
void AppendJoliet(std::string& out, std::string_view name) {
  // At most two bytes of UTF-16 a byte of UTF-8 (four bytes give four).
  const size_t start = out.size();
  out.resize(start + 2 * name.size());
  char* at = out.data() + start;
  auto put = [&at](char16_t unit) {
    unit = JolietSafe(unit);
    *at++ = static_cast<char>(unit >> 8);
    *at++ = static_cast<char>(unit & 0xFF);
  };
  size_t pos = 0;
  while (pos < name.size()) {
    const char32_t cp = NextCodePoint(name, pos);
    if (cp < 0x10000) {
      put(static_cast<char16_t>(cp));
    } else {
      put(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  out.resize(static_cast<size_t>(at - out.data()));
}

// A file's long name as it goes into Joliet: without the "." added to a
// name that has no extension (readers either drop it or show it).
std::string_view JolietFileName(std::string_view name) {
  if (name.size() > 1 && name.back() == '.') name.remove_suffix(1);
  return name;
}

bool IsDot(std::string_view name) { return name == "." || name == ".."; }

}  // namespace

// Joliet 3.3: readers on other systems could not open a file
// whose name holds one of these. A Linux name may, so each becomes "_", as
// the peer tools do; the length is unchanged.
char16_t JolietSafe(char16_t unit) {
  switch (unit) {
    case u'*': case u'/': case u':': case u';': case u'?': case u'\\':
      return u'_';
    default:
      return unit < 0x20 ? u'_' : unit;
  }
}

std::u16string DiscNameKey(std::string_view long_name) {
  std::u16string key = DecodeName(JolietFileName(long_name));
  for (char16_t& unit : key) {
    unit = JolietSafe(unit);
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  return key;
}

size_t JolietFileNameLength(std::string_view long_name) { return Utf16Length(JolietFileName(long_name)); }

std::string MakeShortDirName(std::string_view name) {
  std::string out;
  size_t pos = 0;
  while (pos < name.size() && out.size() < 13) {
    const char32_t c = NextCodePoint(name, pos);
    const size_t units = c >= 0x10000 ? 2 : 1;
    for (size_t i = 0; i < units && out.size() < 13; ++i) {
      if (c < U'!' || c > U'z') {
        out.push_back('_');
      } else {
        out.push_back(AsciiUpper(static_cast<char>(c)));
      }
    }
  }
  return out;
}

void PutAnsiField(std::span<uint8_t> field, std::string_view text) {
  const std::string bytes = ToCp1252(text);
  std::fill(field.begin(), field.end(), uint8_t{0x20});
  std::copy_n(bytes.begin(), std::min(bytes.size(), field.size()), field.begin());
}

void PutUcs2Field(std::span<uint8_t> field, std::string_view text) {
  std::u16string units = DecodeName(text);
  units.resize(std::max(units.size(), field.size() / 2), u' ');
  for (size_t i = 0; i + 1 < field.size(); i += 2) {
    field[i] = static_cast<uint8_t>(units[i / 2] >> 8);
    field[i + 1] = static_cast<uint8_t>(units[i / 2] & 0xFF);
  }
}

std::string IsoIdentifier(const TFEntry& entry) {
  if (entry.IsoName == ".") return std::string(1, '\0');
  if (entry.IsoName == "..") return std::string(1, '\1');
  std::string id = ToCp1252(entry.IsoName);
  if (!IsDirectoryEntry(entry)) id += ";1";
  return id;
}

std::string JolietIdentifier(const TFEntry& entry) {
  if (entry.LongName == ".") return std::string(1, '\0');
  if (entry.LongName == "..") return std::string(1, '\1');
  std::string id;
  if (IsDirectoryEntry(entry)) {
    AppendJoliet(id, entry.LongName);
    return id;
  }
  AppendJoliet(id, JolietFileName(entry.LongName));
  id += std::string("\0;\0" "1", 4);
  return id;
}

size_t IsoIdentifierLength(const TFEntry& entry) {
  if (IsDot(entry.IsoName)) return 1;
  return CodePointCount(entry.IsoName) + (IsDirectoryEntry(entry) ? 0 : 2);
}

size_t JolietIdentifierLength(const TFEntry& entry) {
  if (IsDot(entry.LongName)) return 1;
  if (IsDirectoryEntry(entry)) return 2 * Utf16Length(entry.LongName);
  return 2 * (Utf16Length(JolietFileName(entry.LongName)) + 2);
}

std::string JolietNameBytes(std::string_view long_name) {
  std::string id;
  AppendJoliet(id, long_name);
  return id;
}

bool IsDotEntry(const TFEntry& entry, bool joliet) { return (joliet ? entry.LongName : entry.IsoName) == "."; }

}  // namespace zamo
