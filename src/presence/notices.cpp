#include "presence/notices.h"

#include "base/xml.h"
#include "server/counters.h"
#include "server/envelope.h"
#include "server/udp.h"

namespace corvan {

std::string BuildOnlineNotice(std::string_view name, std::string_view ip) {
  return EnvelopeWriter("Online").Field("username", name).Field("ip", ip).Finish();
}

std::string BuildOfflineNotice(std::string_view name, std::string_view ip) {
  return EnvelopeWriter("Offline").Field("username", name).Field("ip", ip).Finish();
}

std::string BuildGetStatus(std::string_view name) {
  return EnvelopeWriter("GetStatus").Field("username", name).Finish();
}

std::string BuildStatusNotice(std::string_view name, std::string_view status) {
  return EnvelopeWriter("Status").Field("username", name).Field("Status", status).Finish();
}

std::string BuildNewUserRegNotice(std::string_view name, std::string_view nickname, std::string_view orgNo) {
  return EnvelopeWriter("NewUserReg")
      .Field("username", name)
      .Field("nickname", nickname)
      .Field("orgNo", orgNo)
      .Finish();
}

std::string BuildServerStop() { return EnvelopeWriter("ServerStop", false).Finish(); }

std::string BuildInformationNotice(std::string_view content) {
  return EnvelopeWriter("Information")
      .Field("content", content)
      .Field("Ver", "Mini")
      .Field("time", "20")
      .Field("address", kInformationAddress)
      .Finish();
}

StatusAnswer ClassifyStatusAnswer(std::string_view bytes, std::string_view polledName) {
  XmlDocPtr doc = ParseXml(bytes, kMaxDatagram * 8);
  if (!doc) return StatusAnswer::kNotXml;
  XmlNode* root = RootElement(doc.get(), "RootNode");
  XmlNode* name = FirstChild(FirstChild(root, "Struct"), "username");
  if (name == nullptr) return StatusAnswer::kOther;
  return NodeText(name) == polledName ? StatusAnswer::kValid : StatusAnswer::kOther;
}

}  // namespace corvan
