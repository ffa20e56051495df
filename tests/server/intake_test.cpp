// The server spine over real sockets: intake, routing, lifecycle lines.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>

#include "server/connection.h"
#include "server/instance.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;
using test::TcpClient;
using test::TestServer;

// Records what the core hands to presence and offline delivery.
struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> offlineMessages;
  std::vector<std::string> uploadHeaders;
  std::vector<int> purgeDays;
  std::string uploaded;

  template <typename Pred>
  bool WaitFor(Pred pred) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, pred);
  }
};

// An upload that takes a fixed number of bytes.
class FixedUpload : public UploadSession {
 public:
  FixedUpload(std::shared_ptr<Recorder> rec, std::size_t size) : rec_(std::move(rec)), left_(size) {}
  std::size_t Consume(std::string_view bytes, State& state) override {
    std::size_t take = std::min(left_, bytes.size());
    {
      std::lock_guard lock(rec_->mutex);
      rec_->uploaded.append(bytes.substr(0, take));
    }
    left_ -= take;
    state = left_ == 0 ? State::kDone : State::kNeedMore;
    return take;
  }
  void Finish() override { rec_->changed.notify_all(); }
  void Abort() override {}

 private:
  std::shared_ptr<Recorder> rec_;
  std::size_t left_;
};

CoreModules RecordingModules(std::shared_ptr<Recorder> rec) {
  CoreModules m;
  m.StoreOfflineMessage = [rec](ServerCore&, std::string body) {
    std::lock_guard lock(rec->mutex);
    rec->offlineMessages.push_back(std::move(body));
    rec->changed.notify_all();
  };
  m.BeginUpload = [rec](ServerCore&, std::string header, std::size_t) -> std::unique_ptr<UploadSession> {
    {
      std::lock_guard lock(rec->mutex);
      rec->uploadHeaders.push_back(header);
    }
    rec->changed.notify_all();
    return std::make_unique<FixedUpload>(rec, 5);  // "OfflineFiles:..." followed by 5 content bytes
  };
  m.StartPurges = [rec](ServerCore&, int days) {
    std::lock_guard lock(rec->mutex);
    rec->purgeDays.push_back(days);
  };
  return m;
}

TestServer::Setup WithRecorder(std::shared_ptr<Recorder> rec) {
  TestServer::Setup setup;
  setup.modules = RecordingModules(std::move(rec));
  return setup;
}

std::string OfflineInfoBody(std::string_view tail) {
  std::string body("OfflineInfo\0", 12);
  body.append(std::string(83 - 12, '\0'));
  body.append(tail);
  return body;
}

TEST(Intake, RoutesOfflineHeadsAndSkipsBlankAndZeroCounts) {
  auto rec = std::make_shared<Recorder>();
  TestServer server(WithRecorder(rec));
  TcpClient client(server.Port());
  ASSERT_TRUE(client.Connected());
  std::string message = OfflineInfoBody("hello");
  ASSERT_TRUE(client.SendRaw("\r\n0\r\n  \n"));
  ASSERT_TRUE(client.SendFrame(message));
  // An upload header, its 5 content bytes, then another message on the same
  // connection: the intake carries on after the upload.
  ASSERT_TRUE(
      client.SendFrame("OfflineFiles:A\xA1\xEF"
                       "B\xA1\xEF"
                       "C\xA1\xEF"
                       "f\xA1\xEF"
                       "1\xA1\xEF"
                       "5\xA1\xEF"));
  ASSERT_TRUE(client.SendRaw("12345"));
  ASSERT_TRUE(client.SendFrame(OfflineInfoBody("second")));
  ASSERT_TRUE(rec->WaitFor([&] { return rec->offlineMessages.size() == 2; }));
  std::lock_guard lock(rec->mutex);
  EXPECT_EQ(rec->offlineMessages[0], message);
  EXPECT_EQ(rec->uploadHeaders.size(), 1u);
  EXPECT_EQ(rec->uploaded, "12345");
  EXPECT_EQ(rec->offlineMessages[1], OfflineInfoBody("second"));
}

TEST(Intake, PartialCountLineSurvivesAPause) {
  auto rec = std::make_shared<Recorder>();
  TestServer server(WithRecorder(rec));
  TcpClient client(server.Port());
  std::string message = OfflineInfoBody("x");
  std::string frame = std::to_string(message.size()) + "\r\n" + message;
  ASSERT_TRUE(client.SendRaw(frame.substr(0, 1)));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(client.SendRaw(frame.substr(1)));
  EXPECT_TRUE(rec->WaitFor([&] { return rec->offlineMessages.size() == 1; }));
}

TEST(Intake, BadCountLinesAndShortBodiesCloseTheConnection) {
  auto rec = std::make_shared<Recorder>();
  TestServer server(WithRecorder(rec));
  for (std::string_view bad : {"12 \r\n", "abc\n", "-1\n", "5000000\n", "20\r\n<?xml version=\"1.0\"?"}) {
    TcpClient client(server.Port());
    ASSERT_TRUE(client.SendRaw(bad));
    EXPECT_TRUE(client.WaitClosed()) << bad;
  }
  // The server still serves a new connection.
  TcpClient client(server.Port());
  ASSERT_TRUE(client.SendFrame(OfflineInfoBody("after")));
  EXPECT_TRUE(rec->WaitFor([&] { return rec->offlineMessages.size() == 1; }));
}

TEST(Intake, UnknownTypesAndBadXmlGetNoReplyAndKeepTheConnection) {
  auto rec = std::make_shared<Recorder>();
  TestServer server(WithRecorder(rec));
  TcpClient client(server.Port());
  ASSERT_TRUE(client.SendFrame(test::Request("loginin", {{"username", "A"}})));
  ASSERT_TRUE(client.SendFrame("OfflineInfoX is not XML at all"));
  ASSERT_TRUE(client.SendFrame(test::Request("Loginout", {{"username", "A"}})));
  EXPECT_FALSE(client.ReadFrame(300ms));
  ASSERT_TRUE(client.SendFrame(OfflineInfoBody("still open")));
  EXPECT_TRUE(rec->WaitFor([&] { return rec->offlineMessages.size() == 1; }));
}

TEST(Lifecycle, StartAndStopWriteTheirLinesAndPurgesRunAtEveryStart) {
  auto rec = std::make_shared<Recorder>();
  auto setup = WithRecorder(rec);
  setup.offlineInfoDay = 45;
  TestServer server(setup);
  auto port = std::to_string(server.Port());
  auto lines = server.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("TCP服务器在" + port + "端口启动成功!时间：", 0), 0u);
  EXPECT_EQ(lines[1].rfind("UDP服务器在" + port + "端口启动成功!时间：", 0), 0u);
  EXPECT_TRUE(server.Core().Lifecycle().TcpServerExists());

  server.Core().Lifecycle().StartServer();
  lines = server.LogLines();
  EXPECT_EQ(lines.back().rfind("服务器已经启动，请先停止后重新启动!时间：", 0), 0u);
  {
    std::lock_guard lock(rec->mutex);
    EXPECT_EQ(rec->purgeDays, (std::vector<int>{3, 3}));  // 45 is out of range
  }

  server.Core().Lifecycle().StopServer();
  lines = server.LogLines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[lines.size() - 2].rfind("TCP服务器停止监听时间：", 0), 0u);
  EXPECT_EQ(lines.back().rfind("Udp服务器停止监听时间：", 0), 0u);
  EXPECT_FALSE(server.Core().Lifecycle().TcpServerExists());
  EXPECT_FALSE(TcpClient(server.Port()).Connected());
}

TEST(Lifecycle, PortInUseFailsThenReportsRunningUntilAStop) {
  auto rec = std::make_shared<Recorder>();
  auto setup = WithRecorder(rec);
  setup.start = false;
  TestServer server(setup);
  auto port = std::to_string(server.Port());
  std::optional<TestServer> other;
  {
    // Hold the port with a plain listener.
    UniqueFd blocker(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(server.Port());
    ASSERT_EQ(::bind(blocker.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(blocker.Get(), 1), 0);
    server.Core().Lifecycle().FirstShow();
    EXPECT_EQ(server.LogLines().back().rfind("服务器在" + port + "端口启动失败!时间：", 0), 0u);
    server.Core().Lifecycle().StartServer();
    EXPECT_EQ(server.LogLines().back().rfind("服务器已经启动，请先停止后重新启动!时间：", 0), 0u);
  }
  server.Core().Lifecycle().StopServer();
  server.Core().Lifecycle().StartServer();
  EXPECT_EQ(server.LogLines().back().rfind("UDP服务器在" + port + "端口启动成功!", 0), 0u);
  EXPECT_EQ(server.Core().Lifecycle().ListeningPort(), server.Port());
}

TEST(Lifecycle, StatusLogEmptiesAfterMoreThanAThousandLines) {
  StatusLog log;
  std::vector<std::string> shown;
  log.SetSink([&](const std::string& line) { shown.push_back(line); });
  for (int i = 0; i < 1000; ++i) log.Append("line " + std::to_string(i));
  EXPECT_EQ(log.Lines().size(), 1000u);
  log.Append("line 1000");
  EXPECT_TRUE(log.Lines().empty());
  log.Append("next");
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"next"});
  EXPECT_EQ(shown.size(), 1002u);
}

TEST(Lifecycle, LinesFromManyThreadsKeepTheirOrderPerThread) {
  StatusLog log;
  std::vector<std::string> shown;
  log.SetSink([&](const std::string& line) { shown.push_back(line); });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) log.Append(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(shown.size(), 800u);
  std::vector<int> next(4, 0);
  for (const auto& line : shown) {
    int t = line[0] - '0';
    EXPECT_EQ(line.substr(2), std::to_string(next[t]++));
  }
}

TEST(Instance, SecondLockOnTheSameFolderIsRefused) {
  test::TempDir dir;
  {
    auto first = AcquireInstanceLock(dir.Path());
    ASSERT_TRUE(first.IsOk());
    EXPECT_FALSE(AcquireInstanceLock(dir.Path()).IsOk());
  }
  EXPECT_TRUE(AcquireInstanceLock(dir.Path()).IsOk());
}

TEST(RemovalService, RemovesFilesAndTreesAndWaits) {
  test::TempDir dir;
  auto tree = dir.Path() / "a" / "b";
  std::filesystem::create_directories(tree);
  std::ofstream(tree / "f.txt") << "x";
  std::ofstream(dir.Path() / "g.txt") << "y";
  RemovalService service;
  service.Remove(RemovalService::Kind::kFile, dir.Path() / "a");  // a folder is not a file: kept
  EXPECT_TRUE(std::filesystem::exists(dir.Path() / "a"));
  service.Remove(RemovalService::Kind::kFolder, dir.Path() / "a");
  service.Remove(RemovalService::Kind::kFile, dir.Path() / "g.txt");
  service.Remove(RemovalService::Kind::kFolder, dir.Path() / "missing");
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "a"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() / "g.txt"));
}

}  // namespace
}  // namespace corvan
