// One simulated client machine: its own loopback address (127.0.0.2 and up),
// on which it binds UDP 1875 (notices), UDP 1872 (stored messages) and TCP
// 1871 (stored files) like a real client, and from which it makes its TCP
// connection to the server. Everything runs on one io_context thread as
// Asio coroutines; no locks. A scenario may give the notice sockets an
// io_context of their own, run by another thread (see NoticeThread): then
// that thread alone touches the notice socket, the NoticeBoard and the
// counts of notices, and the others read them only while it is stopped.
#pragma once

#include <asio.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "support.h"

namespace corvan::bench {

using asio::awaitable;
using asio::use_awaitable;
using tcp = asio::ip::tcp;
using udp = asio::ip::udp;

inline constexpr std::uint16_t kNoticePort = 1875;
inline constexpr std::uint16_t kMessagePort = 1872;
inline constexpr std::uint16_t kFilePort = 1871;

// The address of simulated machine `i` (0-based): 127.0.0.2 upwards, never
// a last byte of 0 or 255. Always inside 127.0.0.0/8.
asio::ip::address_v4 ClientAddress(int i);
inline const asio::ip::address_v4 kServerAddress = asio::ip::make_address_v4("127.0.0.1");

// --- Documents a client sends (GBK bytes) -------------------------------------

std::string LoginRequest(std::string_view name, std::string_view pwd, std::string_view mac);
std::string TypeOnlyRequest(std::string_view type);
std::string UserInfoRequest(std::string_view name);
std::string HeartbeatDatagram(std::string_view name);
std::string LogoutDatagram(std::string_view name);
// The "Online" notice the server sends for a login (for the fan-out limit).
std::string OnlineNotice(std::string_view name, std::string_view ip);
std::string StatusAnswer(std::string_view name);
// An offline-message frame body: the 21-byte tag, two 31-byte names, text.
std::string OfflineMessageBody(std::string_view to, std::string_view from, std::string_view text);
// An upload header text: "OfflineFiles" and six fields, each ended by the
// GBK separator A1 EF.
std::string UploadHeader(std::string_view from, std::string_view fromNick, std::string_view to,
                         std::string_view fileName, std::uint64_t size);
// Count line plus body.
std::string Framed(std::string_view body);

// The text of the first <element> in a document, without parsing it (the
// bench must not be the bottleneck); empty when missing.
std::string_view ElementText(std::string_view doc, std::string_view element);

// Count-line frames over one TCP connection, client side.
class FrameStream {
 public:
  explicit FrameStream(tcp::socket socket) : socket_(std::move(socket)) {}
  awaitable<void> Send(std::string_view body);
  awaitable<void> SendRaw(std::string_view bytes);
  // The next frame's body. Throws on a closed connection or a bad count.
  awaitable<std::string> Read();
  tcp::socket& Socket() { return socket_; }
  // From now on, asks the kernel to stamp the time each read's bytes reached
  // the socket, so that a reply is timed as it arrived, not when this
  // process, busy with a thousand other machines, came to read it.
  void StampArrivals();
  // The arrival of the last bytes read, stamped by the kernel when
  // StampArrivals was called (and the kernel gave a stamp), else the time
  // they were read.
  SteadyClock::time_point LastArrival() const { return lastArrival_; }

 private:
  awaitable<std::size_t> ReadSome(char* into, std::size_t size);

  tcp::socket socket_;
  std::string buffer_;
  bool stamped_ = false;
  SteadyClock::time_point lastArrival_{};
};

// What the notices that reached every simulated machine added up to.
struct NoticeBoard {
  std::uint64_t online = 0;
  std::uint64_t offline = 0;
  std::uint64_t polls = 0;
  std::uint64_t pollsAnswered = 0;
  std::uint64_t other = 0;
  SteadyClock::time_point lastOnline{};
  std::optional<SteadyClock::time_point> firstPoll;  // first poll after `pollWatchFrom`
  SteadyClock::time_point pollWatchFrom = SteadyClock::time_point::max();
  // First "Offline" notice seen for each name, at any machine.
  std::map<std::string, SteadyClock::time_point> offlineSeen;
};

class SimClient {
 public:
  // Machine `index`, logging in as account `account` + 1 (its own account
  // when -1: a machine that is another user's new address gives that user's).
  // The notice socket is read on `noticeIo` when given, else on `io`.
  SimClient(asio::io_context& io, int index, NoticeBoard& board, int account = -1,
            asio::io_context* noticeIo = nullptr);
  SimClient(const SimClient&) = delete;
  SimClient& operator=(const SimClient&) = delete;

  // Binds the notice port, and the message and file ports when asked, on
  // this machine's address, and starts their receive loops. False (with the
  // reason) when a port is taken.
  bool Bind(bool messages, bool files, std::string& error);
  bool Bound() const { return notices_.is_open(); }
  // Opens the TCP connection to the server from this machine's address.
  awaitable<void> Connect(std::uint16_t serverPort);
  // Sends one request frame and reads one reply frame.
  awaitable<std::string> Request(std::string_view body);
  // Logs in; true on a "success" reply. Records the login's send time.
  awaitable<bool> Login();
  // Sends one datagram to the server port from this machine's notice socket
  // (or, when the ports are not bound, from a passing socket on its address).
  // Not while the notice socket is read on a thread of its own.
  void SendDatagram(std::uint16_t serverPort, std::string_view bytes);
  void Heartbeat(std::uint16_t serverPort) { SendDatagram(serverPort, heartbeat_); }
  void Disconnect();

  const int index;
  const std::string name;  // account U00001 and up: machine i is account i+1
  const asio::ip::address_v4 address;
  bool answerPolls = true;
  std::unique_ptr<FrameStream> conn;

  // What reached this machine.
  std::uint64_t onlineNotices = 0;
  bool ownOnline = false;
  SteadyClock::time_point loginSent{};
  // The reply's arrival at this machine's socket, and when the generator
  // came to read it.
  std::optional<SteadyClock::time_point> loginReplied;
  std::optional<SteadyClock::time_point> loginRead;
  std::optional<SteadyClock::time_point> messageAt;
  std::uint64_t messages = 0;
  std::optional<SteadyClock::time_point> fileHeaderAt;
  std::optional<SteadyClock::time_point> fileDoneAt;
  std::uint64_t fileBytes = 0;
  std::uint64_t fileExpected = 0;
  std::uint64_t filesDone = 0;

 private:
  awaitable<void> NoticeLoop();
  // Counts one notice that reached this machine (and answers a poll).
  void HandleNotice(std::string_view doc, const udp::endpoint& from);
  awaitable<void> MessageLoop();
  awaitable<void> FileLoop();
  awaitable<void> ReceiveFile(tcp::socket socket);

  asio::io_context& io_;
  NoticeBoard& board_;
  udp::socket notices_;
  udp::socket messages_;
  tcp::acceptor files_;
  std::string heartbeat_;
};

}  // namespace corvan::bench
