// The web console's pure rules: headers, static paths and types, cookies,
// peers, the command mapping, sessions, samples and the metrics format.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "admin/admin_codec.h"
#include "admin/command_table.h"
#include "web/http_policy.h"
#include "web/metrics.h"
#include "web/samples.h"
#include "web/sessions.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;

TEST(WebPolicy, SecurityHeadersForbidInlineScriptAndFraming) {
  auto find = [](const HeaderList& h, const std::string& name) {
    for (const auto& [k, v] : h)
      if (k == name) return v;
    return std::string("<absent>");
  };
  HeaderList https = SecurityHeaders(true);
  std::string csp = find(https, "Content-Security-Policy");
  EXPECT_NE(csp.find("default-src 'self'; script-src 'self';"), std::string::npos)
      << "scripts from the page's files only";
  EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos);
  EXPECT_EQ(find(https, "X-Frame-Options"), "DENY");
  EXPECT_EQ(find(https, "X-Content-Type-Options"), "nosniff");
  EXPECT_EQ(find(https, "Referrer-Policy"), "no-referrer");
  EXPECT_EQ(find(https, "Strict-Transport-Security"), "max-age=31536000");
  EXPECT_EQ(find(SecurityHeaders(false), "Strict-Transport-Security"), "<absent>");
}

TEST(WebPolicy, StaticPathsStayInsideTheFrontEnd) {
  fs::path root = fs::temp_directory_path() / ("corvan-web-static-" + std::to_string(::getpid()));
  fs::create_directories(root / "assets");
  std::ofstream(root / "index.html") << "i";
  std::ofstream(root / "assets" / "app.js") << "a";
  const std::pair<std::string, std::string> table[] = {
      {"/", "index.html"},
      {"/assets/app.js", "assets/app.js"},
      {"/users", "index.html"},  // one of the page's own routes
      {"/assets/missing.js", "-"},
      {"/../etc/passwd", "-"},
      {"/assets/../../x", "-"},
      {"/a//b", "-"},
      {"/./index.html", "-"},
      {"/a\\b", "-"},
      {std::string("/a\0b", 4), "-"},
      {"relative", "-"},
      {"/" + std::string(600, 'a'), "-"},
  };
  for (const auto& [url, want] : table) {
    std::optional<fs::path> got = StaticFileFor(root, url);
    EXPECT_EQ(got ? got->lexically_relative(root).string() : "-", want) << url;
  }
  fs::remove_all(root);
  EXPECT_EQ(ContentTypeFor("a/index.HTML"), "text/html; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("x.js"), "text/javascript; charset=utf-8");
  EXPECT_EQ(ContentTypeFor("x.woff2"), "font/woff2");
  EXPECT_EQ(ContentTypeFor("x.exe"), "application/octet-stream");
  EXPECT_EQ(CacheControlFor("/assets/index-1.js"), "public, max-age=31536000, immutable");
  EXPECT_EQ(CacheControlFor("/"), "no-cache");
}

TEST(WebPolicy, GzipCopyOnlyForThoseThatTakeGzip) {
  const std::pair<std::string, bool> table[] = {
      {"gzip, deflate, br, zstd", true},  // Chromium
      {"gzip, deflate, br", true},        // Firefox
      {"GZip", true},
      {"x-gzip", true},
      {"br;q=1.0, gzip;q=0.8", true},
      {"*", true},
      {"", false},
      {"identity", false},
      {"br, deflate", false},
      {"gzip;q=0", false},
      {"gzip; q=0.000, *", false},  // named and refused: the wildcard does not bring it back
      {"*;q=0", false},
      {"gzipx, xgzip", false},
      {",,;;q=,", false},
  };
  for (const auto& [header, want] : table) EXPECT_EQ(AcceptsGzip(header), want) << header;

  fs::path root = fs::temp_directory_path() / ("corvan-web-gzip-" + std::to_string(::getpid()));
  fs::create_directories(root);
  std::ofstream(root / "app.js") << "a";
  std::ofstream(root / "app.js.gz") << "z";
  std::ofstream(root / "index.html") << "i";
  EXPECT_EQ(GzipCopyFor(root / "app.js", "gzip").value_or("-"), root / "app.js.gz");
  EXPECT_FALSE(GzipCopyFor(root / "app.js", "br"));
  EXPECT_FALSE(GzipCopyFor(root / "index.html", "gzip")) << "no copy: the file itself";
  fs::remove_all(root);
}

TEST(WebPolicy, CookiesPeersAndOrigins) {
  EXPECT_EQ(CookieValue("a=1; corvan_session=abc; b=2", kSessionCookie), "abc");
  EXPECT_EQ(CookieValue("corvan_sessionx=1", kSessionCookie), std::nullopt);
  EXPECT_EQ(CookieValue("", kSessionCookie), std::nullopt);
  std::string cookie = SessionCookie("tok", true, 60);
  for (const char* part : {"corvan_session=tok", "HttpOnly", "SameSite=Strict", "Secure", "Max-Age=60"})
    EXPECT_NE(cookie.find(part), std::string::npos) << part;
  EXPECT_NE(SessionCookie("", true, 60).find("Max-Age=0"), std::string::npos);

  for (const char* peer : {"127.0.0.1", "::1", "::ffff:127.0.0.1"}) EXPECT_TRUE(IsHostItself(peer)) << peer;
  for (const char* peer : {"127.0.0.2", "10.0.0.1", "::ffff:127.0.0.2", "", "localhost"})
    EXPECT_FALSE(IsHostItself(peer)) << peer;

  EXPECT_TRUE(SameOrigin("", "h:1", true));
  EXPECT_TRUE(SameOrigin("https://h:1", "h:1", true));
  EXPECT_FALSE(SameOrigin("https://evil:1", "h:1", true));
  EXPECT_FALSE(SameOrigin("http://h:1", "h:1", true));
  EXPECT_TRUE(SecretsEqual("abc", "abc"));
  EXPECT_FALSE(SecretsEqual("abc", "abd"));
  EXPECT_FALSE(SecretsEqual("abc", "ab"));
}

std::vector<std::string> Line(std::string_view name, std::string_view json) {
  Result<ParsedCommand> r = ParseNamedCommand(name, ReadJson(json).value_or(JsonValue()), true);
  return r.IsOk() ? CommandLine(r.Value()) : std::vector<std::string>{"refused: " + r.GetStatus().Message()};
}

TEST(WebCommandMap, MapsNamedArgumentsOntoTheCommandLine) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Line("status", "{}"), V({"status"}));
  EXPECT_EQ(
      Line("user-add", R"({"username":"--bob","pwd":"p","nickname":"<b>","organizeNo":"001","USERID":5})"),
      V({"user", "add", "--pwd", "p", "--nickname", "<b>", "--organizeNo", "001", "--USERID", "5", "--", "--bob"}));
  EXPECT_EQ(Line("user-set", R"({"username":"A","newName":"B","yes":true})"),
            V({"user", "set", "--name", "B", "--yes", "--", "A"}));
  EXPECT_EQ(Line("user-move", R"({"usernames":["A","B"],"organizeNo":"002"})"), V({"move", "--", "A", "B", "002"}));
  EXPECT_EQ(Line("org-add", R"({"parent":"Root","name":"研发","order":"3"})"),
            V({"org", "add", "--order", "3", "--", "Root", "研发"}));
  EXPECT_EQ(Line("directory-sync", R"({"dryRun":true,"removeMissing":false})"), V({"directory-sync", "--dry-run"}));
  EXPECT_EQ(Line("announce", "{}"), V({"announce"}));
}

TEST(WebCommandMap, RefusesWhatTheTableDoesNotHold) {
  const std::pair<std::string, std::string> refused[] = {
      {"web", "{}"},                              // the console's own commands are not served
      {"backup", R"({"file":"/etc/x"})"},         // nor commands that name files
      {"user-show", R"({"username":"A"})"},       // nor reads that carry a password
      {"user-del", "{}"},                         // a required argument
      {"user-del", R"({"username":"A","x":1})"},  // an unknown one
      {"user-del", R"({"username":["A"]})"},      // the wrong kind
      {"user-move", R"({"usernames":[],"organizeNo":"1"})"},
      {"directory-sync", R"({"dryRun":"yes"})"},
      {"status", R"([1])"},
  };
  for (const auto& [name, json] : refused) {
    std::vector<std::string> line = Line(name, json);
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line[0].rfind("refused: ", 0), 0u) << name << " " << json << " gave " << line[0];
  }
}

TEST(WebCommandMap, DropsPasswordsAtAnyDepth) {
  JsonValue v = ReadJson(R"({"pwd":"x","users":[{"pwd":"y","username":"A"}],"n":{"pwd":"z"}})").value();
  DropPasswords(v);
  EXPECT_EQ(WriteJson(v), R"({"n":{},"users":[{"username":"A"}]})");
}

TEST(WebSessions, EndIdleExpiredAndClosedSessions) {
  SessionStore store;
  SessionPolicy policy;
  policy.idleTimeout = std::chrono::seconds(10);
  policy.lifetime = std::chrono::seconds(30);
  policy.maxSessions = 2;
  store.SetPolicy(policy);
  const auto t0 = SessionStore::Clock::time_point() + std::chrono::hours(1);
  using std::chrono::seconds;
  std::string a = store.Open("alice", "h1", t0);
  EXPECT_EQ(a.size(), 64u);
  auto s = store.Use(a, t0 + seconds(9), true);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->csrfToken.size(), 64u);
  EXPECT_NE(s->csrfToken, a);
  EXPECT_TRUE(store.Use(a, t0 + seconds(18), false)) << "used at 9 s: alive until 19 s";
  EXPECT_FALSE(store.Use(a, t0 + seconds(19), true)) << "a background call did not extend it";
  std::string b = store.Open("alice", "h1", t0);
  for (int i = 1; i <= 4; ++i) ASSERT_TRUE(store.Use(b, t0 + seconds(6 * i), true));
  EXPECT_FALSE(store.Use(b, t0 + seconds(31), true)) << "the lifetime ends even a busy session";
  std::string c = store.Open("bob", "h", t0), d = store.Open("alice", "h", t0 + seconds(1));
  std::string e = store.Open("carol", "h", t0 + seconds(2));
  EXPECT_EQ(store.Count(), 2u) << "the bound holds";
  EXPECT_FALSE(store.Use(c, t0 + seconds(2), false)) << "the least recently used made room";
  store.CloseAllOf("ALICE");
  EXPECT_FALSE(store.Use(d, t0 + seconds(2), false));
  EXPECT_TRUE(store.Use(e, t0 + seconds(2), false));
  store.Close(e);
  EXPECT_EQ(store.Count(), 0u);
  EXPECT_FALSE(store.Use("", t0, false));
}

TEST(WebSamples, KeepTheNewestWithinTheBound) {
  SampleRing ring(3);
  for (int i = 1; i <= 5; ++i) ring.Add({i * 60, i, 0});
  std::vector<Sample> all = ring.Since(0);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all.front().online, 3);
  EXPECT_EQ(all.back().online, 5);
  EXPECT_EQ(ring.Since(5 * 60).size(), 1u);
  EXPECT_EQ(SampleRing().Since(0).size(), 0u);
}

TEST(WebMetrics, WritesThePrometheusTextFormat) {
  MetricsFigures m;
  m.listening = true;
  m.onlineUsers = 3;
  m.logins = 7;
  m.failedLogins = 2;
  m.requestsByType = {{"Loginin", 9}, {"odd\"type\n", 1}};
  m.queueDepths = {{"jobs", 4}};
  m.process = ProcessFigures{1024, 1.5, 12, 1700000000.5};
  std::string text = RenderMetrics(m);
  for (const char* line : {"# TYPE corvan_logins_total counter\ncorvan_logins_total 7\n", "corvan_up 1\n",
                           "corvan_login_failures_total 2\n", "corvan_requests_total{type=\"Loginin\"} 9\n",
                           "corvan_requests_total{type=\"odd\\\"type\\n\"} 1\n",
                           "corvan_requests_total{type=\"other\"} 0\n", "corvan_queue_depth{queue=\"jobs\"} 4\n",
                           "process_cpu_seconds_total 1.5\n", "process_start_time_seconds 1700000000\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(RenderMetrics(MetricsFigures{}).find("process_"), std::string::npos);
  std::optional<ProcessFigures> own = ReadProcessFigures();
  ASSERT_TRUE(own);
  EXPECT_GT(own->residentBytes, 0);
  EXPECT_GT(own->openFds, 2);
  EXPECT_GT(own->startTimeSeconds, 1.5e9);
}

}  // namespace
}  // namespace corvan
