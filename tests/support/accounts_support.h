// Helpers shared by the account and presence tests: a request/reply round
// trip, fake client machines that listen on their notice port, and waits on
// the online list.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "accounts/login_throttle.h"
#include "support/test_server.h"

namespace corvan::test {

// Sends one request frame and reads the reply (nothing on time-out).
std::optional<std::string> Ask(TcpClient& client, const std::string& body,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A fake client machine: a TCP connection from `ip` and its notice port
// (ip:ClientPort) bound, like the real client program.
struct FakeClient {
  FakeClient(TestServer& server, const std::string& ip);
  std::optional<std::string> Login(const std::string& name, const std::string& pwd, const std::string& mac = "");
  // The next notice of this `Type` on the notice port, skipping others;
  // nothing when none arrives in time.
  std::optional<std::string> NextNotice(const std::string& type,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // The next notice of any type, as "Type username field", where the field is
  // the third child of Struct that tells notices of one user apart ("ip"
  // or "Status"; empty when there is none); nothing when none arrives in
  // time.
  std::optional<std::string> NextNoticeLine(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  std::string ip;
  TcpClient tcp;
  UdpPeer notices;
};

// The names in the online list, read under OnlineLock.
std::vector<std::string> OnlineNames(ServerCore& core);
// Waits until `pred(OnlineNames)` holds; false on time-out.
bool WaitOnline(ServerCore& core, const std::function<bool(const std::vector<std::string>&)>& pred,
                std::chrono::milliseconds timeout = std::chrono::seconds(5));
bool IsOnline(ServerCore& core, const std::string& name);
// Waits until `done()` holds; false on time-out.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// `setup` without the throttle of failed logins, for tests of the
// protocol's own answers to wrong passwords in a row.
TestServer::Setup WithoutLoginThrottle(TestServer::Setup setup);

// A clock for the throttle of failed logins that moves only when the test
// moves it.
class ThrottleClock {
 public:
  void Advance(std::chrono::seconds by) { *seconds_ += by.count(); }
  std::function<LoginThrottle::Time()> Reader() const {
    return [s = seconds_] { return LoginThrottle::Time{} + std::chrono::seconds(s->load()); };
  }

 private:
  std::shared_ptr<std::atomic<std::int64_t>> seconds_ = std::make_shared<std::atomic<std::int64_t>>(0);
};
// `setup` with a throttle that reads `clock`.
TestServer::Setup WithLoginThrottle(TestServer::Setup setup, const ThrottleClock& clock);

// A datagram body as a client writes it (GBK bytes).
std::string Datagram(std::string_view type, const std::vector<std::pair<std::string, std::string>>& fields);

}  // namespace corvan::test
