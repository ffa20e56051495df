// tools/run-server.sh with the build at hand (--no-build, the test build as
// CORVAN_BUILD_DIR): the port it is given, a bad port refused before
// anything happens, and the way out of a port another program holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/offline_support.h"
#include "support/process.h"
#include "support/test_server.h"

namespace corvan {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class RunServerScript : public ::testing::Test {
 protected:
  std::unique_ptr<test::ChildProcess> Run(const std::vector<std::string>& args,
                                          const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {"/bin/bash", std::string(CORVAN_SOURCE_DIR) + "/tools/run-server.sh",
                                     "--no-build"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> added = {
        "CORVAN_HOME=" + home_.string(), "CORVAN_HEADLESS=1",
        "CORVAN_BUILD_DIR=" + fs::path(CORVAN_SERVER_BINARY).parent_path().parent_path().parent_path().string()};
    added.insert(added.end(), env.begin(), env.end());
    return std::make_unique<test::ChildProcess>(argv, test::Environment({"CORVAN_"}, added), logs_.Path());
  }

  test::TempDir tmp_;
  test::TempDir logs_;
  fs::path home_ = tmp_.Path() / "data";
};

TEST_F(RunServerScript, ServesOnThePortItIsGivenInAPrivateFolder) {
  const std::string byOption = std::to_string(test::FreePort()), byVariable = std::to_string(test::FreePort());
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string port;
  };
  for (const Case& c :
       {Case{{"--port", byOption}, {}, byOption}, Case{{}, {"CORVAN_PORT=" + byVariable}, byVariable}}) {
    auto script = Run(c.args, c.env);
    const std::string started = "TCP服务器在" + c.port + "端口启动成功";
    EXPECT_TRUE(test::WaitUntil([&] { return script->Out().find(started) != std::string::npos; }, 20s))
        << c.port << ": " << script->Out() << script->Err();
    struct stat st {};
    ASSERT_EQ(::stat(home_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    script->Signal(SIGTERM);
    EXPECT_EQ(script->Finish().status, 0) << c.port;
  }
}

TEST_F(RunServerScript, ABadPortIsRefusedBeforeAnythingHappens) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--port", "abc"}, {"--port", "0"}, {"--port", "65536"}, {"--port", ""}, {"--port=-1"}, {"--port"}}) {
    test::ProcessOutcome r = Run(args)->Finish();
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_NE(r.err.find("端口"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(home_));
}

TEST_F(RunServerScript, ATakenPortEndsWithTheWayToChooseAnother) {
  test::TakenPort taken = test::TakeAPort();
  const int port = taken.port;

  test::ProcessOutcome r = Run({"--port", std::to_string(port)})->Finish();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("无法监听端口" + std::to_string(port)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("bash tools/run-server.sh --port " + std::to_string(port + 1)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("CORVAN_PORT=" + std::to_string(port + 1)), std::string::npos) << r.err;
}

}  // namespace
}  // namespace corvan
