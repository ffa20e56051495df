// The message envelope: every message is a small XML document
//   <?xml version="1.0" encoding="GB2312"?>
//   <RootNode><Type>...</Type><Struct>...fields...</Struct></RootNode>
// written as GBK bytes with CR LF line ends and a final CR LF, and read by the
// encoding the document declares. Pure functions; no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

// A parsed message. `Type` is required; `Struct` may be missing.
//
// Reading refuses a document with a document type declaration, and one over
// `kMaxBytes`. Otherwise it accepts exactly the well-formed documents whose
// element is `RootNode` with a child `Type`: a direct reader takes the
// envelope's usual shape (declaration, elements, text, CDATA, the five
// predefined entities and character references) in one pass, and hands any
// document it does not take on its own (comments, attributes, other
// encodings, malformed bytes) to the general XML parser, which decides.
class ParsedEnvelope {
 public:
  static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;

  // Nothing when the bytes are not well-formed XML, carry a DTD, or lack
  // `RootNode` or its child `Type`.
  static std::optional<ParsedEnvelope> Read(std::string_view bytes);
  // The same through the general parser alone (for documents the direct
  // reader hands over, and as its reference in tests).
  static std::optional<ParsedEnvelope> ReadGeneral(std::string_view bytes);

  // Text of `Type` (UTF-8).
  const std::string& Type() const { return type_; }
  bool HasStruct() const { return struct_ != kNone; }
  // The first child of `Struct` with this name: its text, or nothing when
  // `Struct` or the element is missing. The text of an element is all the
  // character data inside it, nested elements included.
  std::optional<std::string> Field(std::string_view name) const;
  // The text of the first child of `RootNode` with this name.
  std::optional<std::string> RootField(std::string_view name) const;

 private:
  friend class EnvelopeReader;
  static constexpr std::uint32_t kNone = UINT32_MAX;
  // A child of `RootNode` (parent kNone) or of the first `Struct`, with the
  // range of its text in text_.
  struct Element {
    std::string name;
    std::uint32_t parent;
    std::uint32_t begin;
    std::uint32_t end;
  };
  std::optional<std::string> FindText(std::uint32_t parent, std::string_view name) const;
  // Sets type_ and struct_ from the elements; false without `Type`.
  bool Complete();

  std::vector<Element> elements_;
  std::string text_;
  std::uint32_t struct_ = kNone;
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
