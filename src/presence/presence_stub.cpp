// Placeholders until presence lands.
#include "presence/presence.h"

namespace corvan {

void UDPServerUDPRead(ServerCore&, std::string_view, const std::string&, std::uint16_t) {}
void StartStatusScan(ServerCore&) {}
void SendServerStop(ServerCore&, std::vector<std::string>) {}

}  // namespace corvan
