#include "directory_sync/ldap_client.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <ldap.h>

#include <algorithm>
#include <cctype>

namespace corvan {

void LdapUnbinder::operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
void LdapMessageFree::operator()(LDAPMessage* msg) const { ldap_msgfree(msg); }
void BerFree::operator()(BerElement* ber) const { ber_free(ber, 0); }

namespace {

struct ControlFree {
  void operator()(LDAPControl* c) const { ldap_control_free(c); }
};
struct ControlsFree {
  void operator()(LDAPControl** c) const { ldap_controls_free(c); }
};
struct MemFree {
  void operator()(char* p) const { ldap_memfree(p); }
};
struct BervalsFree {
  void operator()(berval** v) const { ber_bvecfree(v); }
};
struct UrlFree {
  void operator()(LDAPURLDesc* u) const { ldap_free_urldesc(u); }
};
struct CertFree {
  void operator()(gnutls_x509_crt_int* c) const { gnutls_x509_crt_deinit(c); }
};
struct TrustListFree {
  void operator()(gnutls_x509_trust_list_st* l) const { gnutls_x509_trust_list_deinit(l, 1); }
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsUnreachable(int rc) {
  return rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_TIMEOUT || rc == LDAP_UNAVAILABLE ||
         rc == LDAP_BUSY;
}

// The time left for one operation: `limit`, cut to what remains before
// `deadline`; nothing when that has passed.
std::optional<timeval> TimeLeft(std::chrono::seconds limit,
                                const std::optional<std::chrono::steady_clock::time_point>& deadline) {
  using std::chrono::microseconds;
  microseconds left = limit;
  if (deadline) {
    left = std::min(left, std::chrono::duration_cast<microseconds>(*deadline - std::chrono::steady_clock::now()));
    if (left.count() <= 0) return std::nullopt;
  }
  return timeval{static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000)};
}

void SetTimeouts(LDAP* ld, const timeval& tv) {
  ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &tv);
  ldap_set_option(ld, LDAP_OPT_TIMEOUT, &tv);
}

// A handle for `url` with the options every connection uses. Nothing
// connects yet.
LdapPtr NewHandle(const std::string& url, const std::string& caFile, int requireCert, int* rc) {
  LDAP* raw = nullptr;
  *rc = ldap_initialize(&raw, url.c_str());
  LdapPtr ld(raw);
  if (*rc != LDAP_SUCCESS || !ld) return nullptr;
  int version = LDAP_VERSION3;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  if (!caFile.empty() || requireCert != LDAP_OPT_X_TLS_DEMAND) {
    if (!caFile.empty()) ldap_set_option(ld.get(), LDAP_OPT_X_TLS_CACERTFILE, caFile.c_str());
    ldap_set_option(ld.get(), LDAP_OPT_X_TLS_REQUIRE_CERT, &requireCert);
    int newCtx = 0;
    ldap_set_option(ld.get(), LDAP_OPT_X_TLS_NEWCTX, &newCtx);
  }
  return ld;
}

bool UsesTls(const std::string& url, bool startTls) { return startTls || Lower(url.substr(0, 8)) == "ldaps://"; }

// Connects again without checking the certificate, takes the one the server
// shows and says what the checked connection found wrong with it. Empty when
// that connection fails too (the cause was not the certificate).
std::string DiagnoseTls(const std::string& url, bool startTls, const std::string& caFile, const LdapLimits& limits) {
  std::optional<timeval> tv = TimeLeft(limits.timeout, limits.deadline);
  if (!tv) return {};
  int rc = 0;
  LdapPtr ld = NewHandle(url, caFile, LDAP_OPT_X_TLS_ALLOW, &rc);
  if (!ld) return {};
  SetTimeouts(ld.get(), *tv);
  rc = startTls ? ldap_start_tls_s(ld.get(), nullptr, nullptr) : ldap_connect(ld.get());
  if (rc != LDAP_SUCCESS) return {};
  berval cert{0, nullptr};
  if (ldap_get_option(ld.get(), LDAP_OPT_X_TLS_PEERCERT, &cert) != LDAP_OPT_SUCCESS || cert.bv_val == nullptr)
    return {};
  std::string der(cert.bv_val, cert.bv_len);
  ber_memfree(cert.bv_val);
  LDAPURLDesc* rawUrl = nullptr;
  if (ldap_url_parse(url.c_str(), &rawUrl) != LDAP_URL_SUCCESS) return {};
  std::unique_ptr<LDAPURLDesc, UrlFree> parsed(rawUrl);
  return CertificateProblems(der, parsed->lud_host != nullptr ? parsed->lud_host : "", caFile);
}

}  // namespace

std::string CertificateProblems(const std::string& der, const std::string& host, const std::string& caFile) {
  gnutls_x509_crt_t rawCert = nullptr;
  if (gnutls_x509_crt_init(&rawCert) < 0) return {};
  std::unique_ptr<gnutls_x509_crt_int, CertFree> cert(rawCert);
  gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                      static_cast<unsigned>(der.size())};
  if (gnutls_x509_crt_import(cert.get(), &data, GNUTLS_X509_FMT_DER) < 0) return {};
  std::string causes;
  auto add = [&causes](std::string_view cause) {
    if (!causes.empty()) causes += "；";
    causes += cause;
  };
  gnutls_x509_trust_list_t rawList = nullptr;
  if (gnutls_x509_trust_list_init(&rawList, 0) >= 0) {
    std::unique_ptr<gnutls_x509_trust_list_st, TrustListFree> list(rawList);
    const int added = caFile.empty() ? gnutls_x509_trust_list_add_system_trust(list.get(), 0, 0)
                                     : gnutls_x509_trust_list_add_trust_file(list.get(), caFile.c_str(), nullptr,
                                                                             GNUTLS_X509_FMT_PEM, 0, 0);
    unsigned status = 0;
    gnutls_x509_crt_t chain[] = {cert.get()};
    if (added < 0 || gnutls_x509_trust_list_verify_crt(list.get(), chain, 1, 0, &status, nullptr) < 0 || status != 0)
      add(kCertificateNotTrusted);
  }
  if (gnutls_x509_crt_check_hostname(cert.get(), host.c_str()) == 0) add(kHostNameMismatch);
  return causes;
}

std::string FilterValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '@') {
      out += static_cast<char>(c);
    } else {
      out += '\\';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string LdapEntry::First(const std::string& attribute) const {
  auto it = values.find(Lower(attribute));
  return it == values.end() || it->second.empty() ? std::string() : it->second.front();
}

LdapError LdapConnection::Failure(int rc, const std::string& what) const {
  LdapError e;
  e.kind = IsUnreachable(rc) ? LdapFailure::kUnreachable : LdapFailure::kRefused;
  e.message = what + ": " + ldap_err2string(rc);
  char* rawDiagnostic = nullptr;
  ldap_get_option(ld_.get(), LDAP_OPT_DIAGNOSTIC_MESSAGE, &rawDiagnostic);
  std::unique_ptr<char, MemFree> diagnostic(rawDiagnostic);
  if (diagnostic && *diagnostic != '\0') e.message += std::string(" (") + diagnostic.get() + ")";
  // A TLS failure reads as "Can't contact LDAP server": look for the cause.
  if ((rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR) && UsesTls(url_, startTls_)) {
    std::string cause = DiagnoseTls(url_, startTls_, caFile_, limits_);
    if (!cause.empty()) e.message = cause + "（" + e.message + "）";
  }
  return e;
}

bool LdapConnection::NextTimeout(timeval* tv, LdapError* error) {
  std::optional<timeval> left = TimeLeft(limits_.timeout, limits_.deadline);
  if (!left) {
    if (error) *error = LdapError{LdapFailure::kUnreachable, "time-out: no answer in time"};
    return false;
  }
  *tv = *left;
  SetTimeouts(ld_.get(), *tv);
  return true;
}

std::optional<LdapConnection> LdapConnection::Open(const std::string& url, bool startTls, const std::string& caFile,
                                                   const LdapLimits& limits, LdapError* error) {
  int rc = 0;
  LdapPtr ld = NewHandle(url, caFile, LDAP_OPT_X_TLS_DEMAND, &rc);
  if (!ld) {
    if (error) {
      error->kind = IsUnreachable(rc) ? LdapFailure::kUnreachable : LdapFailure::kRefused;
      error->message = "ldap_initialize " + url + ": " + ldap_err2string(rc);
    }
    return std::nullopt;
  }
  LdapConnection conn(std::move(ld), limits, url, startTls, caFile);
  if (startTls) {
    timeval tv{};
    if (!conn.NextTimeout(&tv, error)) return std::nullopt;
    rc = ldap_start_tls_s(conn.ld_.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
      if (error) *error = conn.Failure(rc, "StartTLS");
      return std::nullopt;
    }
  }
  return conn;
}

bool LdapConnection::Bind(const std::string& dn, const std::string& password, LdapError* error) {
  if (!dn.empty() && password.empty()) {
    if (error) *error = LdapError{LdapFailure::kRefused, "empty password"};
    return false;
  }
  timeval tv{};
  if (!NextTimeout(&tv, error)) return false;
  berval cred{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
  int rc = ldap_sasl_bind_s(ld_.get(), dn.empty() ? nullptr : dn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr, nullptr,
                            nullptr);
  if (rc == LDAP_SUCCESS) return true;
  if (error) *error = Failure(rc, "bind");
  return false;
}

std::optional<std::vector<LdapEntry>> LdapConnection::Search(const std::string& base, const std::string& filter,
                                                             const std::vector<std::string>& attributes,
                                                             LdapError* error) {
  std::vector<char*> attrs;
  attrs.reserve(attributes.size() + 1);
  for (const auto& a : attributes) attrs.push_back(const_cast<char*>(a.c_str()));
  attrs.push_back(nullptr);
  std::vector<LdapEntry> entries;
  berval* cookie = nullptr;  // owned; freed below
  auto freeCookie = [&] {
    if (cookie != nullptr) ber_bvfree(cookie);
    cookie = nullptr;
  };
  constexpr ber_int_t kPageSize = 500;
  for (;;) {
    timeval tv{};
    if (!NextTimeout(&tv, error)) {
      freeCookie();
      return std::nullopt;
    }
    LDAPControl* pageRaw = nullptr;
    int rc = ldap_create_page_control(ld_.get(), kPageSize, cookie, 0, &pageRaw);
    std::unique_ptr<LDAPControl, ControlFree> page(pageRaw);
    if (rc != LDAP_SUCCESS) {
      freeCookie();
      if (error) *error = Failure(rc, "paged search");
      return std::nullopt;
    }
    LDAPControl* serverControls[] = {page.get(), nullptr};
    LDAPMessage* resRaw = nullptr;
    rc = ldap_search_ext_s(ld_.get(), base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(), attrs.data(), 0, serverControls,
                           nullptr, &tv, LDAP_NO_LIMIT, &resRaw);
    LdapMessagePtr res(resRaw);
    if (rc != LDAP_SUCCESS) {
      freeCookie();
      if (error) *error = Failure(rc, "search " + base);
      return std::nullopt;
    }
    for (LDAPMessage* e = ldap_first_entry(ld_.get(), res.get()); e != nullptr; e = ldap_next_entry(ld_.get(), e)) {
      if (entries.size() >= limits_.maxEntries) {
        freeCookie();
        if (error) *error = LdapError{LdapFailure::kRefused, "too many entries under " + base};
        return std::nullopt;
      }
      LdapEntry entry;
      std::unique_ptr<char, MemFree> dn(ldap_get_dn(ld_.get(), e));
      if (dn) entry.dn = dn.get();
      BerElement* berRaw = nullptr;
      for (char* a = ldap_first_attribute(ld_.get(), e, &berRaw); a != nullptr;
           a = ldap_next_attribute(ld_.get(), e, berRaw)) {
        std::unique_ptr<char, MemFree> name(a);
        std::unique_ptr<berval*, BervalsFree> vals(ldap_get_values_len(ld_.get(), e, a));
        auto& list = entry.values[Lower(a)];
        for (berval** v = vals.get(); v != nullptr && *v != nullptr; ++v)
          list.emplace_back((*v)->bv_val, std::min<std::size_t>((*v)->bv_len, limits_.maxValueBytes));
      }
      BerPtr ber(berRaw);
      entries.push_back(std::move(entry));
    }
    // The next page's cookie; an empty one ends the search.
    LDAPControl** controlsRaw = nullptr;
    int err = 0;
    rc = ldap_parse_result(ld_.get(), res.get(), &err, nullptr, nullptr, nullptr, &controlsRaw, 0);
    std::unique_ptr<LDAPControl*, ControlsFree> controls(controlsRaw);
    freeCookie();
    if (rc != LDAP_SUCCESS || err != LDAP_SUCCESS) {
      if (error) *error = Failure(rc != LDAP_SUCCESS ? rc : err, "search " + base);
      return std::nullopt;
    }
    LDAPControl* response = controls ? ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls.get(), nullptr) : nullptr;
    if (response == nullptr) break;  // the server does not page: all came at once
    ber_int_t estimate = 0;
    berval next{0, nullptr};
    if (ldap_parse_pageresponse_control(ld_.get(), response, &estimate, &next) != LDAP_SUCCESS) break;
    if (next.bv_len == 0) {
      ber_memfree(next.bv_val);
      break;
    }
    cookie = ber_bvdup(&next);
    ber_memfree(next.bv_val);
  }
  freeCookie();
  return entries;
}

}  // namespace corvan
