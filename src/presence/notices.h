// The UDP notices the server sends to clients, and the one sending primitive
// every broadcast shares. Builders are pure; `SendToEach` does the I/O.
//
// Every notice goes to the client port (1875) of each recipient address as
// one datagram holding one envelope; a broadcast uses one fresh client socket
// for all its recipients.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

// The web address the "Information" notice carries.
inline constexpr std::string_view kInformationAddress = "https://www.corvan.example/";
// The discovery answer: eight ASCII bytes, no XML.
inline constexpr std::string_view kDiscoveryAnswer = "ImServer";

// Envelopes as GBK bytes.
std::string BuildOnlineNotice(std::string_view name, std::string_view ip);
std::string BuildOfflineNotice(std::string_view name, std::string_view ip);
std::string BuildGetStatus(std::string_view name);
std::string BuildStatusNotice(std::string_view name, std::string_view status);
std::string BuildNewUserRegNotice(std::string_view name, std::string_view nickname, std::string_view orgNo);
std::string BuildServerStop();
std::string BuildInformationNotice(std::string_view content);

// How a "GetStatus" answer reads. Only RootNode -> Struct -> username is
// looked at (not Type); the name must equal the polled name exactly.
enum class StatusAnswer {
  kValid,   // names the polled user
  kOther,   // well-formed, but an element is missing or the name differs
  kNotXml,  // not a well-formed document
};
StatusAnswer ClassifyStatusAnswer(std::string_view bytes, std::string_view polledName);

// Sends `bytes` to `port` of every address in order from one fresh client
// socket. The first failed send ends the broadcast quietly. Returns how many
// datagrams went out.
std::size_t SendToEach(const std::vector<std::string>& addresses, std::uint16_t port, std::string_view bytes);

}  // namespace corvan
