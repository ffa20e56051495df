// The notice documents, the reading of a "GetStatus" answer and the poll
// rule, without sockets.
#include <gtest/gtest.h>

#include "base/text.h"
#include "presence/notices.h"
#include "presence/presence.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;

std::string Doc(std::string_view type, std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Type>" + std::string(type) + "</Type><Struct>" +
         std::string(body) + "</Struct></RootNode>\r\n";
}

TEST(Notices, ElementsAndOrder) {
  EXPECT_EQ(GbkToUtf8Lenient(BuildOfflineNotice("张三", "10.0.0.1")),
            Doc("Offline", "<username>张三</username><ip>10.0.0.1</ip>"));
  EXPECT_EQ(BuildOnlineNotice("A", "1.2.3.4"), Doc("Online", "<username>A</username><ip>1.2.3.4</ip>"));
  EXPECT_EQ(BuildStatusNotice("A", "busy"), Doc("Status", "<username>A</username><Status>busy</Status>"));
  EXPECT_EQ(BuildNewUserRegNotice("A", "", "001"),
            Doc("NewUserReg", "<username>A</username><nickname/><orgNo>001</orgNo>"));
  EXPECT_EQ(BuildGetStatus("A"), Doc("GetStatus", "<username>A</username>"));
  EXPECT_EQ(BuildServerStop(),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Type>ServerStop</Type></RootNode>\r\n");
  EXPECT_EQ(BuildInformationNotice(""), Doc("Information", "<content/><Ver>Mini</Ver><time>20</time><address>" +
                                                               std::string(kInformationAddress) + "</address>"));
}

TEST(StatusAnswers, OnlyTheExactNameUnderStructCounts) {
  EXPECT_EQ(ClassifyStatusAnswer(BuildGetStatus("ALICE"), "ALICE"), StatusAnswer::kValid);
  EXPECT_EQ(ClassifyStatusAnswer("<RootNode><Struct><username>ALICE</username></Struct></RootNode>", "ALICE"),
            StatusAnswer::kValid);  // Type is not looked at
  EXPECT_EQ(ClassifyStatusAnswer(BuildGetStatus("alice"), "ALICE"), StatusAnswer::kOther);
  EXPECT_EQ(ClassifyStatusAnswer("<RootNode><username>ALICE</username></RootNode>", "ALICE"), StatusAnswer::kOther);
  EXPECT_EQ(ClassifyStatusAnswer("<Other><Struct><username>ALICE</username></Struct></Other>", "ALICE"),
            StatusAnswer::kOther);
  EXPECT_EQ(ClassifyStatusAnswer("<RootNode><Struct>", "ALICE"), StatusAnswer::kNotXml);
  EXPECT_EQ(ClassifyStatusAnswer("", "ALICE"), StatusAnswer::kNotXml);
}

TEST(PollRule, SilenceOfTheLimitOrMore) {
  const auto now = Clock::now();
  EXPECT_FALSE(DueForPoll(now - 59s, now, 60s));
  EXPECT_TRUE(DueForPoll(now - 61s, now, 60s));
  EXPECT_TRUE(DueForPoll(now - 25h, now, 60s));  // whole days count too
  EXPECT_FALSE(DueForPoll(Clock::time_point{}, now, 60s));
}

}  // namespace
}  // namespace corvan
