#include "base/text.h"

#include <iconv.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <ctime>
#include <memory>

namespace corvan {

std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

bool AsciiEqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::string_view Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

std::optional<bool> ParseYesNo(std::string_view s) {
  const std::string t = AsciiUpper(s);
  if (t == "YES" || t == "TRUE" || t == "ON" || t == "1") return true;
  if (t == "NO" || t == "FALSE" || t == "OFF" || t == "0") return false;
  return std::nullopt;
}

std::optional<std::int64_t> ParseInt64(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  s.remove_prefix(i);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.front() < '0' || s.front() > '9') return std::nullopt;
  std::uint64_t magnitude = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude);
  if (ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  constexpr std::uint64_t kMax = static_cast<std::uint64_t>(INT64_MAX);
  if (!negative && magnitude > kMax) return std::nullopt;
  if (negative && magnitude > kMax + 1) return std::nullopt;
  if (negative) return magnitude == kMax + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  return static_cast<std::int64_t>(magnitude);
}

std::optional<std::int32_t> ParseInt32(std::string_view s) {
  auto v = ParseInt64(s);
  if (!v || *v < INT32_MIN || *v > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(*v);
}

namespace {

// The length of the valid UTF-8 sequence at the start of `s` and its code
// point; 0 when the bytes begin none (a stray continuation byte, a truncated
// sequence, an overlong form, a surrogate, a value above U+10FFFF).
std::size_t DecodeUtf8(std::string_view s, std::uint32_t* cp) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  std::size_t n = 0;
  std::uint32_t v = 0, min = 0;
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  if (b0 >= 0xC2 && b0 <= 0xDF) n = 2, v = b0 & 0x1F, min = 0x80;
  else if (b0 >= 0xE0 && b0 <= 0xEF) n = 3, v = b0 & 0x0F, min = 0x800;
  else if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, v = b0 & 0x07, min = 0x10000;
  else return 0;
  if (s.size() < n) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[k]);
    if ((b & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// iconv descriptors are stateful, so each thread keeps its own pair.
iconv_t Descriptor(bool toUtf8) {
  thread_local IconvHandle fromGbk(iconv_open("UTF-8", "GBK"));
  thread_local IconvHandle toGbk(iconv_open("GBK", "UTF-8"));
  return static_cast<iconv_t>(toUtf8 ? fromGbk.get() : toGbk.get());
}

// Converts one run of non-ASCII bytes, appending to `out`.
bool ConvertRun(iconv_t cd, std::string_view in, bool toUtf8, bool lenient, std::string& out) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  // GBK takes at most 2 bytes where UTF-8 takes 2 to 4; UTF-8 takes at most
  // 3 bytes where GBK takes 2 (or 1 for a replaced byte).
  std::size_t start = out.size();
  out.resize(start + in.size() * 2 + 8);
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = out.data() + start;
  std::size_t dstLeft = out.size() - start;
  while (srcLeft > 0) {
    std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      std::size_t used = static_cast<std::size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
      continue;
    }
    if (!lenient) return false;
    // EILSEQ or EINVAL: replace one character (or one byte that begins none)
    // and go on.
    if (dstLeft < 1) {
      std::size_t used = static_cast<std::size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
    }
    *dst++ = '?';
    --dstLeft;
    std::uint32_t cp = 0;
    std::size_t skip = toUtf8 ? 1 : std::max<std::size_t>(1, DecodeUtf8(std::string_view(src, srcLeft), &cp));
    src += skip;
    srcLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  out.resize(static_cast<std::size_t>(dst - out.data()));
  return true;
}

std::optional<std::string> Convert(std::string_view in, bool toUtf8, bool lenient) {
  // ASCII is the same in both encodings, and neither encoding uses ASCII
  // bytes inside a multi-byte character except as a GBK trail byte. So text
  // is copied in ASCII runs and only the runs between them go through iconv
  // (for GBK input a run also takes the byte after each lead byte).
  std::string out;
  out.reserve(in.size() + in.size() / 2 + 16);
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  std::size_t i = 0;
  while (i < in.size()) {
    std::size_t j = i;
    while (j < in.size() && static_cast<unsigned char>(in[j]) < 0x80) ++j;
    out.append(in.data() + i, j - i);
    if (j == in.size()) break;
    std::size_t k = j;
    while (k < in.size() && static_cast<unsigned char>(in[k]) >= 0x80) {
      ++k;
      if (toUtf8 && k < in.size()) ++k;  // a GBK lead byte owns the next byte
    }
    if (cd == reinterpret_cast<iconv_t>(-1)) {
      cd = Descriptor(toUtf8);
      if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    }
    if (!ConvertRun(cd, in.substr(j, k - j), toUtf8, lenient, out)) return std::nullopt;
    i = k;
  }
  return out;
}

std::tm LocalTm(Clock::time_point t) {
  std::time_t tt = Clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  return tm;
}

}  // namespace

std::optional<std::string> GbkToUtf8(std::string_view gbk) { return Convert(gbk, true, false); }
std::optional<std::string> Utf8ToGbk(std::string_view utf8) { return Convert(utf8, false, false); }
std::string GbkToUtf8Lenient(std::string_view gbk) { return *Convert(gbk, true, true); }
std::string Utf8ToGbkLenient(std::string_view utf8) { return *Convert(utf8, false, true); }

namespace {

// Which characters of the Basic Multilingual Plane the GBK conversion has a
// code for, asked of the converter once per character at first use.
std::bitset<0x10000> BuildGbkTable() {
  std::bitset<0x10000> table;
  for (std::uint32_t cp = 0; cp < 0x80; ++cp) table.set(cp);
  IconvHandle cd(iconv_open("GBK", "UTF-8"));
  if (reinterpret_cast<iconv_t>(cd.get()) == reinterpret_cast<iconv_t>(-1)) return table;
  for (std::uint32_t cp = 0x80; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string in;
    AppendUtf8(in, cp);
    char buf[8];
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char* dst = buf;
    std::size_t dstLeft = sizeof buf;
    iconv(static_cast<iconv_t>(cd.get()), nullptr, nullptr, nullptr, nullptr);
    if (iconv(static_cast<iconv_t>(cd.get()), &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1) &&
        srcLeft == 0)
      table.set(cp);
  }
  return table;
}

}  // namespace

bool GbkHasChar(std::uint32_t cp) {
  static const std::bitset<0x10000> table = BuildGbkTable();
  return cp < 0x10000 && table.test(cp);
}

std::string CarriableText(std::string_view in, std::size_t maxChars) {
  std::string out;
  out.reserve(std::min(in.size(), maxChars * 4));
  std::size_t chars = 0;
  std::size_t i = 0;
  while (i < in.size() && chars < maxChars) {
    const auto c = static_cast<unsigned char>(in[i]);
    if (c < 0x80) {
      ++i;
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;  // not an XML character
      out += static_cast<char>(c);
      ++chars;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t n = DecodeUtf8(in.substr(i), &cp);
    if (n == 0) {
      out += '?';
      ++chars;
      ++i;
      continue;
    }
    i += n;
    if (cp == 0xFFFE || cp == 0xFFFF) continue;  // not XML characters either
    if (GbkHasChar(cp)) out.append(in.substr(i - n, n));
    else out += '?';
    ++chars;
  }
  return out;
}

std::string FormatTimestamp(Clock::time_point t) {
  std::tm tm = LocalTm(t);
  char buf[32];
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) {
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
  } else {
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  }
  return buf;
}

std::string FormatDbTime(Clock::time_point t) {
  std::tm tm = LocalTm(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

double ToOleDate(Clock::time_point t) {
  std::tm tm = LocalTm(t);
  // Days from 1899-12-30 to the local calendar date, by the civil-from-days
  // algorithm, then the local time of day as a fraction.
  int y = tm.tm_year + 1900;
  unsigned m = static_cast<unsigned>(tm.tm_mon + 1);
  unsigned d = static_cast<unsigned>(tm.tm_mday);
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long long daysSinceUnix = static_cast<long long>(era) * 146097 + doe - 719468;
  const long long daysSince1899 = daysSinceUnix + 25569;
  auto sinceMidnight = t.time_since_epoch() - std::chrono::floor<std::chrono::seconds>(t.time_since_epoch());
  double frac =
      (tm.tm_hour * 3600.0 + tm.tm_min * 60.0 + tm.tm_sec + std::chrono::duration<double>(sinceMidnight).count()) /
      86400.0;
  return static_cast<double>(daysSince1899) + frac;
}

}  // namespace corvan
