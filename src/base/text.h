// Text helpers shared by every part of the server.
//
// Inside the server all text is UTF-8 (std::string). GBK appears only at the
// boundaries: XML bodies on the wire, names inside binary frames. These
// functions are pure and thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvan {

// Upper-cases the ASCII letters a-z and leaves every other byte alone. On
// UTF-8 text this never touches a multi-byte character, since their bytes are
// all above 0x7F.
std::string AsciiUpper(std::string_view s);
// Whether the two are equal when ASCII letters are compared without case.
bool AsciiEqualsNoCase(std::string_view a, std::string_view b);

// Appends one Unicode code point (at most 0x10FFFF) as UTF-8.
void AppendUtf8(std::string& out, std::uint32_t cp);

// Removes leading and trailing blanks and control characters (bytes <= 0x20),
// the way the console and the protocol trim fields.
std::string_view Trim(std::string_view s);

// Parses a decimal integer the way the configuration and the count line need
// it: optional leading blanks, an optional sign, digits, nothing after them.
// Returns nothing on empty text, trailing characters or overflow.
std::optional<std::int64_t> ParseInt64(std::string_view s);
std::optional<std::int32_t> ParseInt32(std::string_view s);
// A settings file's switch: yes/true/on/1 or no/false/off/0, in any letter
// case; nothing for anything else.
std::optional<bool> ParseYesNo(std::string_view s);

// GBK (code page 936) <-> UTF-8. The strict forms return nothing when the
// input holds a sequence that cannot be converted; the lenient forms replace
// each character that cannot be converted (and each byte that begins no
// valid sequence) with one '?'.
std::optional<std::string> GbkToUtf8(std::string_view gbk);
std::optional<std::string> Utf8ToGbk(std::string_view utf8);
std::string GbkToUtf8Lenient(std::string_view gbk);
std::string Utf8ToGbkLenient(std::string_view utf8);

// Whether the GBK conversion above has a code for this character. The euro
// sign has one: code page 936 gives it the single byte 0x80, which the
// clients' code page, the XML reader and the encoding label's web decoders
// all read back as the euro sign.
bool GbkHasChar(std::uint32_t cp);

// Text that a message can carry whatever it holds: a character XML 1.0 does
// not allow (controls other than tab, line feed and carriage return; U+FFFE,
// U+FFFF) is dropped; a character GBK lacks, and each byte that begins no
// valid UTF-8 sequence, becomes one '?'; after `maxChars` characters the text
// is cut, between two characters. Text that needs none of this comes back
// unchanged, so applying it twice changes nothing more.
std::string CarriableText(std::string_view utf8, std::size_t maxChars);

using Clock = std::chrono::system_clock;

// The status-log timestamp: "yyyy-MM-dd HH:mm:ss" in local time; at exactly
// 00:00:00 only the date is written.
std::string FormatTimestamp(Clock::time_point t);
inline std::string Now() { return FormatTimestamp(Clock::now()); }

// Local time as text "YYYY-MM-DD HH:MM:SS" for the database (always with the
// time part, so that texts compare in time order).
std::string FormatDbTime(Clock::time_point t);

// Local date-time counted in days since 1899-12-30 with the time of day as
// the fraction (the classic "OLE date"), used for upload folder stamps.
double ToOleDate(Clock::time_point t);

}  // namespace corvan
