#include "admin/user_csv.h"

#include <gtest/gtest.h>

#include "storage/schema.h"

namespace corvan {
namespace {

DirectorySnapshot Dir() {
  std::vector<OrgPtr> orgs{MakeOrg("未分组", "001", "Root", 100), MakeOrg("研发部", "Root001", "Root", 100)};
  TUserInfo alice;
  alice.username = "ALICE";
  alice.pwd = "pw";
  alice.nickname = "Alice";
  alice.organizeNo = "001";
  alice.USERID = 100;
  std::vector<UserPtr> users{MakeUser(alice, orgs)};
  return DirectorySnapshot("公司", orgs, users);
}

TEST(CsvParseTest, QuotesCommasLineBreaksAndBom) {
  auto r = ParseCsv(
      "\xEF\xBB\xBF"
      "a,\"b,c\",\"say \"\"hi\"\"\"\r\n\r\nx,\"two\nlines\",\n");
  ASSERT_TRUE(r.IsOk());
  ASSERT_EQ(r.Value().size(), 2u);
  EXPECT_EQ(r.Value()[0].fields, (std::vector<std::string>{"a", "b,c", "say \"hi\""}));
  EXPECT_EQ(r.Value()[1].line, 3u);
  EXPECT_EQ(r.Value()[1].fields, (std::vector<std::string>{"x", "two\nlines", ""}));
}

TEST(CsvParseTest, RefusesBrokenQuotingAndOversizedInput) {
  Result<std::vector<CsvRecord>> open = ParseCsv("a,\"open\n");
  EXPECT_FALSE(open.IsOk());
  EXPECT_NE(open.GetStatus().Message().find("第1行"), std::string::npos);
  EXPECT_FALSE(ParseCsv("a,b\"c\n").IsOk());
  EXPECT_FALSE(ParseCsv("\"a\"b\n").IsOk());
  EXPECT_FALSE(ParseCsv(std::string(kMaxCsvFields + 1, ',')).IsOk());
  EXPECT_FALSE(ParseCsv(std::string(kMaxCsvBytes + 1, 'a')).IsOk());
}

TEST(CsvExportTest, ExportReadsBackAsAValidImportOfTheSameAccounts) {
  TUserInfo odd;
  odd.username = "BOB";
  odd.pwd = "p,w";
  odd.nickname = " \"Bob\" ";
  odd.organizeNo = "Root001";
  odd.self_desc = "line1\r\nline2";
  odd.USERID = 7;
  std::string csv = UsersToCsv({std::make_shared<const TUserInfo>(odd)});
  auto records = ParseCsv(csv);
  ASSERT_TRUE(records.IsOk());
  ASSERT_EQ(records.Value().size(), 2u);
  EXPECT_EQ(records.Value()[0].fields, UserCsvColumns());
  EXPECT_EQ(records.Value()[1].fields[1], "p,w");
  EXPECT_EQ(records.Value()[1].fields[2], " \"Bob\" ");
  EXPECT_EQ(records.Value()[1].fields[4], "7");
  EXPECT_EQ(records.Value()[1].fields.back(), "line1\r\nline2");

  CsvImportPlan plan = PlanUserImport(csv, Dir());
  EXPECT_TRUE(plan.errors.empty());
  ASSERT_EQ(plan.forms.size(), 1u);
  EXPECT_EQ(plan.forms[0].orgShown, "研发部");
}

TEST(CsvImportTest, ListsEveryBadRowWithItsLine) {
  CsvImportPlan plan = PlanUserImport(
      "username,pwd,nickname,organizeNo,USERID\n"
      "carl,1,Carl,001,5\n"      // 2: fine
      "alice,1,A,001,1\n"        // 3: clashes with the directory
      "CARL,1,C,001,1\n"         // 4: clashes with row 2
      "dora,,Dora,001,1\n"       // 5: required field
      "emil,1,Emil,001,10001\n"  // 6: order out of range
      "fay,1,Fay,Root,1\n"       // 7: the root is not offered
      "gus,1,Gus,Root009,1\n"    // 8: unknown department
      "hal,1," +
          std::string(31, 'h') + ",001,1\n",  // 9: longer than the editor allows
      Dir());
  ASSERT_EQ(plan.errors.size(), 7u);
  std::vector<std::size_t> lines;
  for (const auto& e : plan.errors) lines.push_back(e.line);
  EXPECT_EQ(lines, (std::vector<std::size_t>{3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(plan.errors[0].message, "此登录名已经存在，请换用其它名称");
  EXPECT_EQ(plan.errors[1].message, "此登录名已经存在，请换用其它名称");
  EXPECT_EQ(plan.errors[2].message, "*号项必须填写");
  EXPECT_EQ(plan.errors[3].message, "优先级请正确输入！");
}

TEST(CsvImportTest, HeaderMustNameKnownColumnsAndTheRequiredOnes) {
  EXPECT_EQ(PlanUserImport("username,pwd,nickname\nx,1,x\n", Dir()).errors.at(0).message, "缺少列：organizeNo");
  EXPECT_EQ(PlanUserImport("username,pwd,nickname,organizeNo,shoe\n", Dir()).errors.at(0).line, 1u);
  EXPECT_FALSE(PlanUserImport("username,pwd,nickname,organizeNo,pwd\n", Dir()).errors.empty());
  EXPECT_FALSE(PlanUserImport("", Dir()).errors.empty());
  EXPECT_FALSE(PlanUserImport("username,pwd,nickname,organizeNo\n", Dir()).errors.empty());
  // Without USERID the editor's default order applies.
  CsvImportPlan plan = PlanUserImport("nickname,organizeNo,pwd,username\nX,001,1,x\n", Dir());
  ASSERT_TRUE(plan.errors.empty());
  EXPECT_EQ(plan.forms[0].userId, "100");
  EXPECT_EQ(plan.forms[0].username, "x");
}

}  // namespace
}  // namespace corvan
