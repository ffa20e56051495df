#include "directory_sync/ldap_client.h"

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

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsUnreachable(int rc) {
  return rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR || rc == LDAP_TIMEOUT || rc == LDAP_UNAVAILABLE ||
         rc == LDAP_BUSY;
}

}  // namespace

std::string LdapEntry::First(const std::string& attribute) const {
  auto it = values.find(Lower(attribute));
  return it == values.end() || it->second.empty() ? std::string() : it->second.front();
}

LdapError LdapConnection::Failure(int rc, const std::string& what) const {
  LdapError e;
  e.kind = IsUnreachable(rc) ? LdapFailure::kUnreachable : LdapFailure::kRefused;
  e.message = what + ": " + ldap_err2string(rc);
  return e;
}

std::optional<LdapConnection> LdapConnection::Open(const std::string& url, bool startTls, const std::string& caFile,
                                                   const LdapLimits& limits, LdapError* error) {
  LDAP* raw = nullptr;
  int rc = ldap_initialize(&raw, url.c_str());
  LdapPtr ld(raw);
  auto fail = [&](int code, const std::string& what) {
    if (error) {
      error->kind = IsUnreachable(code) ? LdapFailure::kUnreachable : LdapFailure::kRefused;
      error->message = what + ": " + ldap_err2string(code);
    }
    return std::nullopt;
  };
  if (rc != LDAP_SUCCESS || !ld) return fail(rc, "ldap_initialize " + url);
  int version = LDAP_VERSION3;
  ldap_set_option(ld.get(), LDAP_OPT_PROTOCOL_VERSION, &version);
  ldap_set_option(ld.get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
  timeval tv{static_cast<time_t>(limits.timeout.count()), 0};
  ldap_set_option(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, &tv);
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &tv);
  if (!caFile.empty()) {
    ldap_set_option(ld.get(), LDAP_OPT_X_TLS_CACERTFILE, caFile.c_str());
    int newCtx = 0;
    ldap_set_option(ld.get(), LDAP_OPT_X_TLS_NEWCTX, &newCtx);
  }
  if (startTls) {
    rc = ldap_start_tls_s(ld.get(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) return fail(rc, "StartTLS");
  }
  return LdapConnection(std::move(ld), limits);
}

bool LdapConnection::Bind(const std::string& dn, const std::string& password, LdapError* error) {
  if (!dn.empty() && password.empty()) {
    if (error) *error = LdapError{LdapFailure::kRefused, "empty password"};
    return false;
  }
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
  timeval tv{static_cast<time_t>(limits_.timeout.count()), 0};
  for (;;) {
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
