#include "burner/platform/short_name.h"

#include <string>
#include <unordered_map>

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
std::string CleanPart(std::string_view part, size_t limit = std::string::npos) {
  std::string out;
  size_t pos = 0;
  while (pos < part.size() && out.size() < limit) {
    const char32_t c = NextCodePoint(part, pos);
    if (c == ' ') continue;
    out.push_back(c < 0x80 && IsShortNameChar(static_cast<unsigned char>(c)) ? AsciiUpper(static_cast<char>(c)) : '_');
  }
  return out;
}

}  // namespace

bool IsValidShortName(std::string_view name) {
  if (name.empty() || name.size() > 12 || name == "." || name == "..") return false;
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

namespace {

// The cleaned base and extension an alternate name is made from.
struct NameParts {
  std::string base;
  std::string extension;
};

// Only the first six characters of the base can appear in a name ("~N"
// takes two or more of the eight), so no more are cleaned.
constexpr size_t kBaseKept = 6;

NameParts SplitForAlternate(std::string_view long_name) {
  std::string_view name = long_name;
  while (!name.empty() && (name.front() == '.' || name.front() == ' ')) name.remove_prefix(1);
  const size_t dot = name.rfind('.');
  NameParts parts;
  if (dot == std::string_view::npos) {
    parts.base = CleanPart(name, kBaseKept);
  } else {
    // Dots before the last one are dropped, as blanks are.
    size_t pos = 0;
    const std::string_view before = name.substr(0, dot);
    while (pos < before.size() && parts.base.size() < kBaseKept) {
      const char32_t c = NextCodePoint(before, pos);
      if (c == ' ' || c == '.') continue;
      parts.base.push_back(c < 0x80 && IsShortNameChar(static_cast<unsigned char>(c))
                               ? AsciiUpper(static_cast<char>(c))
                               : '_');
    }
    parts.extension = CleanPart(name.substr(dot + 1), 3);
  }
  if (parts.base.empty()) parts.base = "_";
  return parts;
}

std::string Candidate(const NameParts& parts, unsigned n) {
  const std::string tail = "~" + std::to_string(n);
  std::string candidate = parts.base.substr(0, 8 - tail.size()) + tail;
  if (!parts.extension.empty()) candidate += "." + parts.extension;
  return candidate;
}

}  // namespace

std::string MakeAlternateName(std::string_view long_name, const std::unordered_set<std::string>& taken) {
  const NameParts parts = SplitForAlternate(long_name);
  for (unsigned n = 1;; ++n) {
    std::string candidate = Candidate(parts, n);
    if (!taken.contains(candidate)) return candidate;
  }
}

std::vector<std::string> AssignAlternateNames(const std::vector<std::string_view>& names) {
  std::unordered_set<std::string> taken;
  taken.reserve(names.size());
  for (std::string_view name : names) {
    if (IsValidShortName(name)) taken.insert(AsciiUpper(name));
  }
  // Names are only ever added, so the first free number of a base and
  // extension never goes down: each search starts where the last one ended,
  // which keeps a folder of many similar names linear.
  std::unordered_map<std::string, unsigned> next_number;
  std::vector<std::string> result(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == "." || names[i] == ".." || IsValidShortName(names[i])) continue;
    const NameParts parts = SplitForAlternate(names[i]);
    unsigned& n = next_number.try_emplace(parts.base + "." + parts.extension, 1).first->second;
    std::string candidate = Candidate(parts, n);
    while (taken.contains(candidate)) candidate = Candidate(parts, ++n);
    taken.insert(candidate);
    result[i] = std::move(candidate);
  }
  return result;
}

}  // namespace zamo
