#include "support/ldif_support.h"

namespace corvan::test {

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

}  // namespace corvan::test
