// The reply queue of one connection with frames shared by many replies: a
// frame the socket does not take at once is queued by reference, arrives
// whole and in order with replies of the connection's own, and is counted as
// unsent bytes until written or dropped.
#include "server/connection.h"

#include <gtest/gtest.h>

#include <thread>

#include "server/frame.h"
#include "support/offline_support.h"
#include "support/test_server.h"

namespace corvan {
namespace {

using namespace std::chrono_literals;

// A Connection on loopback with small socket buffers, whose peer reads only
// when the test says so. The connection's intake is not started: only its
// writes are exercised.
class SharedFrameTest : public ::testing::Test {
 protected:
  SharedFrameTest() : server_(NotStarted()), guard_(asio::make_work_guard(io_)), peer_(io_) {
    asio::ip::tcp::acceptor acceptor(io_, {asio::ip::make_address("127.0.0.1"), 0});
    peer_.open(asio::ip::tcp::v4());
    peer_.set_option(asio::socket_base::receive_buffer_size(4096));
    peer_.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket accepted = acceptor.accept();
    // A fixed small send buffer: the kernel cannot take a large frame at once.
    accepted.set_option(asio::socket_base::send_buffer_size(8192));
    connection_ = std::make_shared<Connection>(std::move(accepted), server_.Core(), manager_);
    runner_ = std::thread([this] { io_.run(); });
  }
  ~SharedFrameTest() override {
    connection_->Close();
    connection_.reset();
    guard_.reset();
    runner_.join();
  }
  static test::TestServer::Setup NotStarted() {
    test::TestServer::Setup s;
    s.start = false;
    return s;
  }
  std::string ReadPeer(std::size_t n) {
    std::string out(n, '\0');
    asio::read(peer_, asio::buffer(out));
    return out;
  }
  static std::shared_ptr<const std::string> BigFrame(char fill) {
    std::string body(1 << 20, fill);
    for (std::size_t i = 0; i < body.size(); i += 4099) body[i] = static_cast<char>('a' + (i / 4099) % 26);
    return std::make_shared<const std::string>(FrameReply(body));
  }

  test::TestServer server_;
  ConnectionManager manager_{16};
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  asio::ip::tcp::socket peer_;
  std::shared_ptr<Connection> connection_;
  std::thread runner_;
};

TEST_F(SharedFrameTest, QueuedByReferenceCountedAsUnsentAndWrittenWholeInOrder) {
  auto first = BigFrame('x');
  auto second = BigFrame('y');
  connection_->SendShared(first);  // partly written at once, the rest queued
  connection_->SendReply("<short/>");
  connection_->SendShared(second);
  connection_->SendShared(first);
  connection_->SendShared(nullptr);  // nothing to send

  // The queue holds the frames themselves, not copies of them.
  EXPECT_EQ(first.use_count(), 3);
  EXPECT_EQ(second.use_count(), 2);
  // Unsent: at least the three frames not begun yet (the short one included).
  const std::size_t shortFrame = FrameReply("<short/>").size();
  EXPECT_GE(manager_.Memory().Held(), first->size() + second->size() + shortFrame);
  EXPECT_LT(manager_.Memory().Held(), 2 * first->size() + second->size() + shortFrame);

  // The senders let go; the queued replies keep their bytes.
  const std::string expected = *first + FrameReply("<short/>") + *second + *first;
  std::weak_ptr<const std::string> firstAlive = first;
  std::weak_ptr<const std::string> secondAlive = second;
  first.reset();
  second.reset();
  EXPECT_EQ(ReadPeer(expected.size()), expected);

  // Everything written: nothing counted, nothing held.
  EXPECT_TRUE(test::WaitUntil([&] { return manager_.Memory().Held() == 0; }));
  EXPECT_TRUE(test::WaitUntil([&] { return firstAlive.expired() && secondAlive.expired(); }));

  // With nothing queued, a shared frame the socket takes whole is written at
  // once and not kept.
  auto small = std::make_shared<const std::string>(FrameReply("<Info/>"));
  connection_->SendShared(small);
  EXPECT_EQ(small.use_count(), 1);
  EXPECT_EQ(ReadPeer(small->size()), *small);
}

TEST_F(SharedFrameTest, CloseReleasesQueuedFramesAndTheirCount) {
  auto frame = BigFrame('z');
  connection_->SendShared(frame);
  connection_->SendShared(frame);
  ASSERT_GT(manager_.Memory().Held(), frame->size());
  connection_->Close();
  EXPECT_TRUE(test::WaitUntil([&] { return manager_.Memory().Held() == 0 && frame.use_count() == 1; }));
  // A closed connection takes nothing more.
  connection_->SendShared(frame);
  EXPECT_EQ(frame.use_count(), 1);
  EXPECT_EQ(manager_.Memory().Held(), 0u);
}

}  // namespace
}  // namespace corvan
