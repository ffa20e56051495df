// UDP sockets over the POSIX API, in small RAII types.
//
// `UdpSocket` is a client socket for one job: bound to a port the system
// chooses, it sends datagrams and can wait, for a bounded time, for one
// answer. `UdpListener` is the server's listener: one thread that receives
// datagrams on the server port and hands each to a callback in arrival order.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

namespace corvan {

// Largest datagram the server reads; a longer one is dropped whole.
constexpr std::size_t kMaxDatagram = 8192;

// The addresses one datagram goes to, in order: one IPv4 address per
// recipient in network byte order; 0 stands for text that is not an IPv4
// address.
using RecipientList = std::vector<std::uint32_t>;

// The binary form of dotted IPv4 text (network byte order); 0 when the text
// is not an IPv4 address.
std::uint32_t Ipv4OrZero(const std::string& ip);

// The most datagrams one sendmmsg call takes.
constexpr std::size_t kSendBatch = 1024;

// Sends `bytes` through the UDP socket `fd` to `port` of every address of
// `to`, in order, up to `batch` (at most kSendBatch) per system call. Stops at
// the first address that is 0 or whose send fails; returns how many
// datagrams went out before it.
std::size_t SendToEachAddress(int fd, const RecipientList& to, std::uint16_t port, std::string_view bytes,
                              std::size_t batch = kSendBatch);

class UdpSocket {
 public:
  // Opens a socket on an ephemeral port; check `Valid`.
  UdpSocket();
  bool Valid() const { return fd_.Valid(); }
  // Sends one datagram to ip:port; false on failure.
  bool SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes);
  // SendToEachAddress through this socket.
  std::size_t SendToAll(const RecipientList& to, std::uint16_t port, std::string_view bytes);
  // Waits up to `timeout` for one datagram of at most `maxBytes`.
  // Nothing on time-out or error.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout, std::size_t maxBytes = 65536);
  std::uint16_t LocalPort() const;
  int Fd() const { return fd_.Get(); }

 private:
  UniqueFd fd_;
};

class UdpListener {
 public:
  using Handler = std::function<void(std::string_view payload, const std::string& ip, std::uint16_t port)>;

  UdpListener() = default;
  ~UdpListener();
  UdpListener(const UdpListener&) = delete;
  UdpListener& operator=(const UdpListener&) = delete;

  // Binds the port on all local addresses and starts the receiving thread.
  // False when the port cannot be bound.
  bool Open(std::uint16_t port, Handler handler);
  // Stops the thread and closes the socket.
  void Close();
  bool IsOpen() const { return fd_ && fd_->Valid(); }
  std::uint16_t Port() const;

  // Sends from the listener's own socket (source port = the server port).
  bool SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes);
  // The listener's socket for senders on other threads; it stays open while
  // one of them holds it, also after Close (which then only stops reading).
  std::shared_ptr<const UniqueFd> Socket() const { return fd_; }

 private:
  void Run();

  std::shared_ptr<const UniqueFd> fd_;
  UniqueFd wake_;  // eventfd that ends the receiving thread's wait
  Handler handler_;
  std::thread thread_;
};

}  // namespace corvan
