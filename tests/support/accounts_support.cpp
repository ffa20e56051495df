#include "support/accounts_support.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "accounts/wiring.h"
#include "app/modules_default.h"
#include "server/envelope.h"
#include "support/timing.h"

namespace corvan::test {

std::optional<std::string> Ask(TcpClient& client, const std::string& body, std::chrono::milliseconds timeout) {
  if (!client.SendFrame(body)) return std::nullopt;
  return client.ReadFrame(timeout);
}

TestServer::Setup WithoutLoginThrottle(TestServer::Setup setup) {
  if (!setup.modules) setup.modules = DefaultModules();
  setup.modules->BeginLogin = nullptr;
  setup.modules->EndLogin = nullptr;
  return setup;
}

TestServer::Setup WithLoginThrottle(TestServer::Setup setup, const ThrottleClock& clock) {
  if (!setup.modules) setup.modules = DefaultModules();
  AddLoginThrottleModules(*setup.modules, clock.Reader());
  return setup;
}

FakeClient::FakeClient(TestServer& server, const std::string& ip_)
    : ip(ip_), tcp(server.Port(), ip_), notices(ip_, server.ClientPort()) {}

std::optional<std::string> FakeClient::Login(const std::string& name, const std::string& pwd, const std::string& mac) {
  std::vector<std::pair<std::string, std::string>> fields{{"username", name}, {"pwd", pwd}};
  if (!mac.empty()) fields.emplace_back("Mac", mac);
  return Ask(tcp, Request("Loginin", fields));
}

std::optional<std::string> FakeClient::NextNotice(const std::string& type, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    // Receive stretches its wait itself; `left` is stretched already.
    std::optional<std::string> d = notices.Receive(std::max(left / TimeScale(), std::chrono::milliseconds(1)));
    if (!d) return std::nullopt;
    auto env = ParsedEnvelope::Read(*d);
    if (env && env->Type() == type) return d;
  }
}

std::optional<std::string> FakeClient::NextNoticeLine(std::chrono::milliseconds timeout) {
  std::optional<std::string> d = notices.Receive(timeout);
  if (!d) return std::nullopt;
  auto env = ParsedEnvelope::Read(*d);
  if (!env) return "<not a document>";
  std::string field = env->Field("Status").value_or(env->Field("ip").value_or(""));
  return env->Type() + " " + env->Field("username").value_or("") + " " + field;
}

std::vector<std::string> OnlineNames(ServerCore& core) {
  MutexLock lock(core.Online().OnlineLock);
  std::vector<std::string> names;
  for (const auto& e : core.Online().OnlineUsers.Entries()) names.push_back(e.UserName);
  return names;
}

bool WaitOnline(ServerCore& core, const std::function<bool(const std::vector<std::string>&)>& pred,
                std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  do {
    if (pred(OnlineNames(core))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < deadline);
  return pred(OnlineNames(core));
}

bool IsOnline(ServerCore& core, const std::string& name) {
  auto names = OnlineNames(core);
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + Scaled(timeout);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string Datagram(std::string_view type, const std::vector<std::pair<std::string, std::string>>& fields) {
  return Request(type, fields);
}

}  // namespace corvan::test
