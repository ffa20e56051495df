// A small RAII layer over OpenLDAP's client library: one connection with
// time-bounded operations, the paged subtree search the sync reads with, and
// the simple bind that checks a person's password. A TLS connection that
// fails is looked at again to name the cause (an untrusted certificate, a
// host name the certificate does not carry).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct timeval;
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
  std::string message;  // the server's own words included, when it gave any
};

struct LdapLimits {
  std::chrono::seconds timeout{5};  // connect and each operation
  // When set, no operation runs past it: the whole budget of a login.
  std::optional<std::chrono::steady_clock::time_point> deadline;
  std::size_t maxEntries = 200000;   // per search
  std::size_t maxValueBytes = 4096;  // longer values are cut
};

// The causes a failed TLS connection is reported with.
inline constexpr std::string_view kCertificateNotTrusted = "证书不受信任 (certificate not trusted)";
inline constexpr std::string_view kHostNameMismatch = "主机名与证书不符 (host name does not match)";

// What is wrong with a server certificate (DER) for `host`, checked against
// the certificates in `caFile` (empty: the system's): the causes above,
// joined by "；", or empty when nothing is.
std::string CertificateProblems(const std::string& der, const std::string& host, const std::string& caFile);

// `value` as an assertion value of a search filter (RFC 4515): every byte
// but ASCII letters, digits and "-._@" written as a backslash and two hex
// digits, so that no value can change the filter around it.
std::string FilterValue(std::string_view value);

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
  LdapConnection(LdapPtr ld, LdapLimits limits, std::string url, bool startTls, std::string caFile)
      : ld_(std::move(ld)), limits_(limits), url_(std::move(url)), startTls_(startTls), caFile_(std::move(caFile)) {}
  // Sets the time the next operation may take; false (and `error` set) when
  // the deadline has passed.
  bool NextTimeout(timeval* tv, LdapError* error);
  LdapError Failure(int rc, const std::string& what) const;

  LdapPtr ld_;
  LdapLimits limits_;
  std::string url_;
  bool startTls_ = false;
  std::string caFile_;
};

}  // namespace corvan
