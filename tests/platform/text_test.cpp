#include "burner/platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace zamo {
namespace {

TEST(TextTest, InvalidUtf8BytesAreReadAsLatin1) {
  EXPECT_EQ(DecodeName("caf\xC3\xA9"), u"café");   // valid UTF-8
  EXPECT_EQ(DecodeName("caf\xE9"), u"café");       // a lone Latin-1 byte
  EXPECT_EQ(DecodeName("\xC0\xAF"), u"\u00C0\u00AF");  // overlong "/" is not decoded as "/"
  EXPECT_EQ(DecodeName("\xED\xA0\x80"), u"\u00ED\u00A0\u0080");  // an encoded surrogate
  EXPECT_EQ(DecodeName("a\xE2\x82"), u"a\u00E2\u0082");  // truncated sequence at the end
  EXPECT_EQ(DisplayUtf8("caf\xE9"), "caf\xC3\xA9");
}

TEST(TextTest, LengthsCountUtf16Units) {
  EXPECT_EQ(Utf16Length("abc"), 3u);
  EXPECT_EQ(Utf16Length("été"), 3u);
  EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u);  // U+1F600 needs a surrogate pair
  EXPECT_EQ(DecodeName("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  EXPECT_EQ(Utf16Length("\xE9t\xE9"), 3u);  // Latin-1 bytes count one each
}

TEST(TextTest, Cp1252FieldsKeepWhatTheCodePageHas) {
  EXPECT_EQ(ToCp1252("Données €"), "Donn\xE9" "es \x80");
  EXPECT_EQ(ToCp1252("Жук"), "___");
  EXPECT_EQ(ToCp1252("a\xF0\x9F\x98\x80" "b"), "a_b");  // one character, one "_"
  EXPECT_EQ(FromCp1252("Donn\xE9" "es \x80"), "Données €");
  EXPECT_EQ(FromCp1252("\x81"), "\xEF\xBF\xBD");  // unassigned in the code page
}

TEST(TextTest, UpperCasingIsAsciiOnlyInTheComponent) {
  EXPECT_EQ(AsciiUpper("données 2007"), "DONNéES 2007");
  EXPECT_TRUE(AsciiEqualIgnoreCase("ReadMe.TXT", "readme.txt"));
  EXPECT_FALSE(AsciiEqualIgnoreCase("é", "É"));
  EXPECT_EQ(UnicodeUpper(u"éa"), u"ÉA");  // the folder order compares full upper case
}

TEST(TextTest, Utf16BackToUtf8) {
  EXPECT_EQ(Utf16ToUtf8(u"Zürich €"), "Zürich €");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, 0xDE00}), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D}), "\xEF\xBF\xBD");
}

TEST(TextTest, Utf8FormsOnEachSideOfTheirLengthBoundaries) {
  const std::pair<char32_t, std::string> forms[] = {
      {0x7F, "\x7F"},         {0x80, "\xC2\x80"},         {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"}, {0xFFFF, "\xEF\xBF\xBF"}, {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
  for (const auto& [code_point, bytes] : forms) {
    std::string out = "<";  // appended, not replaced
    AppendUtf8(out, code_point);
    EXPECT_EQ(out, "<" + bytes) << std::hex << static_cast<uint32_t>(code_point);
  }
}

}  // namespace
}  // namespace zamo
