// short_name.h: Windows-style 8.3 alternate names. A folder's entries that are
// not valid 8.3 names get a generated one (first six characters, "~N", first
// three characters of the extension), N the first number not yet taken in the
// folder, entries taken in enumeration order. Pure functions.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace zamo {

// True when `name` is already a valid 8.3 name (in upper or lower case):
// base of 1 to 8 and extension of 0 to 3 characters from the 8.3 character set.
bool IsValidShortName(std::string_view name);

// The generated 8.3 name of `long_name`, avoiding every name in `taken`
// (upper-case 8.3 names). Does not add the result to `taken`.
std::string MakeAlternateName(std::string_view long_name, const std::unordered_set<std::string>& taken);

// Alternate names of a folder's entries given in enumeration order: empty
// where the name is already a valid 8.3 name, else a generated one.
std::vector<std::string> AssignAlternateNames(const std::vector<std::string_view>& names);

}  // namespace zamo
