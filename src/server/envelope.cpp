#include "server/envelope.h"

#include <vector>

#include "base/text.h"

namespace corvan {

namespace {
constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n";
}

std::optional<ParsedEnvelope> ParsedEnvelope::Read(std::string_view bytes) {
  ParsedEnvelope env;
  env.doc_ = ParseXml(bytes);
  if (!env.doc_) return std::nullopt;
  env.root_ = RootElement(env.doc_.get(), "RootNode");
  if (env.root_ == nullptr) return std::nullopt;
  XmlNode* type = FirstChild(env.root_, "Type");
  if (type == nullptr) return std::nullopt;
  env.type_ = NodeText(type);
  env.struct_ = FirstChild(env.root_, "Struct");
  return env;
}

std::optional<std::string> ParsedEnvelope::Field(std::string_view name) const {
  if (struct_ == nullptr) return std::nullopt;
  XmlNode* node = FirstChild(struct_, name);
  if (node == nullptr) return std::nullopt;
  return NodeText(node);
}

std::optional<std::string> ParsedEnvelope::RootField(std::string_view name) const {
  XmlNode* node = FirstChild(root_, name);
  if (node == nullptr) return std::nullopt;
  return NodeText(node);
}

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
