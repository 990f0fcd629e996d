// text.h: text conversions. Strings inside the program are UTF-8; names taken
// from the file system are kept as the raw bytes it gave, and wherever such a
// name goes onto a disc or a screen, bytes that are not valid UTF-8 are read as
// Latin-1 characters, so that no name is lost. Length limits count UTF-16 units.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zamo {

// Decodes the character at `pos` and moves `pos` past it; a byte that does not
// start a valid UTF-8 sequence gives its Latin-1 value and moves by one.
// Overlong forms, encoded surrogates and values above U+10FFFF are not valid.
inline char32_t NextCodePoint(std::string_view s, size_t& pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2, cp = b0 & 0x1F, minimum = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3, cp = b0 & 0x0F, minimum = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4, cp = b0 & 0x07, minimum = 0x10000;
  }
  if (length == 0 || pos + length > s.size()) {
    ++pos;
    return b0;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return b0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return b0;
  }
  pos += length;
  return cp;
}

// Appends the UTF-8 form of the code point `cp` (at most U+10FFFF).
void AppendUtf8(std::string& out, char32_t cp);

// UTF-8 to UTF-16; every byte that does not start a valid UTF-8 sequence
// stands for the Latin-1 character of the same value.
std::u16string DecodeName(std::string_view raw);

// The same text as valid UTF-8 (invalid bytes re-encoded as Latin-1).
std::string DisplayUtf8(std::string_view raw);

// Number of UTF-16 units of a name, as counted by DecodeName.
size_t Utf16Length(std::string_view raw);

// Number of characters (code points) of a name, as decoded by DecodeName:
// the length of its single-byte (Windows-1252) form.
size_t CodePointCount(std::string_view raw);

// True when every byte is below 80h.
bool IsAscii(std::string_view raw);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// To and from the single-byte code page Windows-1252 of 8-bit on-disc fields.
// A character the code page lacks becomes '_'.
std::string ToCp1252(std::string_view raw);
std::string FromCp1252(std::string_view bytes);

// Upper-casing of the letters a to z only; every other byte is kept.
std::string AsciiUpper(std::string_view text);
char AsciiUpper(char c);
bool AsciiEqualIgnoreCase(std::string_view a, std::string_view b);

// Unicode simple upper case of each UTF-16 unit (the order NTFS lists names in
// compares these ordinally).
std::u16string UnicodeUpper(std::u16string_view text);

}  // namespace zamo
