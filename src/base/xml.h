// Small RAII layer over libxml2 for reading XML documents safely.
//
// Parsing never loads a DTD, never resolves external entities, never
// substitutes entities and never touches the network; documents larger than
// the caller's bound are refused before parsing. A document is decoded by the
// encoding it declares; the label "GB2312" is read as GBK (its superset), so
// a name holding a GBK-only character survives. Text handed out is UTF-8.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct _xmlDoc;   // NOLINT(bugprone-reserved-identifier): libxml2's own name
struct _xmlNode;  // NOLINT(bugprone-reserved-identifier): libxml2's own name

namespace corvan {

struct XmlDocDeleter {
  void operator()(_xmlDoc* doc) const;
};
using XmlDocPtr = std::unique_ptr<_xmlDoc, XmlDocDeleter>;
using XmlNode = _xmlNode;

// Parses `bytes` as an XML document; null when it is not well-formed or is
// larger than `maxBytes`.
XmlDocPtr ParseXml(std::string_view bytes, std::size_t maxBytes = 16 * 1024 * 1024);

// Whether the document carries a document type declaration (internal or
// external subset).
bool HasDoctype(_xmlDoc* doc);

// The document element if its name is `name`, else null. (The document has
// exactly one top-level element.)
XmlNode* RootElement(_xmlDoc* doc, std::string_view name);

// The first child element of `parent` named `name` (exact, case-sensitive),
// or null. `parent` may be null.
XmlNode* FirstChild(XmlNode* parent, std::string_view name);

// The text content of an element (UTF-8), empty for null.
std::string NodeText(XmlNode* node);

// The element's name.
std::string_view NodeName(XmlNode* node);

// Iteration over child elements.
XmlNode* FirstChildElement(XmlNode* parent);
XmlNode* NextSiblingElement(XmlNode* node);

// Escapes &, <, > (and " in attributes) for element text.
void AppendEscaped(std::string& out, std::string_view text);

}  // namespace corvan
