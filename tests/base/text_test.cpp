// The small text functions the readers share: case-free ASCII comparison of
// encoding labels and UTF-8 encoding of character references.
#include "base/text.h"

#include <gtest/gtest.h>

namespace corvan {
namespace {

TEST(Text, AsciiEqualsNoCaseFoldsLettersOnly) {
  EXPECT_TRUE(AsciiEqualsNoCase("gb2312", "GB2312"));
  EXPECT_TRUE(AsciiEqualsNoCase("Utf-8", "UTF-8"));
  EXPECT_TRUE(AsciiEqualsNoCase("", ""));
  EXPECT_FALSE(AsciiEqualsNoCase("GBK", "GBK "));
  EXPECT_FALSE(AsciiEqualsNoCase("GB2312", "GB2313"));
  // '@' and '`' sit next to the letters; folding must not make them equal.
  EXPECT_FALSE(AsciiEqualsNoCase("@", "`"));
  // Bytes above 0x7F are compared as they are.
  EXPECT_FALSE(AsciiEqualsNoCase("\xC3\xA9", "\xC3\x89"));
}

TEST(Text, AppendUtf8WritesEachLengthAtItsBoundaries) {
  const struct {
    std::uint32_t cp;
    const char* utf8;
  } cases[] = {
      {0x41, "A"},
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0x4E2D, "\xE4\xB8\xAD"},  // 中
      {0xFFFD, "\xEF\xBF\xBD"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const auto& c : cases) {
    std::string out = "x";
    AppendUtf8(out, c.cp);
    EXPECT_EQ(out, std::string("x") + c.utf8) << std::hex << c.cp;
  }
}

}  // namespace
}  // namespace corvan
