#include "burner/compilation/el_torito.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "burner/platform/byte_order.h"

namespace zamo {
namespace {

TEST(ElToritoTest, MediaTypeByImageLength) {
  EXPECT_EQ(BootMediaType(600), 1);
  EXPECT_EQ(BootMediaType(720), 2);   // 1,474,560 bytes
  EXPECT_EQ(BootMediaType(1440), 3);
  EXPECT_EQ(BootMediaType(721), 4);   // 1,474,561 bytes: a hard disk
  EXPECT_EQ(BootMediaType(1), 4);
}

TEST(ElToritoTest, BootRecordPointsAtTheCatalog) {
  const Sector s = MakeBootRecord(0x1A2B);
  EXPECT_EQ(s[0], 0);
  EXPECT_EQ(std::string(s.begin() + 1, s.begin() + 7), "CD001\x01");
  EXPECT_EQ(std::string(s.begin() + 7, s.begin() + 39), "EL TORITO SPECIFICATION" + std::string(9, '\0'));
  EXPECT_EQ(std::string(s.begin() + 39, s.begin() + 71), std::string(32, '\0'));
  EXPECT_EQ(GetLe32(s, 71), 0x1A2Bu);
  EXPECT_EQ(std::string(s.begin() + 75, s.end()), std::string(1973, '\0'));
}

TEST(ElToritoTest, CatalogEntries) {
  const Sector s = MakeBootCatalog(2, 27);
  EXPECT_EQ(s[0], 0x01);
  EXPECT_EQ(s[1], 0x00);
  EXPECT_EQ(std::string(s.begin() + 4, s.begin() + 28), "Vesk" + std::string(20, '\0'));
  EXPECT_EQ(s[30], 0x55);
  EXPECT_EQ(s[31], 0xAA);
  uint16_t sum = 0;
  for (size_t i = 0; i < 32; i += 2) sum = static_cast<uint16_t>(sum + GetLe16(s, i));
  EXPECT_EQ(sum, 0) << "the validation entry's words must add up to zero";
  EXPECT_NE(GetLe16(s, 28), 0);
  EXPECT_EQ(s[32], 0x88);
  EXPECT_EQ(s[33], 2);
  EXPECT_EQ(GetLe16(s, 34), 0);
  EXPECT_EQ(s[36], 0);
  EXPECT_EQ(GetLe16(s, 38), 1);
  EXPECT_EQ(GetLe32(s, 40), 27u);
  EXPECT_EQ(std::string(s.begin() + 44, s.end()), std::string(2048 - 44, '\0'));
}

TEST(ElToritoTest, NoEmulationEntry) {
  EXPECT_EQ(BootMediaType(720, TBootEmulation::kNone), 0) << "a diskette's size does not make it a diskette";
  const Sector s = MakeBootCatalog(BootMediaType(3, TBootEmulation::kNone), 40, 65535);
  EXPECT_EQ(s[32], 0x88);
  EXPECT_EQ(s[33], 0);
  EXPECT_EQ(GetLe16(s, 34), 0) << "load segment: 07C0h";
  EXPECT_EQ(GetLe16(s, 38), 65535);
  EXPECT_EQ(GetLe32(s, 40), 40u);
}

TEST(ElToritoTest, BootInfoTableFields) {
  const BootInfoTable t = MakeBootInfoTable(16, 0x01020304, 6141, 0xA1B2C3D4);
  EXPECT_EQ(GetLe32(t, 0), 16u);
  EXPECT_EQ(GetLe32(t, 4), 0x01020304u);
  EXPECT_EQ(GetLe32(t, 8), 6141u);
  EXPECT_EQ(GetLe32(t, 12), 0xA1B2C3D4u);
  EXPECT_EQ(std::vector<uint8_t>(t.begin() + 16, t.end()), std::vector<uint8_t>(40, 0));
}

// The checksum and the table's overlay, done piece by piece as the writers
// and the verification read a file, give what they give on the whole.
class BootInfoPiecesTest : public ::testing::TestWithParam<size_t> {};

TEST_P(BootInfoPiecesTest, SameByPiecesAsWhole) {
  const size_t piece = GetParam();
  std::vector<uint8_t> image(301);  // a last word of one byte
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 37 + 11);
  uint32_t expected = 0;
  for (size_t i = 64; i < image.size(); i += 4) {
    uint32_t word = 0;
    for (size_t k = 0; k < 4 && i + k < image.size(); ++k) word |= uint32_t{image[i + k]} << (8 * k);
    expected += word;
  }
  const BootInfoTable table = MakeBootInfoTable(16, 20, 301, expected);
  std::vector<uint8_t> whole = image;
  std::copy(table.begin(), table.end(), whole.begin() + 8);

  uint32_t sum = 0;
  std::vector<uint8_t> patched = image;
  for (size_t at = 0; at < image.size(); at += piece) {
    std::span<uint8_t> part = std::span(patched).subspan(at, std::min(piece, image.size() - at));
    LayBootInfoTable(part, static_cast<int64_t>(at), table);
    if (at + part.size() > 64) {
      // The sum starts at byte 64: pieces are whole words from there.
      const size_t from = std::max<size_t>(at, 64);
      sum = AddLe32Words(sum, std::span<const uint8_t>(image).subspan(from, at + part.size() - from));
    }
  }
  EXPECT_EQ(patched, whole);
  if (piece % 4 == 0 || piece >= image.size()) {
    EXPECT_EQ(sum, expected);
  }
  LayBootInfoTable(patched, 0, {});
  EXPECT_EQ(patched, whole) << "an empty table changes nothing";
}

INSTANTIATE_TEST_SUITE_P(Pieces, BootInfoPiecesTest, ::testing::Values(1, 7, 8, 9, 36, 60, 64, 68, 301, 4096));

}  // namespace
}  // namespace zamo
