#include "admin/admin_codec.h"

#include <gtest/gtest.h>

namespace corvan {
namespace {

TEST(JsonTest, RoundTripsEveryKindAndEscapesControlCharacters) {
  JsonValue v;
  v.Set("s", "引号\" 反斜杠\\ 换行\n\x01");
  v.Set("n", std::int64_t{-9223372036854775807 - 1});
  v.Set("b", true);
  v.Set("null", JsonValue());
  v.Set("a", JsonValue(JsonValue::Array{1, "x", JsonValue(JsonValue::Array{})}));
  std::string text = WriteJson(v);
  EXPECT_EQ(text.find('\n'), std::string::npos);  // one line
  auto back = ReadJson(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, v);
}

TEST(JsonTest, DecodesUnicodeEscapesIncludingSurrogatePairs) {
  EXPECT_EQ(ReadJson("\"\\u4fe1\\u606f\"")->AsString(), "信息");
  EXPECT_EQ(ReadJson("\"\\ud83d\\ude00\"")->AsString(), "\xF0\x9F\x98\x80");
  EXPECT_FALSE(ReadJson("\"\\ud83d\""));  // lone high surrogate
  EXPECT_FALSE(ReadJson("\"\\ude00\""));  // lone low surrogate
  EXPECT_FALSE(ReadJson("\"\\u12\""));    // short escape
}

TEST(JsonTest, RefusesMalformedDocuments) {
  for (const char* bad : {"", "{", "[1,]", "{\"a\":}", "{\"a\" 1}", "{a:1}", "tru", "01", "1.5", "1e3", "-",
                          "99999999999999999999", "9223372036854775808", "\"a\nb\"", "\"abc", "[1] x", "{\"a\":1,}"}) {
    EXPECT_FALSE(ReadJson(bad)) << bad;
  }
  EXPECT_EQ(ReadJson("-9223372036854775808")->AsInt(), INT64_MIN);
  EXPECT_EQ(ReadJson(" \t[ ] ")->AsArray().size(), 0u);
}

TEST(JsonTest, BoundsDepthAndSize) {
  std::string deep(kMaxJsonDepth + 1, '[');
  deep += std::string(kMaxJsonDepth + 1, ']');
  EXPECT_FALSE(ReadJson(deep));
  std::string ok(kMaxJsonDepth, '[');
  ok += std::string(kMaxJsonDepth, ']');
  EXPECT_TRUE(ReadJson(ok));
  // A hostile nesting far beyond the bound fails without exhausting the stack.
  EXPECT_FALSE(ReadJson(std::string(1000000, '[')));
  std::string big = "\"" + std::string(kMaxAdminLine, 'x') + "\"";
  EXPECT_FALSE(ReadJson(big));
}

TEST(AdminCodecTest, RequestsCarryStringArgumentsOnly) {
  AdminRequest r{{"user", "add", "张三", "--pwd", "a\"b"}};
  std::string line = EncodeRequest(r);
  ASSERT_EQ(line.back(), '\n');
  auto back = DecodeRequest(std::string_view(line).substr(0, line.size() - 1));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->argv, r.argv);

  EXPECT_FALSE(DecodeRequest("[]"));
  EXPECT_FALSE(DecodeRequest("{\"args\":[]}"));
  EXPECT_FALSE(DecodeRequest("{\"argv\":\"status\"}"));
  EXPECT_FALSE(DecodeRequest("{\"argv\":[\"status\",null]}"));
  std::string many = "{\"argv\":[";
  for (int i = 0; i < 4097; ++i) many += (i ? ",\"x\"" : "\"x\"");
  many += "]}";
  EXPECT_FALSE(DecodeRequest(many));
}

TEST(AdminCodecTest, RepliesKeepMessageLinesDataAndExitStatus) {
  AdminReply r;
  r.ok = false;
  r.message = "请先停止服务器";
  r.caption = "信息";
  r.lines = {"a", "b"};
  r.data.Set("confirm", true);
  r.exitCode = 4;
  auto back = DecodeReply(EncodeReply(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->message, r.message);
  EXPECT_EQ(back->lines, r.lines);
  EXPECT_TRUE(back->data["confirm"].AsBool());
  EXPECT_EQ(back->exitCode, 4);

  EXPECT_FALSE(DecodeReply("{\"message\":\"x\"}"));  // no "ok"
  auto odd = DecodeReply("{\"ok\":false,\"exit\":999}");
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->exitCode, 1);  // an exit status out of range is not passed on
}

}  // namespace
}  // namespace corvan
