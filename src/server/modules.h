// The points where the server core hands work to the other parts of the
// server: presence (UDP, the status scan, the stop notice) and offline
// delivery (stored messages, uploads, purges). The program passes the real
// implementations in `CoreOptions`; tests replace single entries with fakes.
// An empty entry hands nothing over.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

class ServerCore;
class UploadSession;

struct CoreModules {
  // A frame whose head is "OfflineInfo": store the message (on a worker).
  std::function<void(ServerCore&, std::string body)> StoreOfflineMessage;
  // A frame whose head begins "OfflineFiles": returns the session that takes
  // the content from the connection, or null when nothing more is read.
  // `bodySize` is the whole frame body's size.
  std::function<std::unique_ptr<UploadSession>(ServerCore&, std::string header, std::size_t bodySize)> BeginUpload;
  // One UDP datagram, called on the UDP listener thread with `OnlineLock`
  // NOT yet held (the handler takes it).
  std::function<void(ServerCore&, std::string_view payload, const std::string& ip, std::uint16_t port)> UdpRead;
  // A `TimerStatus` tick: the status scan.
  std::function<void(ServerCore&)> StatusTick;
  // At stop: the "ServerStop" notice to these addresses.
  std::function<void(ServerCore&, std::vector<std::string> addresses)> SendServerStop;
  // At every start: the two purges of old offline data.
  std::function<void(ServerCore&, int days)> StartPurges;
};

}  // namespace corvan
