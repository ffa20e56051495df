// The Active Directory preset against a real domain controller: Samba's AD
// DC, provisioned once for this program (it takes a while) and checked in
// steps: the sync (sAMAccountName, displayName, binary objectGUID, nested
// units with Chinese names, more people than the DC's page of 1,000,
// userAccountControl locking), directory-password login (a disabled person
// refused at once), and ldaps:// with the DC's own certificate.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "accounts/directory_admin.h"
#include "app/modules_default.h"
#include "directory_sync/corvanctl_support.h"
#include "directory_sync/password_check.h"
#include "directory_sync/slapd_support.h"
#include "directory_sync/sync.h"
#include "storage/database.h"
#include "support/accounts_support.h"
#include "support/samba_support.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using test::FakeClient;
using test::LdifRecord;
using test::ReplyField;
using test::SambaDc;
using test::TestServer;

constexpr int kStaff = 2500;  // staff0000 is disabled from the start
const std::string kCorp = std::string("OU=Corp,") + SambaDc::kDomainDn;

std::string Reason(const std::optional<std::string>& reply) {
  return reply ? ReplyField(*reply, "reason").value_or("<none>") : "<no reply>";
}

std::string Number(int i) {
  std::string n = std::to_string(i);
  return std::string(4 - n.size(), '0') + n;
}

// Units nested two deep with Chinese names, and the staff in five of them,
// loaded in one ldbadd.
std::vector<LdifRecord> Organisation() {
  auto unit = [](const std::string& dn) { return LdifRecord{dn, {{"objectClass", "organizationalUnit"}}}; };
  const std::string sales = "OU=销售部," + kCorp;
  std::vector<LdifRecord> records = {unit(kCorp), unit("OU=研发部," + kCorp), unit("OU=平台组,OU=研发部," + kCorp),
                                     unit(sales)};
  for (int g = 0; g < 5; ++g) records.push_back(unit("OU=第" + std::to_string(g) + "组," + sales));
  for (int i = 0; i < kStaff; ++i)
    records.push_back({"CN=staff" + Number(i) + ",OU=第" + std::to_string(i % 5) + "组," + sales,
                       {{"objectClass", "user"},
                        {"sAMAccountName", "staff" + Number(i)},
                        {"displayName", "员工" + Number(i)},
                        // A normal account, enabled, without a password; 546 is the same disabled.
                        {"userAccountControl", i == 0 ? "546" : "544"}}});
  return records;
}

std::string Settings(const SambaDc& dc, const std::string& url, const std::string& extra) {
  return "url = " + url + "\nbind_dn = " + dc.AdminDn() + "\nbind_password = " + SambaDc::kAdminPassword +
         "\nbase_dn = " + kCorp + "\npreset = activedirectory\ntimeout_seconds = 10\n" + extra;
}

void WriteSettings(const fs::path& home, const std::string& text) {
  const fs::path file = home / kDirectorySettingsFile;
  std::ofstream(file) << text;
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

using test::WithDirectory;

DirectorySyncOutcome Sync(ServerCore& core) { return core.Modules().DirectorySync(core, {}, {}); }

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

void SyncsThePreset(SambaDc& dc) {
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  WriteSettings(server.Home(), Settings(dc, dc.LdapUrl(), "allow_plain = yes\n"));
  DirectorySyncOutcome first = Sync(core);
  ASSERT_TRUE(first.ok) << first.message;
  auto dir = core.Dir().Get();
  EXPECT_EQ(dir->Users().size(), 1u + (kStaff - 1) + 3) << first.message;  // local, staff, three people
  EXPECT_EQ(dir->FindUser("STAFF0000"), nullptr);                          // disabled from the start
  OrgTree tree(*dir);
  ASSERT_NE(dir->FindUser("ZHANGSAN"), nullptr);
  EXPECT_EQ(dir->FindUser("ZHANGSAN")->nickname, "张三");
  EXPECT_EQ(tree.PathOf(dir->FindUser("ZHANGSAN")->organizeNo), "研发部\\平台组");
  ASSERT_NE(dir->FindUser("STAFF2499"), nullptr);
  EXPECT_EQ(dir->FindUser("STAFF2499")->nickname, "员工2499");
  EXPECT_EQ(tree.PathOf(dir->FindUser("STAFF2499")->organizeNo), "销售部\\第4组");
  const std::vector<DirLink> links = ReadLinks(core.Db(), kAccountLinkTable).Value();
  for (const DirLink& l : links)
    if (l.key == "ZHANGSAN") {
      EXPECT_EQ(l.id.size(), 32u) << l.id;  // objectGUID's 16 bytes, in hex
      EXPECT_EQ(l.id.find_first_not_of("0123456789abcdef"), std::string::npos) << l.id;
    }
  DirectorySyncOutcome again = Sync(core);
  ASSERT_TRUE(again.ok) << again.message;
  EXPECT_EQ(again.lines, std::vector<std::string>{"已停用的帐号未同步：1"});

  ASSERT_TRUE(dc.Tool("user disable lisi"));
  DirectorySyncOutcome locking = Sync(core);
  EXPECT_TRUE(Has(locking.lines, "锁定用户 LISI（目录中已停用）")) << ::testing::PrintToString(locking.lines);
  EXPECT_TRUE(core.Modules().AccountLocked(core, "LISI"));
  EXPECT_NE(core.Dir().Get()->FindUser("LISI"), nullptr);
  ASSERT_TRUE(dc.Tool("user enable lisi"));
  DirectorySyncOutcome unlocking = Sync(core);
  EXPECT_TRUE(Has(unlocking.lines, "解锁用户 LISI（目录中已重新启用）")) << ::testing::PrintToString(unlocking.lines);
  EXPECT_FALSE(core.Modules().AccountLocked(core, "LISI"));
}

void LogsInWithTheDirectoryPassword(SambaDc& dc) {
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  const std::string settings = Settings(dc, dc.LdapUrl(), "allow_plain = yes\nlogin_with_directory_password = yes\n");
  WriteSettings(server.Home(), settings);
  ASSERT_TRUE(Sync(core).ok);
  core.Modules().DirectoryStarted(core);

  FakeClient a(server, "127.0.0.2");
  EXPECT_EQ(Reason(a.Login("zhangsan", "Ww-Passw0rd!")), "密码不正确!");
  auto ok = a.Login("zhangsan", "Zs-Passw0rd!");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReplyField(*ok, "status"), "success") << *ok;

  // Disabled after the sync: refused at once.
  ASSERT_TRUE(dc.Tool("user disable wangwu"));
  FakeClient b(server, "127.0.0.3");
  EXPECT_EQ(Reason(b.Login("wangwu", "Ww-Passw0rd!")), "该用户已被停用!");
  // The DC refuses the bind itself (data 533), which is taken the same way.
  DirectorySettings plain = *ParseDirectorySettings(settings).settings;
  plain.disabled = DisabledRule::kNone;
  DirLink link;
  const std::vector<DirLink> links = ReadLinks(core.Db(), kAccountLinkTable).Value();
  for (const DirLink& l : links)
    if (l.key == "WANGWU") link = l;
  LdapError error;
  EXPECT_EQ(VerifyDirectoryPassword(plain, link, "WANGWU", "Ww-Passw0rd!",
                                    std::chrono::steady_clock::now() + std::chrono::seconds(10), &error),
            DirectoryVerdict::kDisabled);
  EXPECT_NE(error.message.find("data 533"), std::string::npos) << error.message;
  ASSERT_TRUE(dc.Tool("user enable wangwu"));
}

void LdapsWithTheDcsOwnCertificate(SambaDc& dc) {
  // corvanctl on a stopped server's folder, so that the DC's certificate
  // name resolves for that process alone (nss_wrapper).
  test::TempDir home;
  const fs::path db = home.Path() / "Corvan_Server.mdb";
  test::SeedDatabase(db, {{"LOCAL", "pw", "本地"}});
  WriteSettings(home.Path(), Settings(dc, dc.LdapsUrl(), "ca_file = " + dc.CaFile().string() + "\n"));
  const std::string env =
      "LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_DISABLE_DEEPBIND=1 NSS_WRAPPER_HOSTS=" + dc.HostsFile().string() +
      " ASAN_OPTIONS=\"${ASAN_OPTIONS}:verify_asan_link_order=0\"";
  test::CtlRun run = test::Corvanctl(home.Path(), "directory-sync", env);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("新增用户 " + std::to_string(kStaff - 1 + 3)), std::string::npos) << run.out;

  // By its address the certificate's name does not match; without the
  // DC's CA it is not trusted either.
  TestServer server(WithDirectory());
  ServerCore& core = server.Core();
  WriteSettings(server.Home(), Settings(dc, dc.LdapsUrlByAddress(), "ca_file = " + dc.CaFile().string() + "\n"));
  DirectorySyncOutcome byAddress = Sync(core);
  EXPECT_NE(byAddress.message.find("host name does not match"), std::string::npos) << byAddress.message;
  EXPECT_EQ(byAddress.message.find("certificate not trusted"), std::string::npos) << byAddress.message;
  WriteSettings(server.Home(), Settings(dc, dc.LdapsUrlByAddress(), ""));
  DirectorySyncOutcome untrusted = Sync(core);
  EXPECT_NE(untrusted.message.find("certificate not trusted"), std::string::npos) << untrusted.message;
}

// One test, so that the DC is provisioned once (ctest runs each test in a
// process of its own).
TEST(ActiveDirectory, ThePresetAgainstARealDomainController) {
  CORVAN_REQUIRE_SAMBA();
  SambaDc dc;
  ASSERT_TRUE(dc.Provisioned()) << dc.Logs();
  ASSERT_TRUE(dc.Add(Organisation())) << dc.Logs();
  const std::pair<const char*, const char*> people[] = {
      {"zhangsan --given-name=张三 'Zs-Passw0rd!'", "OU=平台组,OU=研发部,OU=Corp"},
      {"lisi --given-name=李四 'Ls-Passw0rd!'", "OU=研发部,OU=Corp"},
      {"wangwu --given-name=王五 'Ww-Passw0rd!'", "OU=研发部,OU=Corp"}};
  for (const auto& [who, ou] : people)
    ASSERT_TRUE(dc.Tool(std::string("user create ") + who + " --userou='" + ou + "'")) << dc.Logs();
  ASSERT_TRUE(dc.Start()) << dc.Logs();
  {
    SCOPED_TRACE("sync");
    SyncsThePreset(dc);
  }
  {
    SCOPED_TRACE("login");
    LogsInWithTheDirectoryPassword(dc);
  }
  {
    SCOPED_TRACE("ldaps");
    LdapsWithTheDcsOwnCertificate(dc);
  }
}

}  // namespace
}  // namespace corvan
