#include "burner/compilation/el_torito.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zamo
