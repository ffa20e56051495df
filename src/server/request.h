// One XML request read from a TCP connection, as its handler sees it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server/connection.h"
#include "server/dispatch.h"
#include "server/envelope.h"

namespace corvan {

class ServerCore;

struct Request {
  ServerCore& core;
  std::shared_ptr<Connection> connection;  // replies go here
  ParsedEnvelope envelope;                 // the parsed body
  std::string body;                        // the body as received

  // The client's IPv4 address as this connection sees it.
  const std::string& PeerAddress() const { return connection->PeerAddress(); }
  // Writes one document (GBK bytes) in a frame.
  void SendReply(const std::string& document) const { connection->SendReply(document); }
  // Writes a reply already framed and shared by many requests.
  void SendFrame(std::shared_ptr<const std::string> frame) const { connection->SendShared(std::move(frame)); }
  // The short "Info" reply with BackType, status and reason.
  void SendResult(std::string_view backType, std::string_view status, std::string_view reason) const {
    if (status == "Fail") CountFailedResult(core, backType);
    connection->SendReply(BuildResult(backType, status, reason));
  }
};

}  // namespace corvan
