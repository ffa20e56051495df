// Presence: the UDP datagram handler, the status scan and the notices.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

class ServerCore;

// Handles one datagram received on the UDP listener (takes `OnlineLock`).
void UDPServerUDPRead(ServerCore& core, std::string_view payload, const std::string& ip, std::uint16_t port);
// Starts the status scan (`TSearchStatusThread`) of a `TimerStatus` tick.
void StartStatusScan(ServerCore& core);
// Sends "ServerStop" to every address given (at server stop).
void SendServerStop(ServerCore& core, std::vector<std::string> addresses);

}  // namespace corvan
