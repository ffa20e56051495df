// LDIF as the directory servers' own tools read it (slapadd, ldapmodify,
// ldbadd): for the tests that fill a real directory.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace corvan::test {

// One LDIF record: the DN and attribute/value pairs; non-ASCII text is
// written in base64 as LDIF asks.
struct LdifRecord {
  std::string dn;
  std::vector<std::pair<std::string, std::string>> attrs;
};
std::string Ldif(const std::vector<LdifRecord>& records);

}  // namespace corvan::test
