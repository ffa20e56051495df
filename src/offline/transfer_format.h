// The binary formats of offline delivery, as pure functions over bytes:
//
// - the offline-message frame (an 83-byte head, then the opaque message);
// - `TransferHeader`, the text that announces an offline file or folder,
//   fields each ended by "★" (GBK bytes 0xA1 0xEF);
// - `TransferRecord`, one entry of a folder stream: four upper-case hex
//   digits of the whole record's length, then
//   ":" name ":" size ":" kind ":14=48041e4b:16=47d21313:".
//
// On the wire every name is GBK; these functions take and give UTF-8 and
// convert at the edge, so that callers never see GBK. Nothing here touches a
// socket or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvan {

// --- Offline-message frame ----------------------------------------------------

inline constexpr std::size_t kOfflineInfoHeadBytes = 83;
// The largest payload one UDP datagram can carry; a larger message could
// never be delivered, so it is not stored.
inline constexpr std::size_t kMaxOfflineInfoFrame = 65507;

struct OfflineMessageNames {
  std::string toUser;    // UTF-8, ASCII letters upper-cased
  std::string fromUser;  // UTF-8, ASCII letters upper-cased
};

// Reads the recipient (offset 21) and the sender (offset 52) of a frame.
// Nothing when the frame is shorter than its 83-byte head.
std::optional<OfflineMessageNames> ParseOfflineMessageNames(std::string_view frame);

// A fixed text field: up to the first NUL, or the whole field without one.
std::string_view FixedField(std::string_view bytes, std::size_t offset, std::size_t length);

// Builds a frame (for tests and tools): the tag, two 31-byte name fields
// (GBK, NUL-padded, cut at 31 bytes) and the message.
std::string EncodeOfflineMessage(std::string_view toUser, std::string_view fromUser, std::string_view message);

// --- TransferHeader -------------------------------------------------------------

// The separator "★" in GBK.
inline constexpr std::string_view kHeaderSeparatorGbk = "\xA1\xEF";
// Longest header text an upload accepts.
inline constexpr std::size_t kMaxUploadHeaderBytes = 1001;

struct TransferHeader {
  std::string fromUser;
  std::string fromNick;
  std::string toUser;
  std::string name;
  std::string kind;  // "1" a file, "2" a folder
  std::string size;  // decimal byte count (kind "1"), "0" for a folder
};

// The GBK text of a header: the tag and the six fields, each followed by
// "★". Fields are UTF-8.
std::string EncodeTransferHeader(const TransferHeader& header);

// Parses a header text (GBK, already cut at its first NUL). The first 13
// characters (the tag and its separator) are skipped unchecked; then six
// fields are read, each up to the next "★"; anything after the sixth is
// ignored. `FromUser` and `ToUser` come back upper-cased (ASCII letters
// only). Nothing when a separator is missing.
std::optional<TransferHeader> ParseTransferHeader(std::string_view gbkText);

// --- TransferRecord -------------------------------------------------------------

inline constexpr std::string_view kRecordTail = "14=48041e4b:16=47d21313:";
// A receiver keeps a record's body in 2001 bytes: a record is at most this long.
inline constexpr std::size_t kMaxRecordBytes = 2005;

enum class RecordKind : int { kFile = 1, kEnterFolder = 2, kLeaveFolder = 3 };

struct TransferRecord {
  int kind = 0;            // 1, 2, 3; a reader passes other values on
  std::string name;        // UTF-8
  std::uint64_t size = 0;  // content bytes that follow a kind 1 record
};

// The size field of a kind 1 record: below 2^32 "0" and the upper-case hex
// digits without leading zeros; from 2^32 on the high 32 bits' digits and
// exactly eight digits of the low 32 bits.
std::string FormatRecordSize(std::uint64_t size);

// The whole record (length digits included) for entering a folder, a file of
// `size` bytes, or leaving a folder. Nothing when the record would be longer
// than kMaxRecordBytes.
std::optional<std::string> EncodeEnterFolder(std::string_view name);
std::optional<std::string> EncodeFileRecord(std::string_view name, std::uint64_t size);
std::string EncodeLeaveFolder();

// Reads the four length digits (either letter case). Nothing unless they are
// hex digits giving a length from 5 to kMaxRecordBytes.
std::optional<std::size_t> ParseRecordLength(std::string_view digits);

// Parses a record's body (the bytes after the four digits): skips up to and
// including the first ":", then reads the name, the size (one unsigned 64-bit
// hex number) and the kind (a decimal integer), each up to the next ":".
// Nothing when a field is missing or malformed. The size is checked only for
// kind 1, the one kind that uses it.
std::optional<TransferRecord> ParseRecordBody(std::string_view gbkBody);

// Whether a name from the wire may be used as one path component: not empty,
// not "." or "..", no "/", "\" or NUL.
bool IsSafePathComponent(std::string_view name);

}  // namespace corvan
