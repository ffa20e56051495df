// The message envelope: every message is a small XML document
//   <?xml version="1.0" encoding="GB2312"?>
//   <RootNode><Type>...</Type><Struct>...fields...</Struct></RootNode>
// written as GBK bytes with CR LF line ends and a final CR LF, and read by the
// encoding the document declares. Pure functions; no I/O.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/xml.h"

namespace corvan {

// A parsed message. `Type` is required; `Struct` may be missing.
class ParsedEnvelope {
 public:
  // Nothing when the bytes are not well-formed XML, or lack `RootNode` or
  // its child `Type`.
  static std::optional<ParsedEnvelope> Read(std::string_view bytes);

  // Text of `Type` (UTF-8).
  const std::string& Type() const { return type_; }
  bool HasStruct() const { return struct_ != nullptr; }
  // The first child of `Struct` with this name: its text, or nothing when
  // `Struct` or the element is missing.
  std::optional<std::string> Field(std::string_view name) const;
  // The text of the first child of `RootNode` with this name.
  std::optional<std::string> RootField(std::string_view name) const;
  XmlNode* StructNode() const { return struct_; }

 private:
  XmlDocPtr doc_;
  XmlNode* root_ = nullptr;
  XmlNode* struct_ = nullptr;
  std::string type_;
};

// Builds one envelope. Fields are written in the order they are added; an
// empty value gives an empty element. Text is UTF-8 until `Finish`, which
// encodes the document as GBK (characters GBK lacks become '?').
class EnvelopeWriter {
 public:
  // Starts a document of this `Type`; `withStruct` false gives a document
  // holding `Type` only (for example "ServerStop").
  explicit EnvelopeWriter(std::string_view type, bool withStruct = true);

  // <name>value</name> at the current level.
  EnvelopeWriter& Field(std::string_view name, std::string_view value);
  EnvelopeWriter& Field(std::string_view name, long long value);
  // Opens <name> and makes it the current level; `Close` ends it.
  EnvelopeWriter& Open(std::string_view name);
  EnvelopeWriter& Close();

  // Reserves room for a large document.
  void Reserve(std::size_t bytes) { text_.reserve(bytes); }

  // The finished document as GBK bytes.
  std::string Finish();
  // The finished document as UTF-8 text (for tests and logs).
  std::string FinishUtf8();

 private:
  std::string text_;
  std::string openNames_;  // '\0'-separated stack of open element names
  bool withStruct_;
};

// The short reply: Type "Info", Struct {BackType, status, reason}.
std::string BuildResult(std::string_view backType, std::string_view status, std::string_view reason);

}  // namespace corvan
