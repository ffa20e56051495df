// A real directory server for the tests: Debian's slapd on a free loopback
// port, in a temporary folder with a generated slapd.conf, loaded by slapadd
// and stopped by its process id.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/daemon_support.h"
#include "support/ldif_support.h"
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

// Nested units, people with Chinese names and one disabled account
// (employeeType "disabled"):
//   ou=Corp: 研发部 (平台组 under it), 销售部; boss right under Corp.
std::vector<LdifRecord> SampleDirectory();
LdifRecord Unit(const std::string& name, const std::string& parentDn);
LdifRecord Person(const std::string& uid, const std::string& cn, const std::string& parentDn,
                  const std::string& password = "pw-" /* + uid */, bool disabled = false);

// A server certificate for slapd's ldaps://, signed by a CA of the test's
// own: made with openssl in `dir`, for the subject alternative names `san`
// ("IP:127.0.0.1", "DNS:ldap.example.test").
struct TestCertificates {
  std::filesystem::path ca, cert, key;
};
std::optional<TestCertificates> MakeTestCertificates(const std::filesystem::path& dir, const std::string& san);

class Slapd {
 public:
  // Loads `records` and starts on a free port of 127.0.0.1: ldap://, or
  // ldaps:// with `tls`.
  explicit Slapd(const std::vector<LdifRecord>& records, std::optional<TestCertificates> tls = std::nullopt);
  bool Running() const { return daemon_.Running(); }
  std::uint16_t Port() const { return port_; }
  std::string Url(const std::string& host = "127.0.0.1") const {
    return (tls_ ? "ldaps://" : "ldap://") + host + ":" + std::to_string(port_) + "/";
  }
  // Starts again after Stop (same data, same port).
  bool Start();
  void Stop() { daemon_.Stop(); }
  // Applies an LDIF of changes with ldapmodify as the administrator
  // (ldap:// only).
  bool Modify(const std::string& ldif);

 private:
  TempDir dir_;
  std::optional<TestCertificates> tls_;
  std::uint16_t port_ = 0;
  Daemon daemon_;
};

// The settings file for `url`: OpenLDAP preset, plain ldap:// allowed
// (loopback only), disabled accounts by employeeType. Mode 0600.
void WriteDirectorySettings(const std::filesystem::path& home, const std::string& url, const std::string& extra = "");

// A server wired as the program wires it, with one local account ("LOCAL",
// password "lpw") beside whatever the directory brings.
TestServer::Setup WithDirectory();

}  // namespace corvan::test
