#include "burner/platform/short_name.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zamo {
namespace {

std::vector<std::string> Assign(const std::vector<std::string>& names) {
  std::vector<std::string_view> views(names.begin(), names.end());
  return AssignAlternateNames(views);
}

TEST(ShortNameTest, ValidEightDotThreeNamesNeedNoAlternate) {
  for (const char* name : {"README.TXT", "readme.txt", "A", "ABCDEFGH.XYZ", "X~1.Y", "a-b_c.$$$", "NOEXT"}) {
    EXPECT_TRUE(IsValidShortName(name)) << name;
  }
  for (const char* name : {"ABCDEFGHI", "A.BCDE", "a.b.c", "A B.TXT", ".bashrc", "café.txt", "README.", "a+b.txt",
                           "", ".", ".."}) {
    EXPECT_FALSE(IsValidShortName(name)) << name;
  }
}

TEST(ShortNameTest, GeneratedNamesFollowTheWindowsShape) {
  EXPECT_EQ(Assign({"My Document.txt"}), std::vector<std::string>{"MYDOCU~1.TXT"});
  EXPECT_EQ(Assign({"archive.tar.gz"}), std::vector<std::string>{"ARCHIV~1.GZ"});
  EXPECT_EQ(Assign({"photo.jpeg"}), std::vector<std::string>{"PHOTO~1.JPE"});
  EXPECT_EQ(Assign({".bashrc"}), std::vector<std::string>{"BASHRC~1"});
  EXPECT_EQ(Assign({"a+b=c.txt"}), std::vector<std::string>{"A_B_C~1.TXT"});
  EXPECT_EQ(Assign({"été.txt"}), std::vector<std::string>{"_T_~1.TXT"});  // one "_" per character
  EXPECT_EQ(Assign({"...."}), std::vector<std::string>{"_~1"});
}

TEST(ShortNameTest, NumbersAreTheFirstFreeInTheFolder) {
  std::vector<std::string> names;
  for (int i = 1; i <= 11; ++i) names.push_back("Long file name " + std::to_string(i) + ".txt");
  const auto alternates = Assign(names);
  EXPECT_EQ(alternates[0], "LONGFI~1.TXT");
  EXPECT_EQ(alternates[8], "LONGFI~9.TXT");
  EXPECT_EQ(alternates[9], "LONGF~10.TXT");  // the base gives way to the longer tail
  EXPECT_EQ(alternates[10], "LONGF~11.TXT");
  // A valid 8.3 name holds its own name, whatever its place in the listing.
  EXPECT_EQ(Assign({"My Document.txt", "MYDOCU~1.TXT"}), (std::vector<std::string>{"MYDOCU~2.TXT", ""}));
  EXPECT_EQ(Assign({"My Document.txt", "mydocu~1.txt"}), (std::vector<std::string>{"MYDOCU~2.TXT", ""}));
}

}  // namespace
}  // namespace zamo
