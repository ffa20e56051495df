#include "offline/transfer_format.h"

#include <array>

#include "base/text.h"

namespace corvan {

namespace {

constexpr std::string_view kInfoTag = "OfflineInfo";
constexpr std::string_view kFilesTag = "OfflineFiles";
constexpr std::string_view kSeparatorUtf8 = "\xE2\x98\x85";  // "★"
constexpr std::size_t kNameField = 31;

// Names from the wire: GBK to UTF-8 first, then the ASCII upper-casing, so
// that a GBK trail byte that happens to be a letter is never changed.
std::string UpperName(std::string_view gbk) { return AsciiUpper(GbkToUtf8Lenient(gbk)); }

// Number of bytes taken by the first `n` code points of UTF-8 text (all of
// it when it holds fewer).
std::size_t SkipCodePoints(std::string_view utf8, std::size_t n) {
  std::size_t i = 0;
  while (n > 0 && i < utf8.size()) {
    ++i;
    while (i < utf8.size() && (static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) ++i;
    --n;
  }
  return i;
}

std::optional<std::uint64_t> ParseHex64(std::string_view s) {
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    int d;
    if (c >= '0' && c <= '9') {
      d = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      d = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      d = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    if (v > (UINT64_MAX >> 4)) return std::nullopt;
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }
  return v;
}

std::string Hex(std::uint64_t v, int minDigits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  if (static_cast<int>(out.size()) < minDigits) out.insert(0, static_cast<std::size_t>(minDigits) - out.size(), '0');
  return out;
}

std::optional<std::string> EncodeRecord(std::string_view nameUtf8, std::string_view size, int kind) {
  std::string body = ":";
  body += Utf8ToGbkLenient(nameUtf8);
  body += ':';
  body += size;
  body += ':';
  body += std::to_string(kind);
  body += ':';
  body += kRecordTail;
  const std::size_t total = body.size() + 4;
  if (total > kMaxRecordBytes) return std::nullopt;
  return Hex(total, 4) + body;
}

}  // namespace

std::string_view FixedField(std::string_view bytes, std::size_t offset, std::size_t length) {
  if (offset >= bytes.size()) return {};
  std::string_view field = bytes.substr(offset, length);
  std::size_t nul = field.find('\0');
  return nul == std::string_view::npos ? field : field.substr(0, nul);
}

std::optional<OfflineMessageNames> ParseOfflineMessageNames(std::string_view frame) {
  if (frame.size() < kOfflineInfoHeadBytes) return std::nullopt;
  OfflineMessageNames names;
  names.toUser = UpperName(FixedField(frame, 21, kNameField));
  names.fromUser = UpperName(FixedField(frame, 52, kNameField));
  return names;
}

std::string EncodeOfflineMessage(std::string_view toUser, std::string_view fromUser, std::string_view message) {
  std::string frame(kOfflineInfoHeadBytes, '\0');
  frame.replace(0, kInfoTag.size(), kInfoTag);
  std::string to = Utf8ToGbkLenient(toUser).substr(0, kNameField);
  std::string from = Utf8ToGbkLenient(fromUser).substr(0, kNameField);
  frame.replace(21, to.size(), to);
  frame.replace(52, from.size(), from);
  frame += message;
  return frame;
}

std::string EncodeTransferHeader(const TransferHeader& h) {
  std::string out;
  for (std::string_view field :
       {std::string_view(kFilesTag), std::string_view(h.fromUser), std::string_view(h.fromNick),
        std::string_view(h.toUser), std::string_view(h.name), std::string_view(h.kind), std::string_view(h.size)}) {
    out += Utf8ToGbkLenient(field);
    out += kHeaderSeparatorGbk;
  }
  return out;
}

std::optional<TransferHeader> ParseTransferHeader(std::string_view gbkText) {
  // Split the decoded text, not the GBK bytes: the bytes A1 EF can also
  // straddle two neighbouring GBK characters.
  const std::string text = GbkToUtf8Lenient(gbkText);
  std::string_view rest = std::string_view(text).substr(SkipCodePoints(text, 13));
  std::array<std::string, 6> fields;
  for (auto& field : fields) {
    std::size_t sep = rest.find(kSeparatorUtf8);
    if (sep == std::string_view::npos) return std::nullopt;
    field = std::string(rest.substr(0, sep));
    rest.remove_prefix(sep + kSeparatorUtf8.size());
  }
  TransferHeader h;
  h.fromUser = AsciiUpper(fields[0]);
  h.fromNick = std::move(fields[1]);
  h.toUser = AsciiUpper(fields[2]);
  h.name = std::move(fields[3]);
  h.kind = std::move(fields[4]);
  h.size = std::move(fields[5]);
  return h;
}

std::string FormatRecordSize(std::uint64_t size) {
  const std::uint64_t high = size >> 32;
  const std::uint64_t low = size & 0xFFFFFFFFu;
  if (high == 0) return "0" + Hex(low, 1);
  return Hex(high, 1) + Hex(low, 8);
}

std::optional<std::string> EncodeEnterFolder(std::string_view name) { return EncodeRecord(name, "000000000", 2); }

std::optional<std::string> EncodeFileRecord(std::string_view name, std::uint64_t size) {
  return EncodeRecord(name, FormatRecordSize(size), 1);
}

std::string EncodeLeaveFolder() { return *EncodeRecord(".", "0", 3); }

std::optional<std::size_t> ParseRecordLength(std::string_view digits) {
  if (digits.size() != 4) return std::nullopt;
  auto v = ParseHex64(digits);
  if (!v || *v < 5 || *v > kMaxRecordBytes) return std::nullopt;
  return static_cast<std::size_t>(*v);
}

std::optional<TransferRecord> ParseRecordBody(std::string_view gbkBody) {
  std::size_t first = gbkBody.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  std::string_view rest = gbkBody.substr(first + 1);
  std::array<std::string_view, 3> fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::size_t sep = rest.find(':');
    if (sep == std::string_view::npos) return std::nullopt;
    fields[i] = rest.substr(0, sep);
    rest.remove_prefix(sep + 1);
  }
  auto kind = ParseInt32(fields[2]);
  if (!kind) return std::nullopt;
  TransferRecord r;
  r.kind = *kind;
  r.name = GbkToUtf8Lenient(fields[0]);
  if (r.kind == static_cast<int>(RecordKind::kFile)) {
    auto size = ParseHex64(fields[1]);
    if (!size) return std::nullopt;
    r.size = *size;
  }
  return r;
}

bool IsSafePathComponent(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

}  // namespace corvan
