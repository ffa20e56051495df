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
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/unique_fd.h"

namespace corvan {

// Largest datagram the server reads; a longer one is dropped whole.
constexpr std::size_t kMaxDatagram = 8192;

class UdpSocket {
 public:
  // Opens a socket on an ephemeral port; check `Valid`.
  UdpSocket();
  bool Valid() const { return fd_.Valid(); }
  // Sends one datagram to ip:port; false on failure.
  bool SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes);
  // Sends the same datagram to ip:port for every address, in order, many per
  // system call. Stops at the first address that is not an IPv4 address or
  // whose send fails; returns how many datagrams went out before it.
  std::size_t SendToAll(const std::vector<std::string>& ips, std::uint16_t port, std::string_view bytes);
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
  bool IsOpen() const { return fd_.Valid(); }
  std::uint16_t Port() const;

  // Sends from the listener's own socket (source port = the server port).
  bool SendTo(const std::string& ip, std::uint16_t port, std::string_view bytes);

 private:
  void Run();

  UniqueFd fd_;
  UniqueFd wake_;  // eventfd that ends the receiving thread's wait
  Handler handler_;
  std::thread thread_;
};

}  // namespace corvan
