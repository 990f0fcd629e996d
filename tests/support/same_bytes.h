// same_bytes.h: compares byte strings without printing them (images are
// megabytes long): on a mismatch, says the sizes and the first differing byte.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace zamo::test {

inline ::testing::AssertionResult SameBytes(const std::string& got, const std::string& expected) {
  if (got == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << "sizes " << got.size() << " and " << expected.size()
                                       << ", first difference at byte " << at;
}

}  // namespace zamo::test
