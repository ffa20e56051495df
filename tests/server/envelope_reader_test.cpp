// The direct envelope reader against the general XML parser: what one
// accepts the other accepts with the same texts, and every refusal holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/text.h"
#include "server/envelope.h"

namespace corvan {
namespace {

const char* const kNames[] = {"Type", "Struct", "username", "pwd", "Mac", "nickname", "a", "b", "x", ""};

// Both readers give the same verdict and, when they accept, the same texts.
void ExpectSameAsGeneral(const std::string& doc) {
  SCOPED_TRACE(doc);
  auto direct = ParsedEnvelope::Read(doc);
  auto general = ParsedEnvelope::ReadGeneral(doc);
  ASSERT_EQ(direct.has_value(), general.has_value());
  if (!direct) return;
  EXPECT_EQ(direct->Type(), general->Type());
  EXPECT_EQ(direct->HasStruct(), general->HasStruct());
  for (const char* name : kNames) {
    EXPECT_EQ(direct->Field(name), general->Field(name)) << name;
    EXPECT_EQ(direct->RootField(name), general->RootField(name)) << name;
  }
}

std::string Gbk(const std::string& utf8) { return *Utf8ToGbk(utf8); }

const std::string kGb2312 = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n";

TEST(EnvelopeReader, ReadsWhatTheGeneralParserReads) {
  const std::vector<std::string> docs = {
      kGb2312 + "<RootNode><Type>Loginin</Type><Struct><username>U1</username><pwd>pw</pwd></Struct></RootNode>\r\n",
      kGb2312 + Gbk("<RootNode><Type>Reg</Type><Struct><nickname>张三丂镕</nickname></Struct></RootNode>"),
      "<?xml version='1.0' encoding='gbk' standalone='yes' ?>" +
          Gbk("<RootNode><Type>T</Type><Struct><a>表</a></Struct></RootNode>"),
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><RootNode><Type>T</Type><Struct><a>张三</a></Struct></RootNode>",
      "<?xml version=\"1.0\"?><RootNode><Type>T</Type></RootNode>",
      "<RootNode><Type>T</Type><Struct/></RootNode>",
      "<RootNode>\r\n  <Type> T </Type>\r\n  <Struct>\r\n    <a>line1\r\nline2\rline3</a>\n  "
      "</Struct>\r\n</RootNode>\r\n\r\n",
      "<RootNode><Type>T</Type><Struct><a><![CDATA[<b>&amp;\r\n]]]></a><b>x<![CDATA[]]>y</b></Struct></RootNode>",
      "<RootNode><Type>T</Type><Struct><a>&amp;&lt;&gt;&quot;&apos;&#13;&#10;&#x4E2D;&#20013;&#x1F600;</a></Struct></"
      "RootNode>",
      "<RootNode><Type>T</Type><Struct><a>1<x>2<y>3</y></x>4</a><a>second</a><x/></Struct><Struct><b>no</b></Struct>"
      "<a>root</a></RootNode>",
      "<RootNode ><Type >T</Type ><Struct ><a /><b></b></Struct></RootNode >",
      "<RootNode><Type>A]B]]C</Type></RootNode>",
      // Handed to the general parser: comments, attributes, instructions,
      // prefixes, other encodings.
      "<!-- c --><RootNode><Type>T</Type><Struct><a>1<!-- x -->2</a></Struct></RootNode>",
      "<RootNode v=\"1\"><Type>T</Type><Struct><a k='2'>x</a></Struct></RootNode>",
      "<RootNode><Type>T</Type><?pi x?><Struct><p:a xmlns:p=\"u\">z</p:a></Struct></RootNode><!-- tail -->",
      "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><RootNode><Type>T\xE9</Type></RootNode>",
      "\xEF\xBB\xBF<RootNode><Type>bom</Type></RootNode>",
      " <RootNode><Type>lead</Type></RootNode>",
  };
  for (const auto& doc : docs) {
    ExpectSameAsGeneral(doc);
    EXPECT_TRUE(ParsedEnvelope::Read(doc)) << doc;
  }
  auto env = ParsedEnvelope::Read(docs[6]);
  EXPECT_EQ(env->Type(), " T ");
  EXPECT_EQ(env->Field("a"), "line1\nline2\nline3");
  env = ParsedEnvelope::Read(docs[7]);
  EXPECT_EQ(env->Field("a"), "<b>&amp;\n]");
  env = ParsedEnvelope::Read(docs[8]);
  EXPECT_EQ(env->Field("a"), "&<>\"'\r\n中中😀");
  env = ParsedEnvelope::Read(docs[9]);
  EXPECT_EQ(env->Field("a"), "1234");
  EXPECT_EQ(env->Field("b"), std::nullopt);
  EXPECT_EQ(env->RootField("a"), "root");
}

TEST(EnvelopeReader, RefusesWhatTheGeneralParserRefuses) {
  const std::string big(ParsedEnvelope::kMaxBytes, ' ');
  const std::vector<std::string> docs = {
      "",
      "<RootNode><Type>T</Type></RootNode><RootNode/>",
      "<RootNode><Type>T</Type></RootNode>trailing",
      "<RootNode><Type>T</Struct></RootNode>",
      "<RootNode><Type>T</Type>",
      "<RootNode><Type>T&bogus;</Type></RootNode>",
      "<RootNode><Type>T&amp</Type></RootNode>",
      "<RootNode><Type>T&#0;</Type></RootNode>",
      "<RootNode><Type>T&#xD800;</Type></RootNode>",
      "<RootNode><Type>T&#99999999;</Type></RootNode>",
      "<RootNode><Type>a]]>b</Type></RootNode>",
      "<RootNode><Type>a\x01</Type></RootNode>",
      "<RootNode><Type>\xC3\x28</Type></RootNode>",
      "<RootNode><Type>\xED\xA0\x80</Type></RootNode>",
      kGb2312 + "<RootNode><Type>\x81<</Type></RootNode>",
      "<RootNode><1a/><Type>T</Type></RootNode>",
      "<RootNode><Type>T</Type><Struct><a><![CDATA[x</a></Struct></RootNode>",
      "<?xml version=\"1.0\" encoding=\"GB2312\"><RootNode><Type>T</Type></RootNode>",
      "<?xml encoding=\"GB2312\"?><RootNode><Type>T</Type></RootNode>",
      // Not an envelope.
      "<Root><Type>T</Type></Root>",
      "<RootNode><Struct><Type>T</Type></Struct></RootNode>",
      "<RootNode/>",
      "<RootNode><Type>" + big + "</Type></RootNode>",
  };
  for (const auto& doc : docs) {
    EXPECT_FALSE(ParsedEnvelope::Read(doc)) << doc.substr(0, 200);
    EXPECT_FALSE(ParsedEnvelope::ReadGeneral(doc)) << doc.substr(0, 200);
  }
}

TEST(EnvelopeReader, RefusesEveryDocumentTypeDeclaration) {
  const std::string body = "<RootNode><Type>T</Type><Struct><username>u</username></Struct></RootNode>";
  for (const std::string& prolog : {
           std::string("<!DOCTYPE RootNode>"),
           std::string("<?xml version=\"1.0\"?>\n<!DOCTYPE RootNode [<!ELEMENT RootNode ANY>]>"),
           std::string("<!-- first --><!DOCTYPE RootNode SYSTEM \"file:///etc/passwd\">"),
           std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><!DOCTYPE RootNode [<!ENTITY x \"y\">]>"),
       }) {
    EXPECT_FALSE(ParsedEnvelope::Read(prolog + body)) << prolog;
    EXPECT_FALSE(ParsedEnvelope::ReadGeneral(prolog + body)) << prolog;
  }
  // Without a declaration an entity reference is simply undeclared.
  EXPECT_FALSE(ParsedEnvelope::Read("<RootNode><Type>&x;</Type></RootNode>"));
}

TEST(EnvelopeReader, ReadsTheSeedCorpusLikeTheGeneralParser) {
  const auto dir = std::filesystem::path(CORVAN_SOURCE_DIR) / "tests/fuzz/corpus/envelope";
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ExpectSameAsGeneral(doc);
    ++files;
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace corvan
