// The command table: the parser over argv, the named-argument form the web
// console and the socket use, the help generated from the table, and the
// operations behind it (one publish for a whole import, one audit row per
// change with its actor).
#include "admin/command_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "admin/admin_commands.h"
#include "admin/admin_endpoint.h"
#include "server/server_core.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using test::TestServer;

// The parse of `argv` as one text: the command and its named arguments as
// JSON, or "refused: " and the usage error.
std::string Parsed(const std::vector<std::string>& argv) {
  Result<ParsedCommand> r = ParseCommandLine(argv);
  if (!r.IsOk()) return "refused: " + r.GetStatus().Message();
  return std::string(r.Value().row->name) + " " + WriteJson(r.Value().args);
}

TEST(CommandTableParse, TurnsCommandLinesIntoNamedArguments) {
  struct Case {
    std::vector<std::string> argv;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{"status"}, "status {}"},
      {{"user", "list"}, "user list {}"},
      {{"user", "list", "001"}, R"(user list {"organizeNo":"001"})"},
      {{"user", "add", "bob", "--pwd", "1", "--nick=B", "--org", "Root001", "--order", "7"},
       R"(user add {"USERID":"7","nickname":"B","organizeNo":"Root001","pwd":"1","username":"bob"})"},
      {{"user", "set", "bob", "--name", "rob", "--desc", "x y"},
       R"(user set {"newName":"rob","self_desc":"x y","username":"bob"})"},
      {{"move", "A", "B", "C", "Root001", "--yes"},
       R"(move {"organizeNo":"Root001","usernames":["A","B","C"],"yes":true})"},
      {{"org", "add", "--order", "5", "--", "Root", "--odd"},
       R"(org add {"name":"--odd","order":"5","parent":"Root"})"},
      {{"org", "rename", "Root001", "研发"}, R"(org rename {"name":"研发","organizeNo":"Root001"})"},
      {{"directory-sync", "--dry-run", "--remove-missing", "--force"},
       R"(directory-sync {"dryRun":true,"force":true,"removeMissing":true})"},
      {{"backup", "/tmp/b", "--force"}, R"(backup {"file":"/tmp/b","force":true})"},
      {{"audit", "--since", "2026-12-01", "--actor", "sync", "--op=user add"},
       R"(audit {"actor":"sync","op":"user add","since":"2026-12-01"})"},
      {{"announce"}, "announce {}"},
      {{"config", "set", "AllowReg", "False"}, R"(config set {"key":"AllowReg","value":"False"})"},
      // Refused, with the usage error.
      {{}, "refused: 没有给出命令"},
      {{"--yes"}, "refused: 没有给出命令"},
      {{"nosuch"}, "refused: 未知的命令：nosuch"},
      {{"org"}, "refused: 未知的命令：org"},
      {{"status", "--bogus"}, "refused: 未知的选项：--bogus"},
      {{"status", "--pwd", "1"}, "refused: 未知的选项：--pwd"},
      {{"user", "add", "bob", "--name", "x"}, "refused: 未知的选项：--name"},
      {{"status", "--yes=1"}, "refused: 未知的选项：--yes"},
      {{"user", "add", "bob", "--nick"}, "refused: 选项 --nickname 需要一个值"},
      {{"user", "add"}, "refused: user add：缺少参数"},
      {{"user", "show", "a", "b"}, "refused: user show：参数过多"},
      {{"move", "Root001"}, "refused: move：缺少参数"},
      {{"audit", "--actor"}, "refused: 选项 --actor 需要一个值"},
      {{"config", "set", "AllowReg"}, "refused: config set：缺少参数"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.argv) shown += a + " ";
    EXPECT_EQ(Parsed(c.argv), c.expected) << shown;
  }
}

TEST(CommandTableParse, EveryWebCommandMeansWhatItsCommandLineMeans) {
  for (const CommandRow& row : CommandTable()) {
    if (row.webName.empty()) continue;
    JsonValue args{JsonValue::Object{}};
    for (const ArgSpec& a : row.args) {
      if (!a.web) continue;
      if (a.kind == ArgKind::kWords) args.Set(std::string(a.name), JsonValue(JsonValue::Array{"A", "--B"}));
      else if (a.kind == ArgKind::kFlag) args.Set(std::string(a.name), true);
      else args.Set(std::string(a.name), "--" + std::string(a.name));
    }
    Result<ParsedCommand> named = ParseNamedCommand(row.webName, args, true);
    ASSERT_TRUE(named.IsOk()) << row.webName << ": " << named.GetStatus().Message();
    Result<ParsedCommand> again = ParseCommandLine(CommandLine(named.Value()));
    ASSERT_TRUE(again.IsOk()) << row.webName << ": " << again.GetStatus().Message();
    EXPECT_EQ(again.Value().row, &row);
    EXPECT_EQ(WriteJson(again.Value().args), WriteJson(named.Value().args)) << row.webName;
  }
  // The socket takes every command by its own name; the web console only
  // its own names, without the command-line-only arguments.
  EXPECT_TRUE(ParseNamedCommand("user import", ReadJson(R"({"file":"/x"})").value(), false).IsOk());
  EXPECT_FALSE(ParseNamedCommand("user import", ReadJson(R"({"file":"/x"})").value(), true).IsOk());
  EXPECT_EQ(ParseNamedCommand("directory-sync", ReadJson(R"({"force":true})").value(), true).GetStatus().Message(),
            "未知的参数：force");
}

TEST(CommandTableHelp, IsGeneratedFromTheTable) {
  const std::string help = AdminUsage();
  for (const CommandRow& row : CommandTable()) {
    EXPECT_NE(help.find("  " + CommandUsage(row) + "\n"), std::string::npos) << row.name;
    EXPECT_NE(help.find(std::string(row.help)), std::string::npos) << row.name;
    EXPECT_NE(row.handler, nullptr) << row.name;
  }
  struct Case {
    std::vector<std::string> argv;
    std::optional<std::string> usage;
  };
  const std::vector<Case> cases = {
      {{"user", "add"}, "用法：corvanctl user add 用户名 --pwd 密码 --nick 昵称 --org 部门编号 [--字段 值]..."},
      {{"backup", "a", "b"}, "用法：corvanctl backup 文件"},
      {{"org", "del", "--yes"}, "用法：corvanctl org del 部门编号"},
      {{"audit", "x"}, "用法：corvanctl audit [--since 日期] [--actor console|corvanctl|sync|web] [--op 命令]"},
      {{"nosuch"}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(CommandUsageOf(c.argv), c.usage) << c.argv[0];
}

// An in-process server with its admin socket.
class CommandTableServerTest : public ::testing::Test {
 protected:
  CommandTableServerTest() : endpoint_(server_.Core(), {AdminSocketPath(server_.Home())}) {
    EXPECT_TRUE(endpoint_.Start().IsOk());
  }
  AdminReply Call(AdminRequest request) {
    Result<AdminReply> reply = CallAdminEndpoint(AdminSocketPath(server_.Home()), request, std::chrono::seconds(30));
    EXPECT_TRUE(reply.IsOk()) << reply.GetStatus().Message();
    return reply.ValueOr(AdminReply{});
  }
  AdminReply Run(std::vector<std::string> argv, AdminContext context = {}) {
    return RunAdminCommand(server_.Core(), argv, context);
  }
  std::vector<std::string> AuditLines(std::vector<std::string> filter = {}) {
    filter.insert(filter.begin(), "audit");
    AdminReply r = Run(filter);
    EXPECT_TRUE(r.ok) << r.message;
    return r.lines;
  }

  TestServer server_;
  AdminEndpoint endpoint_;
};

TEST_F(CommandTableServerTest, NamedRequestsRunAndEachChangeIsAuditedWithItsActor) {
  AdminRequest named;
  named.command = "org add";
  named.args = ReadJson(R"({"parent":"Root","name":"研发部"})").value();
  AdminReply org = Call(named);
  ASSERT_TRUE(org.ok) << org.message;
  EXPECT_EQ(org.data["organizeNo"].AsString(), "Root001");
  named.command = "org nosuch";
  EXPECT_EQ(Call(named).exitCode, kExitUsage);

  AdminContext web;
  web.actor = Actor::Web("ops-admin", "192.0.2.7");
  ASSERT_TRUE(Run({"user", "add", "bob", "--pwd", "secret-pw", "--nick", "B", "--org", "Root001"}, web).ok);
  AdminContext console;
  console.actor = Actor::Console();
  ASSERT_TRUE(Run({"user", "set", "bob", "--pwd", "other-pw", "--email", "b@x"}, console).ok);
  EXPECT_FALSE(Run({"org", "del", "Nowhere", "--yes"}, console).ok);  // refused before acting: no row

  std::vector<std::string> lines = AuditLines();
  ASSERT_EQ(lines.size(), 3u);
  const std::string uid = "uid " + std::to_string(::getuid());
  EXPECT_NE(lines[0].find("\tcorvanctl\t"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find("\t" + uid + "\torg add\tRoot001\t"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\tweb\tops-admin\t192.0.2.7\tuser add\tBOB\t"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\tconsole\tconsole\t\tuser set\tBOB\tchanged: pwd,email\tok"), std::string::npos)
      << lines[2];
  for (const std::string& line : lines) EXPECT_EQ(line.find("-pw"), std::string::npos) << line;

  EXPECT_EQ(AuditLines({"--actor", "web"}).size(), 1u);
  EXPECT_EQ(AuditLines({"--op", "user set"}).size(), 1u);
  EXPECT_EQ(AuditLines({"--since", "2999-01-01"}).size(), 0u);
  EXPECT_EQ(Run({"audit", "--actor", "robot"}).exitCode, kExitUsage);
}

TEST_F(CommandTableServerTest, AnImportOfManyRowsPublishesTheDirectoryOnce) {
  ASSERT_TRUE(Run({"org", "add", "Root", "研发部"}).ok);
  const std::filesystem::path csv = server_.Home() / "many.csv";
  {
    std::ofstream out(csv);
    out << "username,pwd,nickname,organizeNo\n";
    for (int i = 0; i < 2000; ++i) out << "user" << i << ",pw,N" << i << ",Root001\n";
  }
  int publishes = 0;
  Directory::Subscription watch = server_.Core().Dir().Subscribe([&] { ++publishes; });
  AdminReply r = Run({"user", "import", csv.string()});
  ASSERT_TRUE(r.ok) << r.message;
  EXPECT_EQ(r.message, "已导入 2000 个用户");
  watch.Reset();
  EXPECT_EQ(publishes, 1);
  EXPECT_EQ(server_.Core().Dir().Get()->Users().size(), 2000u);
  EXPECT_EQ(AuditLines({"--op", "user import"}).size(), 1u);

  // A file whose rows clash with the accounts now there writes nothing.
  AdminReply again = Run({"user", "import", csv.string()});
  EXPECT_FALSE(again.ok);
  EXPECT_EQ(server_.Core().Dir().Get()->Users().size(), 2000u);
}

// A department move through the table, as corvanctl and the web console
// run it: the new code in the reply, the refusals with their messages, one
// audit row for each move that got past the argument checks.
TEST_F(CommandTableServerTest, ADepartmentMovesWithEverythingBelowItAndIsAudited) {
  EXPECT_EQ(Parsed({"org", "move", "Root001", "Root002"}), R"(org move {"organizeNo":"Root001","parent":"Root002"})");
  for (const auto& argv : {std::vector<std::string>{"org", "add", "Root", "研发部"},
                           {"org", "add", "Root", "销售部"},
                           {"org", "add", "Root001", "后端组"}})
    ASSERT_TRUE(Run(argv).ok);
  ASSERT_TRUE(Run({"user", "add", "dev1", "--pwd", "p", "--nick", "D", "--org", "Root001001"}).ok);

  AdminContext web;
  web.actor = Actor::Web("ops-admin", "192.0.2.7");
  AdminReply moved = Run({"org", "move", "Root001", "Root002"}, web);
  ASSERT_TRUE(moved.ok) << moved.message;
  EXPECT_EQ(moved.data["organizeNo"].AsString(), "Root002001");
  auto dir = server_.Core().Dir().Get();
  EXPECT_EQ(dir->FindUser("DEV1")->organizeNo, "Root002001001");
  EXPECT_EQ(OrgTree(*dir).PathOf("Root002001001"), "销售部\\研发部\\后端组");

  const struct {
    std::vector<std::string> argv;
    std::string message;
  } refused[] = {
      {{"org", "move", "Root002", "Root002001001"}, std::string(kMoveIntoItselfMessage)},
      {{"org", "move", "Root", "Root002"}, std::string(kMoveRootMessage)},
      {{"org", "move", "Root009", "Root"}, std::string(kUnknownOrgPrefix) + "Root009"},
      {{"org", "move", "Root002", "Root009"}, std::string(kUnknownOrgPrefix) + "Root009"},
  };
  for (const auto& c : refused) {
    AdminReply r = Run(c.argv, web);
    EXPECT_FALSE(r.ok) << c.argv[2];
    EXPECT_EQ(r.message, c.message) << c.argv[2];
  }
  std::vector<std::string> lines = AuditLines({"--op", "org move"});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("	web	ops-admin	192.0.2.7	org move	Root001	parent=Root002, "
                          "organizeNo=Root002001	ok"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("	org move	Root002	parent=Root002001001	refused: " +
                          std::string(kMoveIntoItselfMessage)),
            std::string::npos)
      << lines[1];
}

}  // namespace
}  // namespace corvan
