// The web console's settings file, certificate, administrators and the
// corvanctl commands that manage them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "admin/admin_commands.h"
#include "admin/web_admins.h"
#include "admin/web_certificate.h"
#include "admin/web_settings.h"
#include "support/accounts_support.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

std::string Parsed(std::string_view text) {
  Result<WebSettings> r = ParseWebSettings(text);
  if (!r.IsOk()) return "refused: " + r.GetStatus().Message();
  const WebSettings& s = r.Value();
  return std::string(s.enabled ? "on" : "off") + " " + s.bind + ":" + std::to_string(s.port) +
         (s.allowPlainHttp ? " plain" : "") + " idle=" + std::to_string(s.idleTimeoutSeconds);
}

TEST(WebSettings, ParsesTheFileAndRefusesWhatItMustNot) {
  const std::pair<std::string, std::string> table[] = {
      {"", "off 0.0.0.0:9480 idle=1800"},
      {"# c\nenabled = yes\nport=8443\nbind = ::1\n", "on ::1:8443 idle=1800"},
      {"allow_plain_http = yes\nbind = 127.0.0.1\nidle_timeout_seconds = 5", "off 127.0.0.1:9480 plain idle=5"},
      {"allow_plain_http = yes\n", "refused: 网页控制台设置：明文 HTTP 只能用于本机回环地址（bind = 127.0.0.1）"},
      {"port = 0", "refused: 网页控制台设置第 1 行：port 应为 1 到 65535"},
      {"bind = example.org", "refused: 网页控制台设置第 1 行：bind 应为 IP 地址"},
      {"cert_file = /a.pem", "refused: 网页控制台设置：cert_file 与 key_file 须同时设置"},
      {"cert_file = a.pem\nkey_file = /k", "refused: 网页控制台设置第 1 行：cert_file 应为绝对路径"},
      {"metrics_token = a b", "refused: 网页控制台设置第 1 行：metrics_token 只能含可见 ASCII 字符"},
      {"colour = blue", "refused: 网页控制台设置第 1 行：未知的设置 colour"},
      {"enabled", "refused: 网页控制台设置第 1 行：缺少 ="},
      {std::string(kMaxWebSettingsBytes + 1, '#'), "refused: 网页控制台设置文件过大"},
  };
  for (const auto& [text, want] : table) EXPECT_EQ(Parsed(text), want) << text.substr(0, 60);
  WebSettings s;
  s.enabled = true;
  s.certFile = "/c";
  s.keyFile = "/k";
  s.metricsToken = "t0k";
  Result<WebSettings> again = ParseWebSettings(FormatWebSettings(s));
  ASSERT_TRUE(again.IsOk());
  EXPECT_EQ(again.Value(), s);
  EXPECT_EQ(WebConsoleUrl(s, "host"), "https://host:9480/");
  s.bind = "::1";
  s.allowPlainHttp = true;
  EXPECT_EQ(WebConsoleUrl(s, "host"), "http://[::1]:9480/");
}

class WebFolderTest : public ::testing::Test {
 protected:
  WebFolderTest() : home(fs::temp_directory_path() / ("corvan-web-admin-" + std::to_string(::getpid()))) {
    fs::create_directories(home);
  }
  ~WebFolderTest() override { fs::remove_all(home); }
  fs::path home;
};

TEST_F(WebFolderTest, TheSettingsFileIsTheServersUsersAlone) {
  EXPECT_FALSE(LoadWebSettings(home).Value().has_value()) << "no file: the console is off";
  WebSettings s;
  s.enabled = true;
  ASSERT_TRUE(SaveWebSettings(home, s).IsOk());
  const fs::path file = home / kWebSettingsFile;
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(LoadWebSettings(home).Value()->enabled);
  ::chmod(file.c_str(), 0640);
  EXPECT_EQ(LoadWebSettings(home).GetStatus().Code(), StatusCode::kRefused);
  fs::remove(file);
  fs::path elsewhere = home / "elsewhere";
  std::ofstream(elsewhere) << "enabled = yes\n";
  ::chmod(elsewhere.c_str(), 0600);
  fs::create_symlink(elsewhere, file);
  EXPECT_EQ(LoadWebSettings(home).GetStatus().Code(), StatusCode::kRefused) << "a link is not followed";
}

TEST_F(WebFolderTest, TheSelfSignedCertificateHasAFingerprintAndItsKey) {
  const fs::path cert = home / "c.pem", key = home / "k.pem";
  ASSERT_TRUE(MakeSelfSignedCertificate(cert, key, {"corvan-host", "localhost"}, {"127.0.0.1", "::1"}).IsOk());
  EXPECT_EQ(fs::status(key).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  Result<std::string> fp = CertificateFingerprint(cert);
  ASSERT_TRUE(fp.IsOk()) << fp.GetStatus().Message();
  EXPECT_EQ(fp.Value().size(), 32u * 3 - 1);
  EXPECT_TRUE(CheckCertificatePair(cert, key).IsOk());
  ASSERT_TRUE(MakeSelfSignedCertificate(home / "c2.pem", home / "k2.pem", {"other"}, {}).IsOk());
  EXPECT_NE(CertificateFingerprint(home / "c2.pem").Value(), fp.Value());
  EXPECT_FALSE(CheckCertificatePair(cert, home / "k2.pem").IsOk()) << "another certificate's key";
  EXPECT_FALSE(CertificateFingerprint(home / "missing.pem").IsOk());
  std::ofstream(home / "junk.pem") << "not a certificate";
  EXPECT_FALSE(CertificateFingerprint(home / "junk.pem").IsOk());
}

TEST(WebAdmins, PasswordsAreStoredAsArgon2idHashesOnly) {
  Database db;
  ASSERT_TRUE(db.Open(":memory:").IsOk());
  EXPECT_TRUE(ListWebAdmins(db).Value().empty()) << "no table yet: nobody";
  ASSERT_TRUE(AddWebAdmin(db, "alice", "correct horse").IsOk());
  EXPECT_EQ(AddWebAdmin(db, "ALICE", "another pass").Code(), StatusCode::kRefused);
  EXPECT_EQ(AddWebAdmin(db, "bob", "short").Code(), StatusCode::kInvalidInput);
  EXPECT_EQ(AddWebAdmin(db, "b o b", "long enough").Code(), StatusCode::kInvalidInput);
  EXPECT_EQ(AddWebAdmin(db, "bob", std::string("bad\x01pass", 9)).Code(), StatusCode::kInvalidInput);
  std::optional<WebAdminRow> row = FindWebAdminRow(db, "Alice").Value();
  ASSERT_TRUE(row);
  EXPECT_EQ(row->passwordHash.rfind("$argon2id$", 0), 0u);
  EXPECT_EQ(row->passwordHash.find("correct horse"), std::string::npos);
  EXPECT_TRUE(VerifyWebPassword(row->passwordHash, "correct horse"));
  EXPECT_FALSE(VerifyWebPassword(row->passwordHash, "correct horsE"));
  EXPECT_FALSE(VerifyWebPassword("not a hash", "x"));
  ASSERT_TRUE(SetWebAdminPassword(db, "alice", "battery staple").IsOk());
  EXPECT_NE(FindWebAdminRow(db, "alice").Value()->passwordHash, row->passwordHash);
  EXPECT_EQ(SetWebAdminPassword(db, "nobody", "battery staple").Code(), StatusCode::kNotFound);
  EXPECT_TRUE(ListWebAdmins(db).Value().at(0).passwordHash.empty()) << "the list leaves the hashes out";
  ASSERT_TRUE(DeleteWebAdmin(db, "alice").IsOk());
  EXPECT_EQ(DeleteWebAdmin(db, "alice").Code(), StatusCode::kNotFound);
}

TEST(WebCommands, RunInTheServerAndTakeThePasswordAsInputOnly) {
  test::TestServer server;
  ServerCore& core = server.Core();
  auto run = [&](std::vector<std::string> argv, std::optional<std::string> input = std::nullopt) {
    return RunAdminCommand(core, argv, AdminContext{true, std::move(input)});
  };
  EXPECT_EQ(AdminUsageError({"web", "admin", "add", "x", "--pwd", "secret"}), "未知的选项：--pwd");
  EXPECT_EQ(AdminUsageError({"web", "admin", "add"}), "web admin add：缺少参数");
  EXPECT_EQ(AdminUsageError({"web", "status", "--port", "1"}), "未知的选项：--port");
  EXPECT_EQ(AdminUsageError({"web", "enable", "--port", "1", "--bind", "::1"}), std::nullopt);
  EXPECT_TRUE(WritesWithoutServer({"web", "admin", "add", "x"}));
  EXPECT_FALSE(WritesWithoutServer({"web", "status"}));
  EXPECT_TRUE(RunsWithoutServer({"web", "admin", "list"}));

  EXPECT_EQ(run({"web", "admin", "add", "alice"}).exitCode, kExitUsage) << "no password read";
  EXPECT_TRUE(run({"web", "admin", "add", "alice"}, "long enough 1").ok);
  AdminReply list = run({"web", "admin", "list"});
  ASSERT_EQ(list.lines.size(), 1u);
  EXPECT_EQ(list.lines[0].rfind("alice ", 0), 0u);

  AdminReply off = run({"web", "status"});
  EXPECT_EQ(off.lines.at(0), "网页控制台：未启用");
  AdminReply plain = run({"web", "enable", "--bind", "10.1.2.3"});
  EXPECT_TRUE(plain.ok) << plain.message;
  EXPECT_EQ(plain.lines.at(0), "网页控制台：已启用（服务器未运行）") << "no console attached to this core";
  EXPECT_EQ(plain.data["fingerprint"].AsString().size(), 95u);
  EXPECT_TRUE(fs::exists(core.Home() / kWebCertificateFile));
  EXPECT_EQ(LoadWebSettings(core.Home()).Value()->bind, "10.1.2.3");
  EXPECT_TRUE(run({"web", "disable"}).ok);
  EXPECT_FALSE(LoadWebSettings(core.Home()).Value()->enabled);
  EXPECT_EQ(run({"web", "enable", "--port", "70000"}).exitCode, kExitUsage);
}

TEST(AdminCodec, CarriesTheInputBesideTheCommandLine) {
  AdminRequest r{{"web", "admin", "add", "a"}, std::string("pa\"ss")};
  std::optional<AdminRequest> back = DecodeRequest(EncodeRequest(r));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->argv, r.argv);
  EXPECT_EQ(back->input, r.input);
  EXPECT_FALSE(DecodeRequest(EncodeRequest({{"status"}, std::nullopt}))->input.has_value());
  EXPECT_FALSE(DecodeRequest(R"({"argv":["status"],"input":5})")) << "an input that is not text";
}

TEST(AdminCommandLine, ADoubleDashEndsTheOptions) {
  test::TestServer server;
  AdminReply r = RunAdminCommand(server.Core(), {"org", "add", "--order", "5", "--", "Root", "--odd"}, AdminContext{});
  EXPECT_TRUE(r.ok) << r.message;
}

}  // namespace
}  // namespace corvan
