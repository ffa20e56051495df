#include "app/line_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace corvan {
namespace {

// A pipe whose read end is drained into `got` by a thread of its own, once
// started; `CloseAndCollect` closes the write end and waits for the rest.
class DrainedPipe {
 public:
  DrainedPipe() {
    int fds[2];
    if (::pipe(fds) == 0) {
      read_ = fds[0];
      write_ = fds[1];
    }
  }
  ~DrainedPipe() {
    if (write_ >= 0) ::close(write_);
    if (reader_.joinable()) reader_.join();
    if (read_ >= 0) ::close(read_);
  }
  int WriteEnd() const { return write_; }
  bool Valid() const { return read_ >= 0; }
  void StartDraining() {
    reader_ = std::thread([this] {
      char buffer[512];
      for (ssize_t n; (n = ::read(read_, buffer, sizeof buffer)) > 0;) got_.append(buffer, static_cast<std::size_t>(n));
    });
  }
  std::string CloseAndCollect() {
    ::close(write_);
    write_ = -1;
    reader_.join();
    return got_;
  }

 private:
  int read_ = -1;
  int write_ = -1;
  std::thread reader_;
  std::string got_;
};

std::string Line(int i, std::size_t pad) { return "用户：U" + std::to_string(i) + "登录!" + std::string(pad, 'x'); }

TEST(LineWriter, LinesHandedOverWhileNobodyReadsComeOutWholeAndInOrder) {
  DrainedPipe pipe;
  ASSERT_TRUE(pipe.Valid());
  std::string expected;
  LineWriter writer(pipe.WriteEnd());
  // 200 KiB, far more than the pipe holds: the writer's thread waits on the
  // full pipe while the lines are handed over, and handing over goes on.
  for (int i = 0; i < 2000; ++i) {
    writer.Write(Line(i, 80));
    expected += Line(i, 80) + '\n';
  }
  pipe.StartDraining();
  writer.Flush();
  EXPECT_EQ(pipe.CloseAndCollect(), expected);
}

TEST(LineWriter, ABoundFullWaitsForRoomAndLosesNothing) {
  DrainedPipe pipe;
  ASSERT_TRUE(pipe.Valid());
  pipe.StartDraining();
  std::string expected;
  {
    LineWriter writer(pipe.WriteEnd(), 64);  // a bound smaller than two lines
    for (int i = 0; i < 500; ++i) {
      writer.Write(Line(i, 40));
      expected += Line(i, 40) + '\n';
    }
  }  // the destructor writes what is left
  EXPECT_EQ(pipe.CloseAndCollect(), expected);
}

TEST(LineWriter, AClosedOutputNeitherBlocksNorCrashes) {
  ::signal(SIGPIPE, SIG_IGN);  // as the server does: a write to a closed pipe fails with EPIPE
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  {
    LineWriter writer(fds[1]);
    for (int i = 0; i < 100; ++i) writer.Write("gone");
    writer.Flush();
  }
  ::close(fds[1]);
}

}  // namespace
}  // namespace corvan
