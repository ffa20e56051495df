// The UDP notices the server sends to clients, as pure builders.
//
// Every notice goes to the client port (1875) of each recipient address as
// one datagram holding one envelope; the fan-out lane sends them.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace corvan
