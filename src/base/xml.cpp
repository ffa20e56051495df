#include "base/xml.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <mutex>

#include "base/text.h"

namespace corvan {

void XmlDocDeleter::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

namespace {

void IgnoreXmlError(void*, const char*, ...) {}

void InitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    // Parse errors are results, not output.
    xmlSetGenericErrorFunc(nullptr, &IgnoreXmlError);
  });
}

// Finds the encoding label of the XML declaration, if any.
std::string DeclaredEncoding(std::string_view bytes) {
  if (bytes.substr(0, 5) != "<?xml") return {};
  auto end = bytes.find("?>");
  std::string_view decl = bytes.substr(0, end == std::string_view::npos ? bytes.size() : end);
  auto pos = decl.find("encoding");
  if (pos == std::string_view::npos) return {};
  pos = decl.find_first_of("\"'", pos);
  if (pos == std::string_view::npos) return {};
  char quote = decl[pos];
  auto close = decl.find(quote, pos + 1);
  if (close == std::string_view::npos) return {};
  return std::string(decl.substr(pos + 1, close - pos - 1));
}

}  // namespace

XmlDocPtr ParseXml(std::string_view bytes, std::size_t maxBytes) {
  if (bytes.size() > maxBytes || bytes.size() > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  InitOnce();
  std::string label = DeclaredEncoding(bytes);
  // GB2312 is decoded as its superset GBK, so GBK-only characters survive.
  const char* encoding = nullptr;
  if (!label.empty() && (AsciiEqualsNoCase(label, "GB2312") || AsciiEqualsNoCase(label, "GBK"))) encoding = "GBK";
  // No DTD loading, no entity substitution, no network; errors stay quiet.
  // XML_PARSE_HUGE is not set, so libxml2 keeps its own depth and size bounds.
  int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA;
  xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, encoding, options);
  if (doc == nullptr) return nullptr;
  // A document with an internal DTD subset may declare entities; such a body
  // is parsed without expanding them (libxml2 keeps references unexpanded
  // without XML_PARSE_NOENT), and we never read entity content.
  return XmlDocPtr(doc);
}

bool HasDoctype(_xmlDoc* doc) { return doc != nullptr && (doc->intSubset != nullptr || doc->extSubset != nullptr); }

XmlNode* RootElement(_xmlDoc* doc, std::string_view name) {
  if (doc == nullptr) return nullptr;
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr || NodeName(root) != name) return nullptr;
  return root;
}

XmlNode* FirstChildElement(XmlNode* parent) {
  if (parent == nullptr) return nullptr;
  for (xmlNodePtr n = parent->children; n != nullptr; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) return n;
  }
  return nullptr;
}

XmlNode* NextSiblingElement(XmlNode* node) {
  if (node == nullptr) return nullptr;
  for (xmlNodePtr n = node->next; n != nullptr; n = n->next) {
    if (n->type == XML_ELEMENT_NODE) return n;
  }
  return nullptr;
}

XmlNode* FirstChild(XmlNode* parent, std::string_view name) {
  for (XmlNode* n = FirstChildElement(parent); n != nullptr; n = NextSiblingElement(n)) {
    if (NodeName(n) == name) return n;
  }
  return nullptr;
}

std::string_view NodeName(XmlNode* node) {
  if (node == nullptr || node->name == nullptr) return {};
  return reinterpret_cast<const char*>(node->name);
}

std::string NodeText(XmlNode* node) {
  if (node == nullptr) return {};
  std::string out;
  // Concatenate text and CDATA children (what the DOM's text property gives
  // for a leaf element); entity references are not expanded.
  for (xmlNodePtr n = node->children; n != nullptr; n = n->next) {
    if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) && n->content != nullptr) {
      out += reinterpret_cast<const char*>(n->content);
    } else if (n->type == XML_ELEMENT_NODE) {
      out += NodeText(n);
    }
  }
  return out;
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\r': out += "&#13;"; break;
      default: out += c;
    }
  }
}

}  // namespace corvan
