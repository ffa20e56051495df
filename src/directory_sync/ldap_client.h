// A small RAII layer over OpenLDAP's client library: one connection with
// time-bounded operations, the paged subtree search the sync reads with, and
// the simple bind that checks a person's password.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct ldap LDAP;
typedef struct ldapmsg LDAPMessage;
typedef struct berelement BerElement;

namespace corvan {

struct LdapUnbinder {
  void operator()(LDAP* ld) const;
};
struct LdapMessageFree {
  void operator()(LDAPMessage* msg) const;
};
struct BerFree {
  void operator()(BerElement* ber) const;
};
using LdapPtr = std::unique_ptr<LDAP, LdapUnbinder>;
using LdapMessagePtr = std::unique_ptr<LDAPMessage, LdapMessageFree>;
using BerPtr = std::unique_ptr<BerElement, BerFree>;

// One entry as read: its DN and the values of the attributes asked for
// (attribute names in lower case).
struct LdapEntry {
  std::string dn;
  std::map<std::string, std::vector<std::string>> values;

  // The first value of `attribute`, or empty.
  std::string First(const std::string& attribute) const;
};

// How a failure came about: the server could not be reached (or did not
// answer in time), or it answered with a refusal.
enum class LdapFailure { kNone, kUnreachable, kRefused };

struct LdapError {
  LdapFailure kind = LdapFailure::kNone;
  std::string message;
};

struct LdapLimits {
  std::chrono::seconds timeout{5};   // connect and each operation
  std::size_t maxEntries = 200000;   // per search
  std::size_t maxValueBytes = 4096;  // longer values are cut
};

class LdapConnection {
 public:
  // Opens `url` (ldap:// or ldaps://), with StartTLS when asked. `caFile`
  // names the certificates to trust (empty: the system's).
  static std::optional<LdapConnection> Open(const std::string& url, bool startTls, const std::string& caFile,
                                            const LdapLimits& limits, LdapError* error);

  // A simple bind. An empty DN binds anonymously; an empty password with a
  // DN is refused here (a server would take it as an anonymous bind).
  bool Bind(const std::string& dn, const std::string& password, LdapError* error);

  // Every entry under `base` matching `filter`, read in pages. `attributes`
  // in any case.
  std::optional<std::vector<LdapEntry>> Search(const std::string& base, const std::string& filter,
                                               const std::vector<std::string>& attributes, LdapError* error);

 private:
  LdapConnection(LdapPtr ld, LdapLimits limits) : ld_(std::move(ld)), limits_(limits) {}
  LdapError Failure(int rc, const std::string& what) const;

  LdapPtr ld_;
  LdapLimits limits_;
};

}  // namespace corvan
