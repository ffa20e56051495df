// The administration endpoint's request/reply format: one JSON document per
// line, UTF-8, with a tiny JSON value type, reader and writer of its own.
//
// A request is {"argv": ["user", "add", ...]}: the command line of the tool,
// after its own options, and optionally "input": what the tool read from the
// terminal or standard input for the command (a password). A reply is
//   {"ok": true, "message": "...", "caption": "信息", "lines": [...], "data": ...}
// where `message` is the system's message (may be empty), `lines` the output
// for people and `data` the same output for scripts.
//
// Everything here is pure and thread-safe. The reader bounds the document
// size and nesting depth, so no input can make it run out of memory or
// stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace corvan {

// Longest request or reply line accepted, newline excluded.
inline constexpr std::size_t kMaxAdminLine = 4 * 1024 * 1024;
// Deepest nesting of arrays and objects accepted.
inline constexpr int kMaxJsonDepth = 32;

class JsonValue {
 public:
  using Array = std::vector<JsonValue>;
  using Object = std::map<std::string, JsonValue>;

  JsonValue() = default;  // null
  JsonValue(bool b) : v_(b) {}
  JsonValue(int n) : v_(static_cast<std::int64_t>(n)) {}
  JsonValue(std::int64_t n) : v_(n) {}
  JsonValue(std::uint64_t n) : v_(static_cast<std::int64_t>(n)) {}
  JsonValue(const char* s) : v_(std::string(s)) {}
  JsonValue(std::string s) : v_(std::move(s)) {}
  JsonValue(std::string_view s) : v_(std::string(s)) {}
  JsonValue(Array a) : v_(std::move(a)) {}
  JsonValue(Object o) : v_(std::move(o)) {}

  bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
  bool IsBool() const { return std::holds_alternative<bool>(v_); }
  bool IsInt() const { return std::holds_alternative<std::int64_t>(v_); }
  bool IsString() const { return std::holds_alternative<std::string>(v_); }
  bool IsArray() const { return std::holds_alternative<Array>(v_); }
  bool IsObject() const { return std::holds_alternative<Object>(v_); }

  // Typed access; the fallback when the value is of another kind.
  bool AsBool(bool fallback = false) const;
  std::int64_t AsInt(std::int64_t fallback = 0) const;
  std::string AsString(const std::string& fallback = {}) const;
  const Array& AsArray() const;
  const Object& AsObject() const;
  // The member of an object; null when missing or not an object.
  const JsonValue& operator[](std::string_view key) const;

  Array& MutableArray();    // makes the value an empty array first if needed
  Object& MutableObject();  // likewise an object
  JsonValue& Set(std::string key, JsonValue value);
  JsonValue& Push(JsonValue value);

  bool operator==(const JsonValue& o) const = default;

 private:
  std::variant<std::monostate, bool, std::int64_t, std::string, Array, Object> v_;
};

// Writes `v` as compact JSON on one line (control characters, quotes and
// backslashes escaped; other UTF-8 bytes written as they are).
std::string WriteJson(const JsonValue& v);

// Reads one JSON document (surrounding blanks allowed). Nothing when the
// text is not JSON, is longer than kMaxAdminLine, nests deeper than
// kMaxJsonDepth, holds a number that is not a 64-bit integer, or holds
// invalid UTF-8 escapes.
std::optional<JsonValue> ReadJson(std::string_view text);

// --- Requests and replies --------------------------------------------------

// Either the tool's command line (`argv`, the format every version of the
// tool sends), or a command by name with its named arguments (`command`,
// `args`: the keys of the command table).
struct AdminRequest {
  std::vector<std::string> argv;
  std::optional<std::string> input = std::nullopt;
  std::string command = {};
  JsonValue args = {};
};

struct AdminReply {
  bool ok = false;
  std::string message;
  std::string caption;
  std::vector<std::string> lines;
  JsonValue data;
  // The process exit status the tool should end with (0 when ok).
  int exitCode = 1;
};

std::string EncodeRequest(const AdminRequest& request);  // one line, with '\n'
// Nothing when the line is not a request: not JSON, neither "argv" nor a
// string "command", an argument that is not a string, more than 4096
// arguments, "args" that is not an object, or an "input" that is not a
// string.
std::optional<AdminRequest> DecodeRequest(std::string_view line);

std::string EncodeReply(const AdminReply& reply);  // one line, with '\n'
std::optional<AdminReply> DecodeReply(std::string_view line);
// The reply as the JSON value it is sent as (for the tool's --json output).
JsonValue ReplyToJson(const AdminReply& reply);

}  // namespace corvan
