// A real Active Directory domain controller for the tests: Debian's Samba AD
// DC, provisioned in a temporary folder, serving LDAP (389) and LDAPS (636,
// with the certificate Samba makes for itself at its first start) on a
// loopback address of its own, so that runs on one machine do not meet, and
// stopped by its process id.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/daemon_support.h"
#include "support/ldif_support.h"
#include "support/test_server.h"

namespace corvan::test {

bool SambaInstalled();

// Skips a test that needs Samba where it is not installed, saying so; in CI
// (where tools/install-deps.sh installs it) a missing Samba fails instead.
#define CORVAN_REQUIRE_SAMBA()                                                                           \
  if (!::corvan::test::SambaInstalled()) {                                                               \
    if (std::getenv("CI") != nullptr) FAIL() << "samba-ad-dc is missing";                                \
    GTEST_SKIP() << "samba-ad-dc is missing (apt-get install samba-ad-dc samba-ad-provision ldb-tools)"; \
  }

class SambaDc {
 public:
  static constexpr const char* kRealm = "CORP.EXAMPLE.COM";
  static constexpr const char* kDomain = "CORP";
  static constexpr const char* kHostName = "DC1.corp.example.com";  // the name in its certificate
  static constexpr const char* kDomainDn = "DC=corp,DC=example,DC=com";
  static constexpr const char* kAdminPassword = "Corvan-Adm1n!";

  // Provisions the domain; `Start` then serves it. Provisioning and bulk
  // loads go faster while the DC is not running.
  SambaDc();
  bool Provisioned() const { return provisioned_; }
  bool Start();
  void Stop() { samba_.Stop(); }
  bool Running() const { return samba_.Running(); }

  const std::string& Address() const { return address_; }
  std::string LdapUrl() const { return "ldap://" + address_ + "/"; }
  // By the certificate's name, which only resolves through HostsFile().
  std::string LdapsUrl() const { return std::string("ldaps://") + kHostName + "/"; }
  std::string LdapsUrlByAddress() const { return "ldaps://" + address_ + "/"; }
  // "ADDRESS DC1.corp.example.com", for nss_wrapper's NSS_WRAPPER_HOSTS.
  std::filesystem::path HostsFile() const { return dir_.Path() / "hosts"; }
  std::filesystem::path CaFile() const { return dir_.Path() / "dc/private/tls/ca.pem"; }
  std::string AdminDn() const { return std::string("CN=Administrator,CN=Users,") + kDomainDn; }

  // Adds the records to the DC's database with ldbadd (one process for all).
  bool Add(const std::vector<LdifRecord>& records);
  // The end of the DC's logs (provisioning, loads, the daemon), for a
  // failure's message.
  std::string Logs() const;
  // samba-tool with the DC's configuration: "user create NAME PASSWORD
  // --userou=OU=...", "user disable NAME".
  bool Tool(const std::string& arguments);

 private:
  TempDir dir_;
  std::string address_;
  bool provisioned_ = false;
  Daemon samba_;
};

}  // namespace corvan::test
