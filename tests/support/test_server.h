// Test support: an in-process server on loopback with a fresh data folder,
// and fake clients that speak the protocol over real sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/server_core.h"
#include "server/udp.h"

namespace corvan::test {

// A temporary folder removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A free port number usable for both TCP and UDP on 0.0.0.0.
std::uint16_t FreePort();

// A TCP port another program holds: a socket listening on all addresses,
// as long as `socket` lives.
struct TakenPort {
  UniqueFd socket;
  std::uint16_t port = 0;
};
TakenPort TakeAPort();

// One account to write into the database before the server starts.
struct SeedUser {
  std::string username;
  std::string pwd;
  std::string nickname;
  std::string organizeNo = "001";
  std::int64_t userId = 100;
};

// Writes accounts (authreg + vcard rows) into the database file at `dbPath`
// (creating the tables first).
void SeedDatabase(const std::filesystem::path& dbPath, const std::vector<SeedUser>& users);

// A server core in a temp folder. The client ports are free ports chosen
// per instance, so fake clients on 127.0.0.1 receive the notices.
class TestServer {
 public:
  struct Setup {
    std::vector<SeedUser> users;
    // Settings written to Configure.xml before the start (ServerPort is set
    // to a free port automatically).
    std::optional<std::string> information;
    std::optional<int> offlineInfoDay;
    bool allowReg = true;
    std::chrono::milliseconds statusInterval{60000};
    std::chrono::milliseconds silenceLimit{60000};
    std::chrono::milliseconds probeTimeout{500};
    std::chrono::milliseconds offlineDeliveryDelay{100};
    bool start = true;  // run FirstShow (config, load, start)
    std::optional<CoreModules> modules;
    std::optional<ClientLimits> limits;
    // The pool of calls to other servers (directory binds) and its queue.
    int outboundThreads = 4;
    int outboundQueue = 64;
  };

  TestServer();  // default Setup
  explicit TestServer(Setup setup);
  ~TestServer();

  ServerCore& Core() { return *core_; }
  std::uint16_t Port() const { return port_; }
  const std::filesystem::path& Home() const { return home_.Path(); }
  // Client-side ports the core sends to.
  std::uint16_t ClientPort() const { return clientPort_; }
  std::uint16_t OfflineInfoPort() const { return offlineInfoPort_; }
  std::uint16_t OfflineFilePort() const { return offlineFilePort_; }
  // Status-log lines so far.
  std::vector<std::string> LogLines() const;
  // Waits until a log line containing `needle` appears.
  bool WaitForLog(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  TempDir home_;
  std::uint16_t port_ = 0;
  std::uint16_t clientPort_ = 0;
  std::uint16_t offlineInfoPort_ = 0;
  std::uint16_t offlineFilePort_ = 0;
  std::unique_ptr<ServerCore> core_;
};

// A TCP client that sends framed requests and reads framed replies.
class TcpClient {
 public:
  // Connects to 127.0.0.1:port (or `localIp` as the source address, for
  // clients that pose as other machines: any 127.x.y.z address works).
  explicit TcpClient(std::uint16_t port, const std::string& localIp = "127.0.0.1");
  bool Connected() const { return fd_.Valid(); }
  // Sends each write at once (TCP_NODELAY), so small pieces leave as they
  // are written instead of being gathered.
  void NoDelay();
  // Sends raw bytes.
  bool SendRaw(std::string_view bytes);
  // Sends a count line and the body.
  bool SendFrame(std::string_view body);
  // Reads one framed reply; nothing on time-out or close.
  std::optional<std::string> ReadFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the server closed the connection within the time.
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void Close() { fd_.Reset(); }

 private:
  std::optional<std::string> ReadExact(std::size_t n, std::chrono::steady_clock::time_point deadline);
  UniqueFd fd_;
  std::string buffered_;
};

// A UDP endpoint bound to ip:port, like a client's notice port.
class UdpPeer {
 public:
  UdpPeer(const std::string& ip, std::uint16_t port);
  bool Valid() const { return fd_.Valid(); }
  std::optional<std::string> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(3));
  // Receives and remembers the sender's address and port.
  std::optional<std::string> ReceiveFrom(std::string& ip, std::uint16_t& port,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(3));
  bool SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes);

 private:
  UniqueFd fd_;
};

// Builds a request envelope (GBK bytes) from field pairs.
std::string Request(std::string_view type, const std::vector<std::pair<std::string, std::string>>& fields);
// Reads a reply's Struct field (UTF-8), nothing when missing.
std::optional<std::string> ReplyField(std::string_view document, std::string_view name);

}  // namespace corvan::test
