#include "directory_sync/slapd_support.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace corvan::test {

namespace fs = std::filesystem;

bool SlapdInstalled() { return access(kSlapd, X_OK) == 0; }

namespace {

std::string Base64(const std::string& in) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
  }
  return out;
}

std::string Line(const std::string& attr, const std::string& value) {
  for (unsigned char c : value)
    if (c >= 0x80 || c < 0x20) return attr + ":: " + Base64(value) + "\n";
  return attr + ": " + value + "\n";
}

bool Accepts(std::uint16_t port) {
  TcpClient probe(port);
  return probe.Connected();
}

}  // namespace

std::string Ldif(const std::vector<LdifRecord>& records) {
  std::string out;
  for (const auto& r : records) {
    out += Line("dn", r.dn);
    for (const auto& [a, v] : r.attrs) out += Line(a, v);
    out += "\n";
  }
  return out;
}

LdifRecord Unit(const std::string& name, const std::string& parentDn) {
  return {"ou=" + name + "," + parentDn, {{"objectClass", "organizationalUnit"}, {"ou", name}}};
}

LdifRecord Person(const std::string& uid, const std::string& cn, const std::string& parentDn,
                  const std::string& password, bool disabled) {
  LdifRecord r{"uid=" + uid + "," + parentDn,
               {{"objectClass", "inetOrgPerson"},
                {"uid", uid},
                {"cn", cn},
                {"sn", cn.substr(0, 3)},
                {"mail", uid + "@example.com"},
                {"telephoneNumber", "010-1234"},
                {"title", "工程师"},
                {"userPassword", password == "pw-" ? "pw-" + uid : password}}};
  if (disabled) r.attrs.push_back({"employeeType", "disabled"});
  return r;
}

std::vector<LdifRecord> SampleDirectory() {
  const std::string corp = kBase;
  const std::string rd = "ou=研发部," + corp;
  return {
      {kSuffix, {{"objectClass", "dcObject"}, {"objectClass", "organization"}, {"dc", "example"}, {"o", "Example"}}},
      {corp, {{"objectClass", "organizationalUnit"}, {"ou", "Corp"}}},
      Unit("研发部", corp),
      Unit("平台组", rd),
      Unit("销售部", corp),
      Person("zhangsan", "张三", "ou=平台组," + rd),
      Person("lisi", "李四", rd),
      Person("wangwu", "王五", "ou=销售部," + corp),
      Person("zhaoliu", "赵六", "ou=销售部," + corp, "pw-", true),
      Person("boss", "老板", corp)};
}

Slapd::Slapd(const std::vector<LdifRecord>& records) {
  const fs::path d = dir_.Path();
  fs::create_directories(d / "db");
  port_ = FreePort();
  std::ofstream(d / "slapd.conf") << "include /etc/ldap/schema/core.schema\n"
                                     "include /etc/ldap/schema/cosine.schema\n"
                                     "include /etc/ldap/schema/inetorgperson.schema\n"
                                     "pidfile "
                                  << (d / "slapd.pid").string()
                                  << "\n"
                                     "modulepath /usr/lib/ldap\n"
                                     "moduleload back_mdb\n"
                                     "database mdb\n"
                                     "suffix \""
                                  << kSuffix
                                  << "\"\n"
                                     "rootdn \""
                                  << kAdminDn
                                  << "\"\n"
                                     "rootpw "
                                  << kAdminPassword
                                  << "\n"
                                     "directory "
                                  << (d / "db").string()
                                  << "\n"
                                     "maxsize 1073741824\n"
                                     "sizelimit unlimited\n";
  std::ofstream(d / "data.ldif") << Ldif(records);
  std::string add = "/usr/sbin/slapadd -q -f '" + (d / "slapd.conf").string() + "' -l '" + (d / "data.ldif").string() +
                    "' > '" + (d / "slapadd.log").string() + "' 2>&1";
  if (std::system(add.c_str()) != 0) return;
  Start();
}

bool Slapd::Start() {
  if (pid_ > 0) return true;
  const fs::path conf = dir_.Path() / "slapd.conf";
  const std::string url = Url();
  const std::string log = (dir_.Path() / "slapd.log").string();
  pid_t pid = fork();
  if (pid == 0) {
    freopen(log.c_str(), "a", stdout);
    freopen(log.c_str(), "a", stderr);
    // In the foreground ("-d 0"), so that the test owns the process.
    execl(kSlapd, kSlapd, "-f", conf.c_str(), "-h", url.c_str(), "-d", "0", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return false;
  pid_ = pid;
  for (int i = 0; i < 200; ++i) {
    if (Accepts(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  return false;
}

void Slapd::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Slapd::~Slapd() { Stop(); }

bool Slapd::Modify(const std::string& ldif) {
  const fs::path file = dir_.Path() / "change.ldif";
  std::ofstream(file) << ldif;
  std::string cmd = "ldapmodify -x -H '" + Url() + "' -D '" + kAdminDn + "' -w '" + kAdminPassword + "' -f '" +
                    file.string() + "' > '" + (dir_.Path() / "modify.log").string() + "' 2>&1";
  return std::system(cmd.c_str()) == 0;
}

void WriteDirectorySettings(const fs::path& home, const std::string& url, const std::string& extra) {
  const fs::path file = home / "DirectorySync.conf";
  std::ofstream(file) << "url = " << url << "\n"
                      << "allow_plain = yes\n"
                      << "bind_dn = " << kAdminDn << "\n"
                      << "bind_password = " << kAdminPassword << "\n"
                      << "base_dn = " << kBase << "\n"
                      << "preset = openldap\n"
                      << "disabled_attribute = employeeType\n"
                      << "disabled_value = disabled\n"
                      << "timeout_seconds = 2\n"
                      << extra;
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace corvan::test
