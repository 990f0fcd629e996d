#include "burner/platform/short_name.h"

#include <string>

#include "burner/platform/text.h"

namespace zamo {
namespace {

bool IsShortNameChar(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '(': case ')':
    case '-': case '@': case '^': case '_': case '`': case '{': case '}': case '~':
      return true;
    default:
      return false;
  }
}

// Upper-cases, drops blanks, replaces characters outside the 8.3 set by '_'.
// A multi-byte UTF-8 character becomes a single '_'.
std::string CleanPart(std::string_view part) {
  std::string out;
  size_t pos = 0;
  while (pos < part.size()) {
    const char32_t c = NextCodePoint(part, pos);
    if (c == ' ') continue;
    out.push_back(c < 0x80 && IsShortNameChar(static_cast<unsigned char>(c)) ? AsciiUpper(static_cast<char>(c)) : '_');
  }
  return out;
}

}  // namespace

bool IsValidShortName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  const size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  std::string_view ext;
  if (dot != std::string_view::npos) {
    ext = name.substr(dot + 1);
    if (ext.empty() || ext.find('.') != std::string_view::npos) return false;
  }
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  for (char c : base) {
    if (!IsShortNameChar(static_cast<unsigned char>(c))) return false;
  }
  for (char c : ext) {
    if (!IsShortNameChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string MakeAlternateName(std::string_view long_name, const std::unordered_set<std::string>& taken) {
  std::string_view name = long_name;
  while (!name.empty() && (name.front() == '.' || name.front() == ' ')) name.remove_prefix(1);
  const size_t dot = name.rfind('.');
  std::string base;
  std::string ext;
  if (dot == std::string_view::npos) {
    base = CleanPart(name);
  } else {
    std::string before;
    for (char c : name.substr(0, dot)) {
      if (c != '.') before.push_back(c);
    }
    base = CleanPart(before);
    ext = CleanPart(name.substr(dot + 1)).substr(0, 3);
  }
  if (base.empty()) base = "_";
  for (unsigned n = 1;; ++n) {
    const std::string tail = "~" + std::to_string(n);
    std::string candidate = base.substr(0, 8 - tail.size()) + tail;
    if (!ext.empty()) candidate += "." + ext;
    if (!taken.contains(candidate)) return candidate;
  }
}

std::vector<std::string> AssignAlternateNames(const std::vector<std::string_view>& names) {
  std::unordered_set<std::string> taken;
  taken.reserve(names.size());
  for (std::string_view name : names) {
    if (IsValidShortName(name)) taken.insert(AsciiUpper(name));
  }
  std::vector<std::string> result(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "." || names[i] == ".." || IsValidShortName(names[i])) continue;
    result[i] = MakeAlternateName(names[i], taken);
    taken.insert(result[i]);
  }
  return result;
}

}  // namespace zamo
