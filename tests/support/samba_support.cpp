#include "support/samba_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>

#include "base/unique_fd.h"

namespace corvan::test {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSamba = "/usr/sbin/samba";
constexpr const char* kSambaTool = "/usr/bin/samba-tool";
constexpr const char* kLdbAdd = "/usr/bin/ldbadd";

// Whether nothing listens on ip:port and it may be bound.
bool Free(const std::string& ip, std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return fd.Valid() && ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

// A loopback address no other test uses: 127.200-249.x.y, with 389 and 636
// free on it.
std::string LoopbackAddress() {
  std::random_device rd;
  for (int attempt = 0; attempt < 50; ++attempt) {
    const std::string ip = "127." + std::to_string(200 + rd() % 50) + "." + std::to_string(rd() % 256) + "." +
                           std::to_string(1 + rd() % 254);
    if (Free(ip, 389) && Free(ip, 636)) return ip;
  }
  return {};
}

}  // namespace

bool SambaInstalled() {
  return access(kSamba, X_OK) == 0 && access(kSambaTool, X_OK) == 0 && access(kLdbAdd, X_OK) == 0 &&
         fs::exists("/usr/share/samba/setup/ad-schema");
}

SambaDc::SambaDc() {
  address_ = LoopbackAddress();
  if (address_.empty()) return;
  const fs::path d = dir_.Path();
  std::ofstream(HostsFile()) << address_ << " " << kHostName << "\n";
  const std::vector<std::string> options = {"interfaces=" + address_ + "/8", "bind interfaces only=yes",
                                            "server services=ldap", "log file=" + (d / "log.%m").string(),
                                            // Its own, so that several DCs may run on one machine.
                                            "pid directory=" + (d / "run").string(),
                                            "ncalrpc dir=" + (d / "run/ncalrpc").string()};
  fs::create_directories(d / "run");
  std::string command =
      std::string(kSambaTool) + " domain provision --targetdir " + ShellQuoted((d / "dc").string()) +
      " --realm=" + kRealm + " --domain=" + kDomain +
      " --server-role=dc --dns-backend=NONE --host-name=DC1 --adminpass=" + ShellQuoted(kAdminPassword);
  for (const auto& o : options) command += " --option=" + ShellQuoted(o);
  if (!RunLogged(command, d / "provision.log")) return;
  // Simple binds over plain LDAP are allowed, as Active Directory allows
  // them unless told otherwise; the ldaps:// checks use TLS all the same.
  // Provisioning leaves this option out, so it goes in afterwards.
  const fs::path conf = d / "dc/etc/smb.conf";
  std::ifstream in(conf);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t global = text.find("[global]\n");
  if (global == std::string::npos) return;
  text.insert(global + 9, "\tldap server require strong auth = no\n");
  std::ofstream(conf, std::ios::trunc) << text;
  provisioned_ = true;
}

bool SambaDc::Start() {
  if (!provisioned_) return false;
  const fs::path d = dir_.Path();
  return samba_.Start(
      {kSamba, "-s", (d / "dc/etc/smb.conf").string(), "-i", "-M", "single"}, d / "samba.log",
      [this] { return Accepts(address_, 389) && Accepts(address_, 636); }, std::chrono::seconds(60));
}

bool SambaDc::Add(const std::vector<LdifRecord>& records) {
  const fs::path file = dir_.Path() / "add.ldif";
  std::ofstream(file) << Ldif(records);
  return RunLogged(std::string(kLdbAdd) + " --nosync -H " + ShellQuoted((dir_.Path() / "dc/private/sam.ldb").string()) +
                       " " + ShellQuoted(file.string()),
                   dir_.Path() / "ldbadd.log");
}

bool SambaDc::Tool(const std::string& arguments) {
  return RunLogged(
      std::string(kSambaTool) + " " + arguments + " -s " + ShellQuoted((dir_.Path() / "dc/etc/smb.conf").string()),
      dir_.Path() / "samba-tool.log");
}

std::string SambaDc::Logs() const {
  std::string out;
  for (const char* name : {"provision.log", "ldbadd.log", "samba-tool.log", "samba.log"}) {
    std::ifstream in(dir_.Path() / name);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.empty()) continue;
    out += std::string("--- ") + name + "\n" + text.substr(text.size() > 2000 ? text.size() - 2000 : 0) + "\n";
  }
  if (address_.empty()) out += "no free loopback address for the DC\n";
  return out;
}

}  // namespace corvan::test
