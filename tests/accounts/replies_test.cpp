// The reply documents and the registration rules, byte for byte, without
// sockets.
#include <gtest/gtest.h>

#include "accounts/replies.h"
#include "base/text.h"
#include "server/envelope.h"
#include "storage/schema.h"

namespace corvan {
namespace {

constexpr std::string_view kHead = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<RootNode><Type>Info</Type><Struct>";
constexpr std::string_view kTail = "</Struct></RootNode>\r\n";

std::string Doc(std::string_view body) { return std::string(kHead) + std::string(body) + std::string(kTail); }
std::string Utf8(const std::string& gbk) { return GbkToUtf8Lenient(gbk); }

DirectorySnapshot SmallDirectory() {
  std::vector<OrgPtr> orgs{MakeOrg("研发部", "Root001", "Root", 5), MakeOrg("测试组", "Root001001", "Root001", 20000)};
  TUserInfo alice;
  alice.username = "alice";
  alice.pwd = "secret";
  alice.nickname = "爱丽丝";
  alice.organizeNo = "Root001001";
  alice.tel = "123";
  alice.self_desc = "a<b";
  alice.USERID = 7;
  TUserInfo bob;
  bob.username = "BOB";
  bob.organizeNo = "Root009";
  bob.USERID = -5;
  std::vector<UserPtr> users{MakeUser(alice, orgs), MakeUser(bob, orgs)};
  return DirectorySnapshot("某公司", orgs, users);
}

TEST(DirectoryReplies, OrglistSendsTheRootOnlyAsCompanyNameAndClampedIds) {
  EXPECT_EQ(Utf8(BuildOrglistReply(SmallDirectory())),
            Doc("<BackType>GetOrglist</BackType><CompanyName>某公司</CompanyName><Class>"
                "<Org><Orgname>研发部</Orgname><OrgNo>Root001</OrgNo><ParNo>Root</ParNo><Id>5</Id></Org>"
                "<Org><Orgname>测试组</Orgname><OrgNo>Root001001</OrgNo><ParNo>Root001</ParNo><Id>0</Id></Org>"
                "</Class>"));
  EXPECT_EQ(Utf8(BuildOrglistReply(DirectorySnapshot("组织机构", {}, {}))),
            Doc("<BackType>GetOrglist</BackType><CompanyName>组织机构</CompanyName><Class/>"));
}

TEST(DirectoryReplies, UserlistListsEveryAccountInOrder) {
  EXPECT_EQ(Utf8(BuildUserlistReply(SmallDirectory())),
            Doc("<BackType>GetUserlist</BackType><Class>"
                "<User><username>ALICE</username><nickname>爱丽丝</nickname><OrgNo>Root001001</OrgNo><Id>7</Id></User>"
                "<User><username>BOB</username><nickname/><OrgNo>Root009</OrgNo><Id>0</Id></User>"
                "</Class>"));
}

// The lists a snapshot keeps are the documents above with the count line the
// connection always wrote before a reply, and one build serves every ask.
TEST(DirectoryReplies, KeptListsAreTheFramedDocumentsBuiltOncePerSnapshot) {
  const DirectorySnapshot dir = SmallDirectory();
  const std::string users = BuildUserlistReply(dir);
  const std::string orgs = BuildOrglistReply(dir);
  auto userFrame = UserlistFrame(dir);
  auto orgFrame = OrglistFrame(dir);
  ASSERT_TRUE(userFrame && orgFrame);
  EXPECT_EQ(*userFrame, std::to_string(users.size()) + "\r\n" + users);
  EXPECT_EQ(*orgFrame, std::to_string(orgs.size()) + "\r\n" + orgs);
  EXPECT_EQ(UserlistFrame(dir), userFrame);
  EXPECT_EQ(OrglistFrame(dir), orgFrame);

  // A copy has its own slots: its lists are built for it, equal in bytes.
  const DirectorySnapshot copy = dir;
  EXPECT_NE(UserlistFrame(copy), userFrame);
  EXPECT_EQ(*UserlistFrame(copy), *userFrame);
}

TEST(DirectoryReplies, OnlineListSpellsIpInCapitals) {
  TUserOnlineInfo a{"ALICE", "", "10.0.0.2", "00-11", "忙碌", Clock::now()};
  EXPECT_EQ(Utf8(BuildOnlineUserlistReply({a})),
            Doc("<BackType>GetOnlineUserlist</BackType><Class><User><username>ALICE</username><IP>10.0.0.2</IP>"
                "<Mac>00-11</Mac><nickname/><status>忙碌</status></User></Class>"));
  EXPECT_EQ(Utf8(BuildOnlineUserlistReply({})), Doc("<BackType>GetOnlineUserlist</BackType><Class/>"));
}

TEST(DirectoryReplies, UserInfoHoldsTheProfileWithoutPassword) {
  const std::string reply = Utf8(BuildUserInfoReply(*SmallDirectory().Users()[0]));
  EXPECT_EQ(reply, Doc("<BackType>GetUserInfo</BackType><status>success</status><reason/><Class>"
                       "<username>ALICE</username><nickname>爱丽丝</nickname><organizeNo>Root001001</organizeNo>"
                       "<organizeName>测试组</organizeName><url/><tel>123</tel><email/><title/><bday/><n_given/>"
                       "<n_family/><adr_street/><adr_country/><org_orgname/><org_orgunit/><work_tel/><work_fax/>"
                       "<mobilephone/><work_adr/><sex/><self_desc>a&lt;b</self_desc></Class>"));
  EXPECT_EQ(reply.find("secret"), std::string::npos);
}

TEST(LoginReply, SixElementsWithEmptyCompany) {
  EXPECT_EQ(Utf8(BuildLoginSuccess("爱丽丝", "127.0.0.2")),
            Doc("<BackType>Loginin</BackType><status>success</status><reason>登录成功</reason>"
                "<nickname>爱丽丝</nickname><ip>127.0.0.2</ip><company/>"));
}

TEST(Registration, TrimsEveryTextAndUpperCasesOnlyTheName) {
  auto env = ParsedEnvelope::Read(EnvelopeWriter("Reg")
                                      .Field("username", "  zhang三 ")
                                      .Field("pwd", " Pw ")
                                      .Field("nickname", "\t小张 ")
                                      .Field("organizeNo", " 001")
                                      .Field("tel", " 555 ")
                                      .Finish());
  ASSERT_TRUE(env);
  RegistrationFields fields = ReadRegistration(*env);
  EXPECT_EQ(fields.organizeNo, " 001");  // kept as received for the department check
  TUserInfo u = NewAccountFrom(fields);
  EXPECT_EQ(u.username, "ZHANG三");
  EXPECT_EQ(u.pwd, "Pw");
  EXPECT_EQ(u.nickname, "小张");
  EXPECT_EQ(u.organizeNo, "001");
  EXPECT_EQ(u.tel, "555");
  EXPECT_EQ(u.email, "");
  EXPECT_EQ(u.USERID, 100);
}

TEST(Registration, NameOfBlanksBecomesEmpty) {
  RegistrationFields fields;
  fields.username = " \t ";
  EXPECT_TRUE(NewAccountFrom(fields).username.empty());
}

TEST(FieldBound, CountsCharactersOfEveryStoredText) {
  EXPECT_EQ(CharCount(""), 0u);
  EXPECT_EQ(CharCount("abc"), 3u);
  EXPECT_EQ(CharCount("长度"), 2u);
  TUserInfo user;
  user.nickname = std::string(kMaxFieldChars, 'n');
  EXPECT_TRUE(FieldsWithinBound(user));
  for (std::string TUserInfo::*member : {&TUserInfo::username, &TUserInfo::pwd, &TUserInfo::nickname,
                                         &TUserInfo::organizeNo, &TUserInfo::self_desc, &TUserInfo::url}) {
    TUserInfo longer;
    longer.*member = std::string(kMaxFieldChars + 1, 'n');
    EXPECT_FALSE(FieldsWithinBound(longer));
  }
}

TEST(AccountNameRule, UpperCasesAsciiOnlyAndKeepsBlanks) { EXPECT_EQ(AccountName(" ab张z "), " AB张Z "); }

}  // namespace
}  // namespace corvan
