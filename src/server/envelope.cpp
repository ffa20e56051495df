#include "server/envelope.h"

#include <utility>
#include <vector>

#include "base/text.h"
#include "base/xml.h"

namespace corvan {

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n";

// Documents the direct reader takes at most; larger ones (never a request in
// practice) go to the general parser, whose own text limits then apply.
constexpr std::size_t kDirectMaxBytes = 1024 * 1024;
// Element nesting the direct reader follows (the general parser has its own
// bound).
constexpr std::size_t kDirectMaxDepth = 64;
// Element name length the direct reader takes (the general parser has its
// own bound).
constexpr std::size_t kDirectMaxName = 1000;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// Whether every character is well-formed UTF-8 and allowed in an XML
// document.
bool AllXmlChars(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* e = p + s.size();
  while (p < e) {
    const unsigned char c = *p;
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
      ++p;
      continue;
    }
    std::size_t n;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      n = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(e - p) < n) return false;
    for (std::size_t i = 1; i < n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || !IsXmlChar(cp)) return false;
    p += n;
  }
  return true;
}

// Appends character data with XML's line-end handling: CR LF and a lone CR
// both become LF.
void AppendNormalised(std::string& out, std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t cr = text.find('\r', i);
    if (cr == std::string_view::npos) {
      out.append(text.substr(i));
      return;
    }
    out.append(text.substr(i, cr - i));
    out += '\n';
    i = cr + 1;
    if (i < text.size() && text[i] == '\n') ++i;
  }
}

}  // namespace

// The direct reader: one pass over the envelope's usual shape. It answers
// kRead with the envelope filled in, kRefuse for a document type declaration
// or a document element other than `RootNode`, and kOther for anything it
// does not take on its own.
class EnvelopeReader {
 public:
  enum class Outcome { kRead, kRefuse, kOther };

  Outcome Read(std::string_view bytes, ParsedEnvelope& env) {
    if (bytes.size() > kDirectMaxBytes) return Outcome::kOther;
    bool gbk = false;
    std::size_t pos = 0;
    if (bytes.substr(0, 5) == "<?xml") {
      if (!ReadDeclaration(bytes, pos, gbk)) return Outcome::kOther;
    }
    std::string converted;
    std::string_view doc = bytes;
    if (gbk && HasHighBytes(bytes)) {
      // The body is decoded once; the declaration is ASCII and keeps its
      // place.
      std::optional<std::string> utf8 = GbkToUtf8(bytes);
      if (!utf8) return Outcome::kOther;
      converted = std::move(*utf8);
      doc = converted;
    }
    if (!AllXmlChars(doc)) return Outcome::kOther;
    doc_ = doc;
    pos_ = pos;
    env_ = &env;
    SkipSpace();
    if (At("<!DOCTYPE")) return Outcome::kRefuse;
    if (!ReadElements()) return wrongRoot_ ? Outcome::kRefuse : Outcome::kOther;
    SkipSpace();
    if (pos_ != doc_.size()) return Outcome::kOther;
    return Outcome::kRead;
  }

 private:
  static bool HasHighBytes(std::string_view s) {
    for (char c : s) {
      if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
  }

  // <?xml version="1.0" [encoding="..."] [standalone="yes|no"] ?>, in that
  // order; false for anything else (including other versions and encodings).
  static bool ReadDeclaration(std::string_view s, std::size_t& pos, bool& gbk) {
    std::size_t i = 5;
    auto space = [&] {
      const std::size_t from = i;
      while (i < s.size() && IsSpace(s[i])) ++i;
      return i > from;
    };
    // name S? = S? quoted value
    auto attribute = [&](std::string_view name, std::string_view& value) {
      if (s.substr(i, name.size()) != name) return false;
      i += name.size();
      space();
      if (i >= s.size() || s[i] != '=') return false;
      ++i;
      space();
      if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return false;
      const char quote = s[i++];
      const std::size_t close = s.find(quote, i);
      if (close == std::string_view::npos) return false;
      value = s.substr(i, close - i);
      i = close + 1;
      return true;
    };
    std::string_view value;
    if (!space() || !attribute("version", value) || value != "1.0") return false;
    bool spaced = space();
    gbk = false;
    if (spaced && s.substr(i, 8) == "encoding") {
      if (!attribute("encoding", value)) return false;
      if (AsciiEqualsNoCase(value, "GB2312") || AsciiEqualsNoCase(value, "GBK")) {
        gbk = true;
      } else if (!AsciiEqualsNoCase(value, "UTF-8")) {
        return false;
      }
      spaced = space();
    }
    if (spaced && s.substr(i, 10) == "standalone") {
      if (!attribute("standalone", value) || (value != "yes" && value != "no")) return false;
      space();
    }
    if (s.substr(i, 2) != "?>") return false;
    pos = i + 2;
    return true;
  }

  bool At(std::string_view what) const { return doc_.substr(pos_, what.size()) == what; }
  void SkipSpace() {
    while (pos_ < doc_.size() && IsSpace(doc_[pos_])) ++pos_;
  }

  // An element name of ASCII letters, digits and "_.-" (no prefix).
  bool ReadName(std::string_view& name) {
    const std::size_t from = pos_;
    if (pos_ >= doc_.size() || !(IsAsciiLetter(doc_[pos_]) || doc_[pos_] == '_')) return false;
    ++pos_;
    while (pos_ < doc_.size()) {
      const char c = doc_[pos_];
      if (IsAsciiLetter(c) || IsDigit(c) || c == '_' || c == '.' || c == '-') {
        ++pos_;
      } else if (c == ':' || static_cast<unsigned char>(c) >= 0x80) {
        return false;
      } else {
        break;
      }
    }
    name = doc_.substr(from, pos_ - from);
    return name.size() <= kDirectMaxName;
  }

  // &...; at pos_, appended as its character.
  bool ReadReference(std::string& out) {
    const std::size_t semi = doc_.find(';', pos_);
    if (semi == std::string_view::npos || semi - pos_ > 12) return false;
    const std::string_view ref = doc_.substr(pos_ + 1, semi - pos_ - 1);
    pos_ = semi + 1;
    static constexpr std::pair<std::string_view, char> kPredefined[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, c] : kPredefined) {
      if (ref == entity) {
        out += c;
        return true;
      }
    }
    if (ref.size() < 2 || ref[0] != '#') return false;
    std::uint32_t cp = 0;
    const bool hex = ref[1] == 'x';
    const std::string_view digits = ref.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    for (char c : digits) {
      std::uint32_t d;
      if (IsDigit(c)) {
        d = static_cast<std::uint32_t>(c - '0');
      } else if (hex && c >= 'a' && c <= 'f') {
        d = static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (hex && c >= 'A' && c <= 'F') {
        d = static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
      cp = cp * (hex ? 16 : 10) + d;
    }
    if (!IsXmlChar(cp)) return false;
    AppendUtf8(out, cp);
    return true;
  }

  // Character data up to the next '<', into text.
  bool ReadText(std::string& text) {
    while (pos_ < doc_.size() && doc_[pos_] != '<') {
      const std::size_t stop = doc_.find_first_of("<&]", pos_);
      const std::size_t end = stop == std::string_view::npos ? doc_.size() : stop;
      AppendNormalised(text, doc_.substr(pos_, end - pos_));
      pos_ = end;
      if (pos_ >= doc_.size() || doc_[pos_] == '<') break;
      if (doc_[pos_] == '&') {
        if (!ReadReference(text)) return false;
      } else {
        if (At("]]>")) return false;  // not allowed in character data
        text += ']';
        ++pos_;
      }
    }
    return true;
  }

  // The document element and everything in it, from pos_ at its '<'.
  bool ReadElements() {
    struct Open {
      std::string_view name;
      std::uint32_t element;  // index in elements_, or kNone when not kept
    };
    std::vector<Open> open;
    std::string& text = env_->text_;
    auto& elements = env_->elements_;
    constexpr std::uint32_t kNone = ParsedEnvelope::kNone;
    std::uint32_t firstStruct = kNone;
    bool rootDone = false;
    while (!rootDone) {
      if (!open.empty() && !ReadText(text)) return false;
      if (pos_ >= doc_.size() || doc_[pos_] != '<') return false;
      if (At("</")) {
        pos_ += 2;
        std::string_view name;
        if (!ReadName(name) || open.empty() || name != open.back().name) return false;
        SkipSpace();
        if (!At(">")) return false;
        ++pos_;
        if (open.back().element != kNone) elements[open.back().element].end = static_cast<std::uint32_t>(text.size());
        open.pop_back();
        rootDone = open.empty();
        continue;
      }
      if (At("<![CDATA[")) {
        if (open.empty()) return false;
        const std::size_t close = doc_.find("]]>", pos_ + 9);
        if (close == std::string_view::npos) return false;
        AppendNormalised(text, doc_.substr(pos_ + 9, close - pos_ - 9));
        pos_ = close + 3;
        continue;
      }
      ++pos_;
      std::string_view name;
      if (!ReadName(name)) return false;  // comments, instructions, other names
      SkipSpace();
      bool empty = false;
      if (At("/>")) {
        empty = true;
        pos_ += 2;
      } else if (At(">")) {
        ++pos_;
      } else {
        return false;  // attributes
      }
      std::uint32_t kept = kNone;
      if (open.size() == 1 || (open.size() == 2 && open.back().element == firstStruct && firstStruct != kNone)) {
        // A child of the document element, or of its first `Struct`.
        const std::uint32_t parent = open.size() == 1 ? kNone : firstStruct;
        kept = static_cast<std::uint32_t>(elements.size());
        const auto at = static_cast<std::uint32_t>(text.size());
        elements.push_back({std::string(name), parent, at, at});
        if (open.size() == 1 && firstStruct == kNone && name == "Struct") firstStruct = kept;
      } else if (open.empty() && name != "RootNode") {
        // Whether or not the rest is well-formed, this is no envelope.
        wrongRoot_ = true;
        return false;
      }
      if (empty) {
        rootDone = open.empty();
        continue;
      }
      if (open.size() >= kDirectMaxDepth) return false;
      open.push_back({name, kept});
    }
    env_->struct_ = firstStruct;
    return true;
  }

  std::string_view doc_;
  std::size_t pos_ = 0;
  ParsedEnvelope* env_ = nullptr;
  bool wrongRoot_ = false;
};

std::optional<ParsedEnvelope> ParsedEnvelope::Read(std::string_view bytes) {
  if (bytes.size() > kMaxBytes) return std::nullopt;
  ParsedEnvelope env;
  EnvelopeReader reader;
  switch (reader.Read(bytes, env)) {
    case EnvelopeReader::Outcome::kRefuse: return std::nullopt;
    case EnvelopeReader::Outcome::kOther: return ReadGeneral(bytes);
    case EnvelopeReader::Outcome::kRead: break;
  }
  if (!env.Complete()) return std::nullopt;
  return env;
}

std::optional<ParsedEnvelope> ParsedEnvelope::ReadGeneral(std::string_view bytes) {
  XmlDocPtr doc = ParseXml(bytes, kMaxBytes);
  if (!doc || HasDoctype(doc.get())) return std::nullopt;
  XmlNode* root = RootElement(doc.get(), "RootNode");
  if (root == nullptr) return std::nullopt;
  ParsedEnvelope env;
  auto keep = [&env](XmlNode* node, std::uint32_t parent) {
    const auto begin = static_cast<std::uint32_t>(env.text_.size());
    env.text_ += NodeText(node);
    env.elements_.push_back({std::string(NodeName(node)), parent, begin, static_cast<std::uint32_t>(env.text_.size())});
  };
  for (XmlNode* n = FirstChildElement(root); n != nullptr; n = NextSiblingElement(n)) keep(n, kNone);
  XmlNode* st = FirstChild(root, "Struct");
  if (st != nullptr) {
    // The first element named "Struct" kept above.
    std::uint32_t index = 0;
    while (env.elements_[index].name != "Struct") ++index;
    env.struct_ = index;
    for (XmlNode* n = FirstChildElement(st); n != nullptr; n = NextSiblingElement(n)) keep(n, env.struct_);
  }
  if (!env.Complete()) return std::nullopt;
  return env;
}

bool ParsedEnvelope::Complete() {
  std::optional<std::string> type = FindText(kNone, "Type");
  if (!type) return false;
  type_ = std::move(*type);
  return true;
}

std::optional<std::string> ParsedEnvelope::FindText(std::uint32_t parent, std::string_view name) const {
  for (const auto& e : elements_) {
    if (e.parent == parent && e.name == name) return text_.substr(e.begin, e.end - e.begin);
  }
  return std::nullopt;
}

std::optional<std::string> ParsedEnvelope::Field(std::string_view name) const {
  if (struct_ == kNone) return std::nullopt;
  return FindText(struct_, name);
}

std::optional<std::string> ParsedEnvelope::RootField(std::string_view name) const { return FindText(kNone, name); }

EnvelopeWriter::EnvelopeWriter(std::string_view type, bool withStruct) : withStruct_(withStruct) {
  text_.reserve(512);
  text_ += kDeclaration;
  text_ += "<RootNode><Type>";
  AppendEscaped(text_, type);
  text_ += "</Type>";
  if (withStruct_) text_ += "<Struct>";
}

EnvelopeWriter& EnvelopeWriter::Field(std::string_view name, std::string_view value) {
  text_ += '<';
  text_ += name;
  if (value.empty()) {
    text_ += "/>";
    return *this;
  }
  text_ += '>';
  AppendEscaped(text_, value);
  text_ += "</";
  text_ += name;
  text_ += '>';
  return *this;
}

EnvelopeWriter& EnvelopeWriter::Field(std::string_view name, long long value) {
  return Field(name, std::to_string(value));
}

EnvelopeWriter& EnvelopeWriter::Open(std::string_view name) {
  text_ += '<';
  text_ += name;
  text_ += '>';
  openNames_ += name;
  openNames_ += '\0';
  return *this;
}

EnvelopeWriter& EnvelopeWriter::Close() {
  if (openNames_.empty()) return *this;
  openNames_.pop_back();
  auto start = openNames_.rfind('\0');
  start = start == std::string::npos ? 0 : start + 1;
  std::string name = openNames_.substr(start);
  openNames_.resize(start);
  // An element opened and closed with nothing inside becomes <name/>.
  std::string openTag = "<" + name + ">";
  if (text_.size() >= openTag.size() && text_.compare(text_.size() - openTag.size(), openTag.size(), openTag) == 0) {
    text_.resize(text_.size() - 1);
    text_ += "/>";
    return *this;
  }
  text_ += "</";
  text_ += name;
  text_ += '>';
  return *this;
}

std::string EnvelopeWriter::FinishUtf8() {
  while (!openNames_.empty()) Close();
  if (withStruct_) {
    if (text_.size() >= 8 && text_.compare(text_.size() - 8, 8, "<Struct>") == 0) {
      text_.resize(text_.size() - 1);
      text_ += "/>";
    } else {
      text_ += "</Struct>";
    }
  }
  text_ += "</RootNode>\r\n";
  return std::move(text_);
}

std::string EnvelopeWriter::Finish() { return Utf8ToGbkLenient(FinishUtf8()); }

std::string BuildResult(std::string_view backType, std::string_view status, std::string_view reason) {
  return EnvelopeWriter("Info").Field("BackType", backType).Field("status", status).Field("reason", reason).Finish();
}

}  // namespace corvan
