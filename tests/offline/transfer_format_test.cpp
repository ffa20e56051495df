#include "offline/transfer_format.h"

#include <gtest/gtest.h>

#include "offline/upload.h"

namespace corvan {
namespace {

using namespace std::string_literals;

const std::string kTail = "14=48041e4b:16=47d21313:";
const std::string kStar = "\xA1\xEF";

TEST(OfflineMessageFrame, NamesAreReadToTheNulOrWholeAndUpperCasedInAsciiOnly) {
  std::string frame = EncodeOfflineMessage("bob", "li", "hello");
  ASSERT_EQ(frame.size(), 83u + 5);
  EXPECT_EQ(frame.substr(0, 12), "OfflineInfo\0"s);
  auto names = ParseOfflineMessageNames(frame);
  ASSERT_TRUE(names);
  EXPECT_EQ(names->toUser, "BOB");
  EXPECT_EQ(names->fromUser, "LI");

  // A name filling all 31 bytes has no NUL and is taken whole.
  std::string full(31, 'a');
  names = ParseOfflineMessageNames(EncodeOfflineMessage(full, "x", ""));
  ASSERT_TRUE(names);
  EXPECT_EQ(names->toUser, std::string(31, 'A'));

  // GBK "王a": the letter after the Chinese character is upper-cased, the
  // character's bytes (decoded to UTF-8) are not touched.
  frame = EncodeOfflineMessage("王a", "x", "");
  EXPECT_EQ(frame.substr(21, 3), "\xCD\xF5\x61");
  EXPECT_EQ(ParseOfflineMessageNames(frame)->toUser, "王A");
  // A GBK character whose trail byte is an ASCII letter ("癮" is 0xB0 0x61
  // in GBK) keeps that byte, so the name decodes to the same character.
  std::string raw(83, '\0');
  raw.replace(0, 11, "OfflineInfo");
  raw.replace(21, 2, "\xB0\x61");
  EXPECT_EQ(ParseOfflineMessageNames(raw)->toUser, "癮");

  EXPECT_FALSE(ParseOfflineMessageNames(std::string(82, 'x')));
}

TEST(TransferHeaderCodec, EncodesTheExampleAndParsesItBack) {
  TransferHeader h{"LI", "李", "WANG", "a.txt", "1", "5"};
  const std::string expected = "OfflineFiles" + kStar + "LI" + kStar + "\xC0\xEE" + kStar + "WANG" + kStar + "a.txt" +
                               kStar + "1" + kStar + "5" + kStar;
  EXPECT_EQ(EncodeTransferHeader(h), expected);

  auto parsed = ParseTransferHeader(expected);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->fromUser, "LI");
  EXPECT_EQ(parsed->fromNick, "李");
  EXPECT_EQ(parsed->toUser, "WANG");
  EXPECT_EQ(parsed->name, "a.txt");
  EXPECT_EQ(parsed->kind, "1");
  EXPECT_EQ(parsed->size, "5");
}

TEST(TransferHeaderCodec, UpperCasesOnlyTheUserNamesAndToleratesTheTagForm) {
  // The tag may be followed by a colon instead of the star; trailing text is
  // ignored.
  std::string text = "OfflineFiles:li" + kStar + "Li Nick" + kStar + "wang" + kStar + "Report.Doc" + kStar + "2" +
                     kStar + "0" + kStar + "extra";
  auto h = ParseTransferHeader(text);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->fromUser, "LI");
  EXPECT_EQ(h->fromNick, "Li Nick");
  EXPECT_EQ(h->toUser, "WANG");
  EXPECT_EQ(h->name, "Report.Doc");
  EXPECT_EQ(h->kind, "2");

  // Missing the sixth separator.
  EXPECT_FALSE(ParseTransferHeader("OfflineFiles" + kStar + "a" + kStar + "b" + kStar + "c" + kStar + "d" + kStar +
                                   "1" + kStar + "5"));
}

TEST(TransferRecordCodec, SizeRuleAtAndAroundTwoToTheThirtyTwo) {
  EXPECT_EQ(FormatRecordSize(0), "00");
  EXPECT_EQ(FormatRecordSize(5), "05");
  EXPECT_EQ(FormatRecordSize(0xABC), "0ABC");
  EXPECT_EQ(FormatRecordSize(4294967295ull), "0FFFFFFFF");
  EXPECT_EQ(FormatRecordSize(4294967296ull), "100000000");
  EXPECT_EQ(FormatRecordSize(5368709120ull), "140000000");  // 5 GiB
  EXPECT_EQ(FormatRecordSize(0x123456789ABCDEFull), "123456789ABCDEF");

  // Every form reads back as one 64-bit hex number.
  for (std::uint64_t size : {0ull, 5ull, 4294967295ull, 4294967296ull, 5368709120ull}) {
    auto record = EncodeFileRecord("f", size);
    ASSERT_TRUE(record);
    auto parsed = ParseRecordBody(record->substr(4));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->size, size);
    EXPECT_EQ(parsed->kind, 1);
  }
}

TEST(TransferRecordCodec, TheDocsExampleByteForByte) {
  EXPECT_EQ(*EncodeEnterFolder("Docs"), "002E:Docs:000000000:2:" + kTail);
  EXPECT_EQ(*EncodeFileRecord("a.txt", 5), "0028:a.txt:05:1:" + kTail);
  EXPECT_EQ(*EncodeEnterFolder("Sub"), "002D:Sub:000000000:2:" + kTail);
  EXPECT_EQ(EncodeLeaveFolder(), "0023:.:0:3:" + kTail);
  EXPECT_EQ(EncodeLeaveFolder().size(), 0x23u);
}

TEST(TransferRecordCodec, ReaderBoundsAndMalformedBodies) {
  EXPECT_EQ(ParseRecordLength("002E"), 0x2Eu);
  EXPECT_EQ(ParseRecordLength("002e"), 0x2Eu);
  EXPECT_EQ(ParseRecordLength("07D5"), 2005u);
  EXPECT_FALSE(ParseRecordLength("07D6"));  // over 2005
  EXPECT_FALSE(ParseRecordLength("0004"));
  EXPECT_FALSE(ParseRecordLength("00G1"));

  auto r = ParseRecordBody(":\xCE\xC4\xBC\xFE.txt:0FF:1:" + kTail);  // "文件.txt"
  ASSERT_TRUE(r);
  EXPECT_EQ(r->name, "文件.txt");
  EXPECT_EQ(r->size, 0xFFu);
  EXPECT_FALSE(ParseRecordBody(":a:0Z:1:"));  // size not hex, for a file
  EXPECT_FALSE(ParseRecordBody(":a:05:x:"));  // kind not a number
  EXPECT_FALSE(ParseRecordBody(":a:05"));     // fields missing
  EXPECT_TRUE(ParseRecordBody(":Sub:000000000:2:"));

  // A name that would make the record longer than 2005 bytes cannot be sent.
  EXPECT_FALSE(EncodeFileRecord(std::string(2000, 'n'), 1));
}

TEST(TransferRecordCodec, PathComponentsFromTheWire) {
  for (const char* bad : {"", ".", "..", "a/b", "a\\b", "/", "\\"}) EXPECT_FALSE(IsSafePathComponent(bad)) << bad;
  EXPECT_FALSE(IsSafePathComponent("a\0b"s));
  for (const char* good : {"a.txt", "...", ".hidden", "王", "a b"}) EXPECT_TRUE(IsSafePathComponent(good)) << good;
}

TEST(UploadStampTest, OneStepIsFourPointThreeTwoSeconds) {
  EXPECT_EQ(UploadStamp(45000.0), "900000000");
  EXPECT_EQ(UploadStamp(45000.00004), "900000000");
  EXPECT_EQ(UploadStamp(45000.00006), "900000001");
}

}  // namespace
}  // namespace corvan
