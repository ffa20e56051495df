// The small text functions the readers share: case-free ASCII comparison of
// encoding labels and UTF-8 encoding of character references; and the text
// every stored value is brought to.
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

TEST(Text, CarriableTextKeepsWhatTheWireCarriesAndMendsTheRest) {
  const struct {
    const char* in;
    std::size_t max;
    const char* out;
  } cases[] = {
      {"张三 Li", 255, "张三 Li"},
      {"tab\tline\ncr\r", 255, "tab\tline\ncr\r"},
      {"a\x0B\x01\x1F"
       "b",
       255, "ab"},  // controls XML 1.0 lacks
      {"a\xEF\xBF\xBE\xEF\xBF\xBF"
       "b",
       255, "ab"},  // U+FFFE, U+FFFF
      {"\x7F", 255, "\x7F"},
      {"镕", 255, "镕"},           // in GBK, not in GB2312
      {"€5", 255, "€5"},           // code page 936: the byte 0x80
      {"x😀y", 255, "x?y"},         // outside GBK: one '?' per character
      {"𠀀", 255, "?"},            // in GB18030 only
      {"\xEF\xBF\xBD", 255, "?"},  // U+FFFD
      {"\xC2\x85", 255, "?"},      // a C1 control
      {"a\xFF"
       "b",
       255, "a?b"},                  // bytes that begin no sequence
      {"\xC0\x80", 255, "??"},       // overlong
      {"\xED\xA0\x80", 255, "???"},  // a surrogate
      {"张三李四", 2, "张三"},       // cut between characters
      {"ab😀cd", 3, "ab?"},
      {"\x0B\x0B"
       "abc",
       2, "ab"},  // dropped characters do not count
  };
  for (const auto& c : cases) {
    const std::string out = CarriableText(c.in, c.max);
    EXPECT_EQ(out, c.out) << c.in;
    EXPECT_EQ(CarriableText(out, c.max), out) << c.in;  // stable
    EXPECT_TRUE(Utf8ToGbk(out).has_value()) << c.in;
  }
  const std::string longName(10000, 'x');
  EXPECT_EQ(CarriableText(longName, 255).size(), 255u);
  std::string chinese;
  for (int i = 0; i < 3000; ++i) chinese += "张";
  EXPECT_EQ(CarriableText(chinese.substr(0, 4096), 255), chinese.substr(0, 255 * 3));
}

TEST(Text, LenientGbkWritesOneQuestionMarkPerCharacter) {
  EXPECT_EQ(Utf8ToGbkLenient("x😀y"), "x?y");
  EXPECT_EQ(Utf8ToGbkLenient("a\xFF\xFE"
                             "b"),
            "a??b");
  EXPECT_EQ(Utf8ToGbkLenient("€"), "\x80");
  EXPECT_EQ(GbkToUtf8Lenient("\x80"), "€");
}

}  // namespace
}  // namespace corvan
