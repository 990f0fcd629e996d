#include "burner/platform/text.h"

#include <locale.h>
#include <wctype.h>

#include <array>

namespace zamo {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

// Windows-1252 bytes 80h to 9Fh; 0 marks the five unassigned positions.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char CodePointToCp1252(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (size_t i = 0; i < kCp1252High.size(); ++i) {
    if (kCp1252High[i] != 0 && kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '_';
}

locale_t Utf8Locale() {
  static locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (l == static_cast<locale_t>(nullptr)) l = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    return l;
  }();
  return locale;
}

}  // namespace

bool IsAscii(std::string_view raw) {
  for (char c : raw) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::u16string DecodeName(std::string_view raw) {
  if (IsAscii(raw)) return std::u16string(raw.begin(), raw.end());
  // Never more UTF-16 units than bytes: a 4-byte sequence gives two units.
  std::u16string out(raw.size(), u'\0');
  size_t units = 0;
  size_t pos = 0;
  while (pos < raw.size()) {
    char32_t cp = NextCodePoint(raw, pos);
    if (cp < 0x10000) {
      out[units++] = static_cast<char16_t>(cp);
    } else {
      cp -= 0x10000;
      out[units++] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[units++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    }
  }
  out.resize(units);
  return out;
}

std::string DisplayUtf8(std::string_view raw) {
  if (IsAscii(raw)) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  size_t pos = 0;
  while (pos < raw.size()) AppendUtf8(out, NextCodePoint(raw, pos));
  return out;
}

size_t Utf16Length(std::string_view raw) {
  if (IsAscii(raw)) return raw.size();
  size_t units = 0;
  size_t pos = 0;
  while (pos < raw.size()) units += NextCodePoint(raw, pos) >= 0x10000 ? 2 : 1;
  return units;
}

size_t CodePointCount(std::string_view raw) {
  if (IsAscii(raw)) return raw.size();
  size_t count = 0;
  size_t pos = 0;
  while (pos < raw.size()) {
    NextCodePoint(raw, pos);
    ++count;
  }
  return count;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string ToCp1252(std::string_view raw) {
  if (IsAscii(raw)) return std::string(raw);
  std::string out;
  out.reserve(raw.size());
  size_t pos = 0;
  while (pos < raw.size()) out.push_back(CodePointToCp1252(NextCodePoint(raw, pos)));
  return out;
}

std::string FromCp1252(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    char32_t cp = b;
    if (b >= 0x80 && b <= 0x9F) cp = kCp1252High[b - 0x80] != 0 ? kCp1252High[b - 0x80] : kReplacement;
    AppendUtf8(out, cp);
  }
  return out;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}

bool AsciiEqualIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

std::u16string UnicodeUpper(std::u16string_view text) {
  std::u16string out(text);
  const locale_t locale = Utf8Locale();
  for (char16_t& c : out) {
    if (c < 0x80) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    } else if (c < 0xD800 || c > 0xDFFF) {
      const wint_t upper = towupper_l(static_cast<wint_t>(c), locale);
      if (upper < 0x10000) c = static_cast<char16_t>(upper);
    }
  }
  return out;
}

}  // namespace zamo
