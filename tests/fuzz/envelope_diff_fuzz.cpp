// The envelope reader against a reference built on the general XML parser
// alone (the reader as it was before the direct one): on every input both
// accept or both refuse, and when they accept, Type and every field agree.
// The one intended difference: a document with a document type declaration
// is refused by the reader and read by the reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/xml.h"
#include "server/envelope.h"

namespace {

using corvan::XmlNode;

struct Reference {
  corvan::XmlDocPtr doc;
  XmlNode* root = nullptr;
  XmlNode* st = nullptr;
  std::string type;
};

std::optional<Reference> ReadReference(std::string_view bytes) {
  Reference r;
  r.doc = corvan::ParseXml(bytes);
  if (!r.doc) return std::nullopt;
  r.root = corvan::RootElement(r.doc.get(), "RootNode");
  if (r.root == nullptr) return std::nullopt;
  XmlNode* type = corvan::FirstChild(r.root, "Type");
  if (type == nullptr) return std::nullopt;
  r.type = corvan::NodeText(type);
  r.st = corvan::FirstChild(r.root, "Struct");
  return r;
}

std::optional<std::string> Text(XmlNode* parent, std::string_view name) {
  if (parent == nullptr) return std::nullopt;
  XmlNode* node = corvan::FirstChild(parent, name);
  if (node == nullptr) return std::nullopt;
  return corvan::NodeText(node);
}

// Element names that appear in the input, and a few fixed ones.
std::set<std::string> CandidateNames(std::string_view data) {
  std::set<std::string> names = {"Type", "Struct", "username", "pwd", "Mac", ""};
  for (std::size_t i = 0; i < data.size() && names.size() < 64; ++i) {
    if (data[i] != '<') continue;
    std::size_t j = i + 1;
    while (j < data.size() && data[j] != '>' && data[j] != '/' && data[j] != ' ' && data[j] != '<' && j - i < 40) ++j;
    names.insert(std::string(data.substr(i + 1, j - i - 1)));
  }
  return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view data(reinterpret_cast<const char*>(bytes), size);
  const auto direct = corvan::ParsedEnvelope::Read(data);
  const auto reference = ReadReference(data);
  if (!reference) {
    if (direct) std::abort();  // read what the reference refuses
    return 0;
  }
  if (!direct) {
    if (!corvan::HasDoctype(reference->doc.get())) std::abort();  // refused a plain envelope
    return 0;
  }
  if (direct->Type() != reference->type) std::abort();
  if (direct->HasStruct() != (reference->st != nullptr)) std::abort();
  for (const std::string& name : CandidateNames(data)) {
    if (direct->Field(name) != Text(reference->st, name)) std::abort();
    if (direct->RootField(name) != Text(reference->root, name)) std::abort();
  }
  return 0;
}
