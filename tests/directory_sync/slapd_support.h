// A real directory server for the tests: Debian's slapd on a free loopback
// port, in a temporary folder with a generated slapd.conf, loaded by slapadd
// and stopped by its process id.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_server.h"

namespace corvan::test {

inline constexpr const char* kSlapd = "/usr/sbin/slapd";
inline constexpr const char* kSuffix = "dc=example,dc=com";
inline constexpr const char* kBase = "ou=Corp,dc=example,dc=com";
inline constexpr const char* kAdminDn = "cn=admin,dc=example,dc=com";
inline constexpr const char* kAdminPassword = "secret";

bool SlapdInstalled();

// Skips a test that needs slapd where it is not installed, saying so; in CI
// (where tools/install-deps.sh installs it) a missing slapd fails instead.
#define CORVAN_REQUIRE_SLAPD()                                                       \
  if (!::corvan::test::SlapdInstalled()) {                                           \
    if (std::getenv("CI") != nullptr) FAIL() << "/usr/sbin/slapd is missing";        \
    GTEST_SKIP() << "/usr/sbin/slapd is missing (apt-get install slapd ldap-utils)"; \
  }

// One LDIF record: the DN and attribute/value pairs; non-ASCII text is
// written in base64 as LDIF asks.
struct LdifRecord {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> attrs;
};
std::string Ldif(const std::vector<LdifRecord>& records);

// Nested units, people with Chinese names and one disabled account
// (employeeType "disabled"):
//   ou=Corp: 研发部 (平台组 under it), 销售部; boss right under Corp.
std::vector<LdifRecord> SampleDirectory();
LdifRecord Unit(const std::string& name, const std::string& parentDn);
LdifRecord Person(const std::string& uid, const std::string& cn, const std::string& parentDn,
                  const std::string& password = "pw-" /* + uid */, bool disabled = false);

class Slapd {
 public:
  explicit Slapd(const std::vector<LdifRecord>& records);
  ~Slapd();
  bool Running() const { return pid_ > 0; }
  std::uint16_t Port() const { return port_; }
  std::string Url() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }
  // Starts again after Stop (same data, same port).
  bool Start();
  void Stop();
  // Applies an LDIF of changes with ldapmodify as the administrator.
  bool Modify(const std::string& ldif);

 private:
  TempDir dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// The settings file for `url`: OpenLDAP preset, plain ldap:// allowed
// (loopback only), disabled accounts by employeeType. Mode 0600.
void WriteDirectorySettings(const std::filesystem::path& home, const std::string& url, const std::string& extra = "");

}  // namespace corvan::test
