// Sending one stored item to a client's file port: the header line, the
// "OK" answer, the line "START", then the file's bytes or the folder's
// `TransferRecord` stream.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace corvan {

enum class DeliveryOutcome {
  kDelivered,     // the whole content was written and the client's side acknowledged it
  kRefused,       // the client answered something other than "OK"
  kNotDelivered,  // no connection, no answer, or the connection broke
  kMissing,       // nothing exists at the item's path: no connection made
};

struct DeliveryTimeouts {
  // Connecting, and waiting for the answer line.
  std::chrono::milliseconds answer{10000};
  // One write that makes no progress (a client that stopped reading).
  std::chrono::milliseconds write{30000};
};

struct DeliveryItem {
  std::filesystem::path path;  // the item: a file or a folder
  std::string fromUser;
  std::string fromNick;
  std::string toUser;
};

// `TSendOfflineFilesThread`'s transfer (without the removal afterwards).
DeliveryOutcome SendOfflineItem(const DeliveryItem& item, const std::string& ip, std::uint16_t port,
                                DeliveryTimeouts timeouts = {});

}  // namespace corvan
