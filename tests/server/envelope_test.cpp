#include "server/envelope.h"

#include <gtest/gtest.h>

#include "base/text.h"

namespace corvan {
namespace {

TEST(EnvelopeWriter, ShortResultHasItsExactBytes) {
  std::string doc = BuildResult("Loginin", "Fail", "");
  EXPECT_EQ(doc,
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n"
            "<RootNode><Type>Info</Type><Struct><BackType>Loginin</BackType><status>Fail</status>"
            "<reason/></Struct></RootNode>\r\n");
}

TEST(EnvelopeWriter, ChineseTextIsWrittenAsGbk) {
  std::string doc = BuildResult("GetUserInfo", "Fail", "该用户不存在!");
  EXPECT_NE(doc.find("<reason>\xB8\xC3\xD3\xC3\xBB\xA7\xB2\xBB\xB4\xE6\xD4\xDA!</reason>"), std::string::npos);
}

TEST(EnvelopeWriter, NestedListsAndEmptyContainers) {
  EnvelopeWriter w("Info");
  w.Field("BackType", "GetUserlist").Open("Class");
  w.Open("User").Field("username", "A&B").Field("Id", 7LL).Close();
  w.Close();
  EXPECT_EQ(w.FinishUtf8(),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Type>Info</Type><Struct>"
            "<BackType>GetUserlist</BackType><Class><User><username>A&amp;B</username><Id>7</Id></User></Class>"
            "</Struct></RootNode>\r\n");
  EnvelopeWriter empty("Info");
  empty.Field("BackType", "GetOnlineUserlist").Open("Class").Close();
  EXPECT_NE(empty.FinishUtf8().find("<Class/>"), std::string::npos);
  EXPECT_EQ(EnvelopeWriter("ServerStop", false).FinishUtf8(),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Type>ServerStop</Type></RootNode>\r\n");
}

TEST(ParsedEnvelope, ReadsWhatTheWriterWrote) {
  std::string doc = EnvelopeWriter("Loginin").Field("username", "张三").Field("pwd", "").Finish();
  auto env = ParsedEnvelope::Read(doc);
  ASSERT_TRUE(env);
  EXPECT_EQ(env->Type(), "Loginin");
  EXPECT_EQ(env->Field("username"), "张三");
  EXPECT_EQ(env->Field("pwd"), "");
  EXPECT_FALSE(env->Field("Mac"));
}

TEST(ParsedEnvelope, GbkOnlyCharactersSurviveUnderTheGb2312Label) {
  // "镕" is in GBK but not in GB2312.
  auto gbk = Utf8ToGbk("朱镕");
  ASSERT_TRUE(gbk);
  std::string doc = "<?xml version=\"1.0\" encoding=\"GB2312\"?><RootNode><Type>T</Type><Struct><username>" + *gbk +
                    "</username></Struct></RootNode>";
  auto env = ParsedEnvelope::Read(doc);
  ASSERT_TRUE(env);
  EXPECT_EQ(env->Field("username"), "朱镕");
}

TEST(ParsedEnvelope, FindsTheFirstElementByNameAnywhereInStruct) {
  auto env = ParsedEnvelope::Read(
      "<RootNode><Struct><x/><username>a</username><username>b</username></Struct>\n <Type>Reg</Type></RootNode>");
  ASSERT_TRUE(env);
  EXPECT_EQ(env->Type(), "Reg");
  EXPECT_EQ(env->Field("username"), "a");
}

TEST(ParsedEnvelope, RefusesWhatIsNotAnEnvelope) {
  EXPECT_FALSE(ParsedEnvelope::Read("not xml at all"));
  EXPECT_FALSE(ParsedEnvelope::Read("<Root><Type>x</Type></Root>"));
  EXPECT_FALSE(ParsedEnvelope::Read("<RootNode><Struct/></RootNode>"));
  EXPECT_FALSE(ParsedEnvelope::Read("<RootNode><Type>x</Type>"));
  auto noStruct = ParsedEnvelope::Read("<RootNode><Type>AutoGetServer</Type></RootNode>");
  ASSERT_TRUE(noStruct);
  EXPECT_FALSE(noStruct->HasStruct());
  EXPECT_FALSE(noStruct->Field("username"));
}

TEST(ParsedEnvelope, NeverExpandsOrFetchesEntities) {
  // An external entity is neither fetched nor expanded.
  auto external = ParsedEnvelope::Read(
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
      "<RootNode><Type>T</Type><Struct><username>&x;</username></Struct></RootNode>");
  if (external) {
    EXPECT_EQ(external->Field("username")->find("root:"), std::string::npos);
  }
  // Nested entities (a "billion laughs" document) are not expanded.
  std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">";
  char prev = 'a';
  for (char c = 'b'; c <= 'j'; ++c) {
    bomb += std::string("<!ENTITY ") + c + " \"";
    for (int i = 0; i < 10; ++i) bomb += std::string("&") + prev + ";";
    bomb += "\">";
    prev = c;
  }
  bomb += "]><RootNode><Type>T</Type><Struct><username>&j;</username></Struct></RootNode>";
  auto env = ParsedEnvelope::Read(bomb);
  if (env) {
    EXPECT_LT(env->Field("username")->size(), 1000u);
  }
}

TEST(Text, AsciiUpperLeavesOtherCharactersAlone) {
  EXPECT_EQ(AsciiUpper("wang张三li"), "WANG张三LI");
  EXPECT_EQ(AsciiUpper("äb"), "äB");
}

TEST(Text, ParseIntegers) {
  EXPECT_EQ(ParseInt32(" 8000"), 8000);
  EXPECT_FALSE(ParseInt32("8000 "));
  EXPECT_FALSE(ParseInt32("2147483648"));
  EXPECT_EQ(ParseInt32("-2147483648"), INT32_MIN);
  EXPECT_FALSE(ParseInt64(""));
  EXPECT_FALSE(ParseInt64("abc"));
}

TEST(Text, TimestampDropsMidnightTime) {
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = 11;
  tm.tm_mday = 8;
  tm.tm_isdst = -1;
  auto midnight = Clock::from_time_t(std::mktime(&tm));
  EXPECT_EQ(FormatTimestamp(midnight), "2026-12-08");
  EXPECT_EQ(FormatTimestamp(midnight + std::chrono::seconds(1)), "2026-12-08 00:00:01");
  EXPECT_EQ(FormatDbTime(midnight), "2026-12-08 00:00:00");
}

}  // namespace
}  // namespace corvan

namespace corvan {
namespace {

TEST(Text, GbkConversionOfMixedRuns) {
  // "丂" is 0x81 0x40 in GBK: its trail byte is the ASCII '@'.
  const std::string utf8 = "a丂b<张三>@镕z";
  auto gbk = Utf8ToGbk(utf8);
  ASSERT_TRUE(gbk);
  EXPECT_EQ(gbk->substr(0, 4), std::string("a\x81\x40", 3) + "b");
  EXPECT_EQ(GbkToUtf8(*gbk), utf8);
  // A lone lead byte at the end is refused strictly and replaced leniently.
  EXPECT_FALSE(GbkToUtf8("ab\x81"));
  EXPECT_EQ(GbkToUtf8Lenient("ab\x81"), "ab?");
  // Characters GBK lacks become '?' in lenient output only.
  EXPECT_FALSE(Utf8ToGbk("x😀y"));
  EXPECT_EQ(Utf8ToGbkLenient("x😀y").front(), 'x');
  EXPECT_EQ(Utf8ToGbkLenient("x😀y").back(), 'y');
}

}  // namespace
}  // namespace corvan
