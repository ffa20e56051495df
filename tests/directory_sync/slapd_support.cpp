#include "directory_sync/slapd_support.h"

#include <unistd.h>

#include <fstream>

#include "app/modules_default.h"

namespace corvan::test {

namespace fs = std::filesystem;

bool SlapdInstalled() { return access(kSlapd, X_OK) == 0; }

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

std::optional<TestCertificates> MakeTestCertificates(const fs::path& dir, const std::string& san) {
  TestCertificates t{dir / "ca.pem", dir / "server.pem", dir / "server.key"};
  const fs::path log = dir / "openssl.log";
  const std::string ecKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  std::ofstream(dir / "ext.cnf") << "subjectAltName=" << san << "\n";
  bool made = RunLogged("openssl req -x509" + ecKey + " -keyout " + ShellQuoted((dir / "ca.key").string()) + " -out " +
                            ShellQuoted(t.ca.string()) + " -days 2 -subj '/CN=Corvan Test CA'" +
                            " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign",
                        log) &&
              RunLogged("openssl req" + ecKey + " -keyout " + ShellQuoted(t.key.string()) + " -out " +
                            ShellQuoted((dir / "server.csr").string()) + " -subj '/CN=Corvan test directory'",
                        log) &&
              RunLogged("openssl x509 -req -in " + ShellQuoted((dir / "server.csr").string()) + " -CA " +
                            ShellQuoted(t.ca.string()) + " -CAkey " + ShellQuoted((dir / "ca.key").string()) +
                            " -CAcreateserial -days 2 -extfile " + ShellQuoted((dir / "ext.cnf").string()) + " -out " +
                            ShellQuoted(t.cert.string()),
                        log);
  if (!made) return std::nullopt;
  return t;
}

Slapd::Slapd(const std::vector<LdifRecord>& records, std::optional<TestCertificates> tls) : tls_(std::move(tls)) {
  const fs::path d = dir_.Path();
  fs::create_directories(d / "db");
  port_ = FreePort();
  std::ofstream conf(d / "slapd.conf");
  conf << "include /etc/ldap/schema/core.schema\n"
          "include /etc/ldap/schema/cosine.schema\n"
          "include /etc/ldap/schema/inetorgperson.schema\n"
       << "pidfile " << (d / "slapd.pid").string() << "\n"
       << "modulepath /usr/lib/ldap\n"
          "moduleload back_mdb\n";
  if (tls_)
    conf << "TLSCACertificateFile " << tls_->ca.string() << "\n"
         << "TLSCertificateFile " << tls_->cert.string() << "\n"
         << "TLSCertificateKeyFile " << tls_->key.string() << "\n";
  conf << "database mdb\n"
       << "suffix \"" << kSuffix << "\"\n"
       << "rootdn \"" << kAdminDn << "\"\n"
       << "rootpw " << kAdminPassword << "\n"
       << "directory " << (d / "db").string() << "\n"
       << "maxsize 1073741824\n"
          "sizelimit unlimited\n";
  conf.close();
  std::ofstream(d / "data.ldif") << Ldif(records);
  if (!RunLogged("/usr/sbin/slapadd -q -f " + ShellQuoted((d / "slapd.conf").string()) + " -l " +
                     ShellQuoted((d / "data.ldif").string()),
                 d / "slapadd.log"))
    return;
  Start();
}

bool Slapd::Start() {
  // In the foreground ("-d 0"), so that the test owns the process.
  return daemon_.Start({kSlapd, "-f", (dir_.Path() / "slapd.conf").string(), "-h", Url(), "-d", "0"},
                       dir_.Path() / "slapd.log", [this] { return Accepts("127.0.0.1", port_); });
}

bool Slapd::Modify(const std::string& ldif) {
  const fs::path file = dir_.Path() / "change.ldif";
  std::ofstream(file) << ldif;
  return RunLogged("ldapmodify -x -H " + ShellQuoted(Url()) + " -D " + ShellQuoted(kAdminDn) + " -w " +
                       ShellQuoted(kAdminPassword) + " -f " + ShellQuoted(file.string()),
                   dir_.Path() / "modify.log");
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

TestServer::Setup WithDirectory() {
  TestServer::Setup s;
  s.users = {{"LOCAL", "lpw", "本地用户"}};
  s.modules = DefaultModules();
  return s;
}

}  // namespace corvan::test
