#include "admin/admin_codec.h"

#include "base/text.h"

namespace corvan {

namespace {

const JsonValue kNull;
const JsonValue::Array kEmptyArray;
const JsonValue::Object kEmptyObject;

void WriteString(std::string& out, std::string_view s) {
  static const char* hex = "0123456789abcdef";
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void Write(std::string& out, const JsonValue& v) {
  if (v.IsNull()) {
    out += "null";
  } else if (v.IsBool()) {
    out += v.AsBool() ? "true" : "false";
  } else if (v.IsInt()) {
    out += std::to_string(v.AsInt());
  } else if (v.IsString()) {
    WriteString(out, v.AsString());
  } else if (v.IsArray()) {
    out += '[';
    bool first = true;
    for (const auto& e : v.AsArray()) {
      if (!first) out += ',';
      first = false;
      Write(out, e);
    }
    out += ']';
  } else {
    out += '{';
    bool first = true;
    for (const auto& [k, e] : v.AsObject()) {
      if (!first) out += ',';
      first = false;
      WriteString(out, k);
      out += ':';
      Write(out, e);
    }
    out += '}';
  }
}

// A recursive-descent reader over the text; every failure sets ok_ false.
class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  std::optional<JsonValue> Document() {
    JsonValue v;
    if (!Value(v, 0)) return std::nullopt;
    Blanks();
    if (pos_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  void Blanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) ++pos_;
  }
  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool Value(JsonValue& out, int depth) {
    if (depth >= kMaxJsonDepth) return false;
    Blanks();
    if (pos_ >= s_.size()) return false;
    char c = s_[pos_];
    if (c == '{') return ObjectValue(out, depth);
    if (c == '[') return ArrayValue(out, depth);
    if (c == '"') {
      std::string text;
      if (!String(text)) return false;
      out = JsonValue(std::move(text));
      return true;
    }
    if (Literal("true")) return out = JsonValue(true), true;
    if (Literal("false")) return out = JsonValue(false), true;
    if (Literal("null")) return out = JsonValue(), true;
    return Number(out);
  }

  bool Number(JsonValue& out) {
    bool negative = false;
    if (pos_ < s_.size() && s_[pos_] == '-') {
      negative = true;
      ++pos_;
    }
    std::size_t start = pos_;
    std::uint64_t magnitude = 0;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      std::uint64_t digit = static_cast<std::uint64_t>(s_[pos_] - '0');
      if (magnitude > (UINT64_MAX - digit) / 10) return false;
      magnitude = magnitude * 10 + digit;
      ++pos_;
    }
    if (pos_ == start) return false;
    if (pos_ - start > 1 && s_[start] == '0') return false;  // no leading zeros
    if (pos_ < s_.size() && (s_[pos_] == '.' || s_[pos_] == 'e' || s_[pos_] == 'E')) return false;
    const std::uint64_t limit = negative ? static_cast<std::uint64_t>(INT64_MAX) + 1 : INT64_MAX;
    if (magnitude > limit) return false;
    out = JsonValue(negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude));
    return true;
  }

  bool Hex4(std::uint32_t& cp) {
    if (pos_ + 4 > s_.size()) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      cp <<= 4;
      if (c >= '0' && c <= '9') cp |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') cp |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') cp |= static_cast<std::uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  bool String(std::string& out) {
    ++pos_;  // opening quote
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (pos_ >= s_.size()) return false;
      char e = s_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!Literal("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          AppendUtf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  bool ArrayValue(JsonValue& out, int depth) {
    ++pos_;
    JsonValue::Array items;
    Blanks();
    if (pos_ < s_.size() && s_[pos_] == ']') {
      ++pos_;
      out = JsonValue(std::move(items));
      return true;
    }
    for (;;) {
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      items.push_back(std::move(item));
      Blanks();
      if (pos_ >= s_.size()) return false;
      char c = s_[pos_++];
      if (c == ']') break;
      if (c != ',') return false;
    }
    out = JsonValue(std::move(items));
    return true;
  }

  bool ObjectValue(JsonValue& out, int depth) {
    ++pos_;
    JsonValue::Object members;
    Blanks();
    if (pos_ < s_.size() && s_[pos_] == '}') {
      ++pos_;
      out = JsonValue(std::move(members));
      return true;
    }
    for (;;) {
      Blanks();
      if (pos_ >= s_.size() || s_[pos_] != '"') return false;
      std::string key;
      if (!String(key)) return false;
      Blanks();
      if (pos_ >= s_.size() || s_[pos_++] != ':') return false;
      JsonValue item;
      if (!Value(item, depth + 1)) return false;
      members[std::move(key)] = std::move(item);
      Blanks();
      if (pos_ >= s_.size()) return false;
      char c = s_[pos_++];
      if (c == '}') break;
      if (c != ',') return false;
    }
    out = JsonValue(std::move(members));
    return true;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

}  // namespace

bool JsonValue::AsBool(bool fallback) const { return IsBool() ? std::get<bool>(v_) : fallback; }
std::int64_t JsonValue::AsInt(std::int64_t fallback) const { return IsInt() ? std::get<std::int64_t>(v_) : fallback; }
std::string JsonValue::AsString(const std::string& fallback) const {
  return IsString() ? std::get<std::string>(v_) : fallback;
}
const JsonValue::Array& JsonValue::AsArray() const { return IsArray() ? std::get<Array>(v_) : kEmptyArray; }
const JsonValue::Object& JsonValue::AsObject() const { return IsObject() ? std::get<Object>(v_) : kEmptyObject; }

const JsonValue& JsonValue::operator[](std::string_view key) const {
  if (!IsObject()) return kNull;
  const auto& o = std::get<Object>(v_);
  auto it = o.find(std::string(key));
  return it == o.end() ? kNull : it->second;
}

JsonValue::Array& JsonValue::MutableArray() {
  if (!IsArray()) v_ = Array{};
  return std::get<Array>(v_);
}
JsonValue::Object& JsonValue::MutableObject() {
  if (!IsObject()) v_ = Object{};
  return std::get<Object>(v_);
}
JsonValue& JsonValue::Set(std::string key, JsonValue value) {
  MutableObject()[std::move(key)] = std::move(value);
  return *this;
}
JsonValue& JsonValue::Push(JsonValue value) {
  MutableArray().push_back(std::move(value));
  return *this;
}

std::string WriteJson(const JsonValue& v) {
  std::string out;
  Write(out, v);
  return out;
}

std::optional<JsonValue> ReadJson(std::string_view text) {
  if (text.size() > kMaxAdminLine) return std::nullopt;
  return Reader(text).Document();
}

std::string EncodeRequest(const AdminRequest& request) {
  JsonValue doc;
  if (!request.command.empty()) {
    doc.Set("command", request.command);
    doc.Set("args", request.args.IsNull() ? JsonValue(JsonValue::Object{}) : request.args);
  } else {
    JsonValue argv{JsonValue::Array{}};
    for (const auto& a : request.argv) argv.Push(a);
    doc.Set("argv", std::move(argv));
  }
  if (request.input) doc.Set("input", *request.input);
  return WriteJson(doc) + "\n";
}

std::optional<AdminRequest> DecodeRequest(std::string_view line) {
  auto doc = ReadJson(line);
  if (!doc || !doc->IsObject()) return std::nullopt;
  const JsonValue& argv = (*doc)["argv"];
  AdminRequest request;
  if (argv.IsNull() && (*doc)["command"].IsString()) {
    request.command = (*doc)["command"].AsString();
    request.args = (*doc)["args"];
    if (!request.args.IsNull() && !request.args.IsObject()) return std::nullopt;
  } else if (!argv.IsArray() || argv.AsArray().size() > 4096) {
    return std::nullopt;
  }
  for (const auto& a : argv.AsArray()) {
    if (!a.IsString()) return std::nullopt;
    request.argv.push_back(a.AsString());
  }
  const JsonValue& input = (*doc)["input"];
  if (input.IsString()) request.input = input.AsString();
  else if (!input.IsNull()) return std::nullopt;
  return request;
}

JsonValue ReplyToJson(const AdminReply& reply) {
  JsonValue doc;
  doc.Set("ok", reply.ok);
  doc.Set("message", reply.message);
  doc.Set("caption", reply.caption);
  JsonValue lines{JsonValue::Array{}};
  for (const auto& l : reply.lines) lines.Push(l);
  doc.Set("lines", std::move(lines));
  doc.Set("data", reply.data);
  doc.Set("exit", reply.exitCode);
  return doc;
}

std::string EncodeReply(const AdminReply& reply) { return WriteJson(ReplyToJson(reply)) + "\n"; }

std::optional<AdminReply> DecodeReply(std::string_view line) {
  auto doc = ReadJson(line);
  if (!doc || !doc->IsObject() || !(*doc)["ok"].IsBool()) return std::nullopt;
  AdminReply reply;
  reply.ok = (*doc)["ok"].AsBool();
  reply.message = (*doc)["message"].AsString();
  reply.caption = (*doc)["caption"].AsString();
  for (const auto& l : (*doc)["lines"].AsArray())
    if (l.IsString()) reply.lines.push_back(l.AsString());
  reply.data = (*doc)["data"];
  reply.exitCode = static_cast<int>((*doc)["exit"].AsInt(reply.ok ? 0 : 1));
  if (reply.exitCode < 0 || reply.exitCode > 125) reply.exitCode = reply.ok ? 0 : 1;
  return reply;
}

}  // namespace corvan
