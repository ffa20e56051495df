#include "base/text.h"

#include <iconv.h>

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
bool ConvertRun(iconv_t cd, std::string_view in, bool lenient, std::string& out) {
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
    // EILSEQ or EINVAL: replace one input byte and go on.
    if (dstLeft < 1) {
      std::size_t used = static_cast<std::size_t>(dst - out.data());
      out.resize(out.size() * 2);
      dst = out.data() + used;
      dstLeft = out.size() - used;
    }
    *dst++ = '?';
    --dstLeft;
    ++src;
    --srcLeft;
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
    if (!ConvertRun(cd, in.substr(j, k - j), lenient, out)) return std::nullopt;
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
