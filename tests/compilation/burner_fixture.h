// burner_fixture.h: a burner with a fixed clock and a captured log, search
// records made up for tests, and a small independent reader of the records
// the component writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "burner/compilation/veskburner.h"
#include "burner/platform/byte_order.h"
#include "burner/platform/date_time.h"
#include "burner/platform/file_attributes.h"

namespace zamo::test {

constexpr time_t kSomeTime = 1181896200;  // 2007-06-15 08:30:00 UTC

inline TSearchRec FileRec(const std::string& name, int64_t size = 1, const std::string& alternate = "",
                          int attr = faArchive) {
  TSearchRec rec;
  rec.Name = name;
  rec.Size = size;
  rec.Attr = attr;
  rec.cAlternateFileName = alternate;
  rec.ModifiedSeconds = kSomeTime;
  return rec;
}

inline TSearchRec DirRec(const std::string& name, const std::string& alternate = "") {
  TSearchRec rec = FileRec(name, 0, alternate, faDirectory);
  return rec;
}

struct LogLine {
  std::string text;
  uint8_t type;
};

class BurnerTest : public ::testing::Test {
 protected:
  BurnerTest() {
    burner.Clock = [] { return EncodeDateTime({2007, 6, 15, 10, 30, 0, 0}); };
    burner.OnDebugMessage = [this](TObject* sender, const std::string& text, uint8_t type) {
      EXPECT_EQ(sender, &burner);
      log.push_back({text, type});
    };
  }

  // Adds a made-up file to `dir` and returns its entry (null when not added).
  TFEntry* AddFile(TDEntry* dir, const std::string& name, int64_t size = 1, const std::string& alternate = "") {
    if (burner.AddFileEntry(dir, FileRec(name, size, alternate), false, 0, "/src/" + name) != 1) return nullptr;
    return burner.FindChild(dir, name.find('.') == std::string::npos ? name + "." : name);
  }
  TDEntry* AddDir(TDEntry* parent, const std::string& name, const std::string& alternate = "") {
    return burner.AddDir(parent, DirRec(name, alternate));
  }
  bool Logged(const std::string& part) const {
    for (const LogLine& line : log) {
      if (line.text.find(part) != std::string::npos) return true;
    }
    return false;
  }

  TVeskBurner burner{nullptr};
  std::vector<LogLine> log;
};

struct ParsedRecord {
  std::string id;  // raw identifier bytes
  uint32_t extent = 0;
  uint32_t size = 0;
  uint8_t flags = 0;
  uint8_t date[7] = {};
  size_t offset = 0;  // within the extent
};

// Reads every record of a directory extent, taking a zero length byte as
// "go on in the next sector", as readers do.
inline std::vector<ParsedRecord> ParseDirectory(std::span<const uint8_t> extent) {
  std::vector<ParsedRecord> records;
  size_t at = 0;
  while (at < extent.size()) {
    const uint8_t length = extent[at];
    if (length == 0) {
      at = (at / 2048 + 1) * 2048;
      continue;
    }
    EXPECT_LE(at % 2048 + length, 2048u) << "record crosses a sector boundary at " << at;
    EXPECT_EQ(length % 2, 0) << "odd record length at " << at;
    ParsedRecord r;
    r.offset = at;
    r.extent = GetLe32(extent, at + 2);
    EXPECT_EQ(GetBe32(extent, at + 6), r.extent) << "both-endian extent halves disagree";
    r.size = GetLe32(extent, at + 10);
    EXPECT_EQ(GetBe32(extent, at + 14), r.size);
    std::copy_n(extent.begin() + at + 18, 7, r.date);
    r.flags = extent[at + 25];
    const uint8_t id_length = extent[at + 32];
    r.id.assign(reinterpret_cast<const char*>(&extent[at + 33]), id_length);
    records.push_back(r);
    at += length;
  }
  return records;
}

// Joliet identifier bytes (UTF-16 big-endian) of an ASCII or UTF-16 text.
inline std::string Ucs2(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c >> 8));
    out.push_back(static_cast<char>(c & 0xFF));
  }
  return out;
}

}  // namespace zamo::test
