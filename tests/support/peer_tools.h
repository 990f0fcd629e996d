// peer_tools.h: the peer tools that read images back in the tests (xorriso,
// 7z, bsdtar, isoinfo), the oracles of what a reader gets: run in a UTF-8
// locale and in UTC, an image or one session of it extracted into a folder,
// and the listings of xorriso and isoinfo parsed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/run.h"

namespace zamo::test {

// Whether `program` is on PATH, asked once per program.
bool HaveTool(const std::string& program);
// Skips the test unless every tool named is installed.
#define REQUIRE_TOOLS(...)                                      \
  do {                                                          \
    for (const char* required_tool : {__VA_ARGS__}) {           \
      if (!::zamo::test::HaveTool(required_tool)) {             \
        GTEST_SKIP() << required_tool << " is not installed";   \
      }                                                         \
    }                                                           \
  } while (false)

// A peer tool, in a UTF-8 locale (it writes and prints names as UTF-8) and in UTC.
RunResult RunTool(const std::vector<std::string>& argv, int timeout_seconds = 60);

struct Extraction {
  bool ok = false;
  std::string log;                          // the tool's name, how it ended and its output
  std::map<std::string, std::string> tree;  // what it wrote, as ReadTree gives it
};
// Unpacks `image` into `dir` with `reader`: "7z", "bsdtar" or "xorriso".
// xorriso reads the session that starts at block `session` of the image
// when one is given, and a problem it reports fails the extraction even
// when it exits with 0.
Extraction Extract(const std::string& reader, const std::string& image, const std::string& dir,
                   std::optional<uint32_t> session = std::nullopt);

// Reads one file of `image` (`path` from the root, "/" separated) with
// `reader` ("7z", "bsdtar" or "xorriso") and hands its bytes to `sink` as
// they come, written nowhere: a file of gigabytes costs no disk. The result
// holds the reader's exit status and stderr; xorriso's reported problems
// turn its status to 1.
RunResult StreamFile(const std::string& reader, const std::string& image, const std::string& path,
                     const std::function<void(std::string_view)>& sink, int timeout_seconds = 300);

// `xorriso -find / -exec lsdl`: relative path (folders ending in "/") ->
// type and size; a single "<xorriso failed>" entry when it failed.
struct XorrisoEntry {
  bool dir = false;
  int64_t size = 0;
};
std::map<std::string, XorrisoEntry> XorrisoList(const std::string& image, std::string& log);

// `isoinfo -l`: every record but "." and "..", of the Joliet tree (names
// read as ISO 8859-1 and converted to UTF-8) or of the ISO 9660 tree.
struct IsoRecord {
  std::string path;  // relative, as shown (";1" kept), folders ending in "/"
  std::string name;  // last name of the path, as shown
  bool dir = false;
  int64_t size = 0;
  int64_t extent = 0;
  int flags = 0;
};
std::vector<IsoRecord> IsoinfoList(const std::string& image, bool joliet, std::string& log);

// `isoinfo -d`: the volume's name, its size and its Joliet descriptor.
struct VolumeInfo {
  bool ok = false;
  std::string id;
  int64_t sectors = -1;
  bool joliet = false;
  bool says_no_joliet = false;
  std::string log;
};
VolumeInfo IsoinfoDescriptors(const std::string& image);

// Every byte as the ISO 8859-1 character of its value, in UTF-8.
std::string Latin1ToUtf8(std::string_view bytes);

}  // namespace zamo::test
