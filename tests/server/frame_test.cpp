#include "server/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace corvan {
namespace {

using R = FrameReader::Result;

struct Step {
  R result;
  std::string body;
};

// Feeds `input` in pieces of `chunk` bytes and collects every result other
// than kNeedMore.
std::vector<Step> ReadAll(std::string_view input, std::size_t chunk) {
  FrameReader reader;
  std::vector<Step> out;
  for (std::size_t i = 0; i < input.size(); i += chunk) {
    reader.Feed(input.substr(i, chunk));
    std::string body;
    for (;;) {
      R r = reader.Next(body);
      if (r == R::kNeedMore) break;
      out.push_back({r, r == R::kBody ? body : std::string()});
      if (r == R::kFail) return out;
    }
  }
  return out;
}

TEST(FrameReader, CountLineFormsAnnounceTheSameBody) {
  for (std::string_view input :
       {"12\r\nhello world!", "12\nhello world!", " 12\r\nhello world!", "+12\nhello world!"}) {
    for (std::size_t chunk : {1u, 2u, 5u, 100u}) {
      auto steps = ReadAll(input, chunk);
      ASSERT_EQ(steps.size(), 1u) << input << " chunk " << chunk;
      EXPECT_EQ(steps[0].result, R::kBody);
      EXPECT_EQ(steps[0].body, "hello world!");
    }
  }
}

TEST(FrameReader, BlankLinesAndZeroCountsAreSkippedAndTheNextFrameServed) {
  auto steps = ReadAll("\r\n   \n0\r\n3\r\nabc2\nxy", 1);
  ASSERT_EQ(steps.size(), 5u);
  EXPECT_EQ(steps[0].result, R::kSkip);
  EXPECT_EQ(steps[1].result, R::kSkip);
  EXPECT_EQ(steps[2].result, R::kSkip);
  EXPECT_EQ(steps[3].body, "abc");
  EXPECT_EQ(steps[4].body, "xy");
}

TEST(FrameReader, MalformedCountLinesFail) {
  for (std::string_view line :
       {"12 \n", "abc\n", "1a\n", "2147483648\n", "-5\n", "99999999999\n", "1048577\n", "+\n"}) {
    auto steps = ReadAll(line, 100);
    ASSERT_EQ(steps.size(), 1u) << line;
    EXPECT_EQ(steps[0].result, R::kFail) << line;
  }
}

TEST(FrameReader, LargestAcceptedBodyIsOneMebibyte) {
  std::int64_t count = 0;
  EXPECT_EQ(ParseCountLine("1048576", count), R::kBody);
  EXPECT_EQ(count, 1048576);
  EXPECT_EQ(ParseCountLine("1048577", count), R::kFail);
}

TEST(FrameReader, OverlongCountLineFails) {
  FrameReader reader;
  std::string body;
  reader.Feed(std::string(FrameReader::kMaxLineBytes, ' '));
  EXPECT_EQ(reader.Next(body), R::kNeedMore);
  reader.Feed(" ");
  EXPECT_EQ(reader.Next(body), R::kFail);
}

TEST(FrameReader, PartialCountLineWaitsForTheRest) {
  FrameReader reader;
  std::string body;
  reader.Feed("1");
  EXPECT_EQ(reader.Next(body), R::kNeedMore);
  EXPECT_EQ(reader.Next(body), R::kNeedMore);
  reader.Feed("0\r\n0123456789");
  EXPECT_EQ(reader.Next(body), R::kBody);
  EXPECT_EQ(body, "0123456789");
}

TEST(FrameReader, BytesAfterAFrameStayBuffered) {
  FrameReader reader;
  std::string body;
  reader.Feed("3\r\nabcCONTENT");
  EXPECT_EQ(reader.Next(body), R::kBody);
  EXPECT_EQ(reader.TakeBuffered(), "CONTENT");
  EXPECT_EQ(reader.BufferedBytes(), 0u);
}

TEST(FrameEncoding, CountLineCountsBytesNotCharacters) {
  // Six two-byte characters and "!" in GBK: 13 bytes.
  std::string reason = "\xB8\xC3\xD3\xC3\xBB\xA7\xB2\xBB\xB4\xE6\xD4\xDA!";
  EXPECT_EQ(EncodeFrame(reason), "13\r\n");
  EXPECT_EQ(EncodeFrame(""), "0\r\n");
}

TEST(FrameRouting, HeadDecidesTheRoute) {
  std::string pad(30, 'x');
  EXPECT_EQ(RouteFrame(std::string("OfflineInfo\0", 12) + pad), FrameRoute::kOfflineInfo);
  EXPECT_EQ(RouteFrame("OfflineInfoX" + pad), FrameRoute::kRequest);
  EXPECT_EQ(RouteFrame("OfflineFiles:" + pad), FrameRoute::kOfflineFiles);
  EXPECT_EQ(RouteFrame(std::string("OfflineFiles\0", 13) + pad), FrameRoute::kOfflineFiles);
  EXPECT_EQ(RouteFrame("<?xml version=\"1.0\"?>"), FrameRoute::kRequest);  // exactly 21 bytes
  EXPECT_EQ(RouteFrame(std::string(20, 'a')), FrameRoute::kTooShort);
  // The head stops at the 21st byte: a 22-byte "OfflineInfo..." tag is no
  // offline message.
  EXPECT_EQ(RouteFrame("OfflineInfoOfflineInfo" + pad), FrameRoute::kRequest);
  EXPECT_EQ(UploadHeaderText(std::string("OfflineFiles:a\0junk", 19)), "OfflineFiles:a");
}

}  // namespace
}  // namespace corvan
