#include "storage/config.h"

#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <system_error>

#include "base/quiet_failure.h"
#include "base/text.h"
#include "base/unique_fd.h"
#include "base/xml.h"
#include "storage/private_files.h"

namespace corvan {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"GB2312\"?>";
constexpr std::string_view kAutostartFileName = "Corvan服务器.desktop";

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// Keys are element names of our own; anything but a plain name is refused so
// that a bad key can never produce a broken file.
bool IsPlainName(std::string_view key) {
  if (key.empty() || key.size() > 64) return false;
  for (std::size_t i = 0; i < key.size(); ++i) {
    char c = key[i];
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    bool digit = c >= '0' && c <= '9';
    if (!letter && !(i > 0 && (digit || c == '-' || c == '.'))) return false;
  }
  return true;
}

// Whitespace-only text between elements carries no meaning; dropping it lets
// the writer indent the whole document evenly. Text of leaf elements (a
// value of blanks) is kept.
void DropBlankLayout(xmlNodePtr node) {
  bool hasElement = false;
  for (xmlNodePtr c = node->children; c != nullptr; c = c->next) {
    if (c->type == XML_ELEMENT_NODE) hasElement = true;
  }
  xmlNodePtr c = node->children;
  while (c != nullptr) {
    xmlNodePtr next = c->next;
    if (c->type == XML_ELEMENT_NODE) {
      DropBlankLayout(c);
    } else if (hasElement && c->type == XML_TEXT_NODE && xmlIsBlankNode(c)) {
      xmlUnlinkNode(c);
      xmlFreeNode(c);
    }
    c = next;
  }
}

void SetText(xmlNodePtr element, std::string_view value) {
  xmlNodeSetContent(element, nullptr);  // frees the old children
  xmlNodePtr text = xmlNewTextLen(reinterpret_cast<const xmlChar*>(value.data()), static_cast<int>(value.size()));
  if (text != nullptr) xmlAddChild(element, text);
}

// Serialises as GBK (characters outside GBK become character references),
// under the GB2312 declaration, with CR LF line ends and a final CR LF.
std::optional<std::string> Serialize(xmlDocPtr doc) {
  xmlChar* mem = nullptr;
  int size = 0;
  xmlDocDumpFormatMemoryEnc(doc, &mem, &size, "GBK", 1);
  if (mem == nullptr) return std::nullopt;
  std::string dumped(reinterpret_cast<const char*>(mem), static_cast<std::size_t>(size));
  xmlFree(mem);
  if (dumped.compare(0, 5, "<?xml") == 0) {
    auto end = dumped.find("?>");
    if (end == std::string::npos) return std::nullopt;
    dumped.erase(0, end + 2);
  }
  std::string body = std::string(kDeclaration) + dumped;
  std::string out;
  out.reserve(body.size() + body.size() / 16 + 2);
  for (char c : body) {
    if (c == '\n') out += "\r\n";
    else if (c != '\r') out += c;  // libxml2 writes a CR in text as &#13;
  }
  // Exactly one line end after the document element.
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  out += "\r\n";
  return out;
}

// Whether `bytes` parses and holds `value` under `key`. Not every document
// survives the trip through GBK: a name outside GBK (in an element, an
// attribute or a processing instruction of a hand-edited file) cannot be
// written as a character reference, and a value with a control character
// has no XML form at all. Such a rewrite would leave a file that reads as
// all defaults, so it is refused and the file keeps its content.
bool ReadsBack(std::string_view bytes, const std::string& key, std::string_view value) {
  XmlDocPtr doc = ParseXml(bytes, kMaxConfigBytes);
  XmlNode* element = FirstChild(FirstChild(RootElement(doc.get(), "RootNode"), "Struct"), key);
  return element != nullptr && NodeText(element) == value;
}

struct DocDeleter {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

// What reading the settings file found.
struct FileBytes {
  bool exists = false;
  std::optional<std::string> bytes;  // nothing when it exists but cannot be read
  std::string error;                 // why it cannot be read
};

FileBytes ReadSmallFile(const fs::path& path) {
  FileBytes r;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) {
    r.exists = errno != ENOENT;
    r.error = std::generic_category().message(errno);
    return r;
  }
  r.exists = true;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) {
    r.error = std::generic_category().message(errno);
    return r;
  }
  if (!S_ISREG(st.st_mode)) {
    r.error = "not a regular file";
    return r;
  }
  std::string bytes;
  bytes.resize(kMaxConfigBytes + 1);
  std::size_t have = 0;
  while (have < bytes.size()) {
    ssize_t n = ::read(fd.Get(), bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.error = std::generic_category().message(errno);
      return r;
    }
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have > kMaxConfigBytes) {
    r.error = "larger than " + std::to_string(kMaxConfigBytes) + " bytes";
    return r;
  }
  bytes.resize(have);
  r.bytes = std::move(bytes);
  return r;
}

// Writes `bytes` to a private temporary file beside `path` (synced), renames
// it over `path` and syncs the folder: readers see the old file or the new
// one, never a torn one, and after a power cut the name holds one of the two
// whole, never a file the disk had not finished.
bool WriteFileAtomically(const fs::path& path, std::string_view bytes) {
  if (!WritePrivateFile(path, bytes).IsOk()) return false;
  // The rename is durable once the folder that names the file is synced.
  fs::path folder = path.parent_path();
  if (folder.empty()) folder = ".";
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.Valid() && ::fsync(dir.Get()) == 0;
}

std::mutex& ConfigWriteMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

ConfigReadResult ParseConfiguration(std::string_view fileBytes) {
  ConfigReadResult r;
  XmlDocPtr doc = ParseXml(fileBytes, kMaxConfigBytes);
  XmlNode* st = FirstChild(RootElement(doc.get(), "RootNode"), "Struct");
  if (st == nullptr) return r;
  r.structFound = true;
  ServerSettings& s = r.settings;

  if (XmlNode* n = FirstChild(st, "StartMin")) {
    r.hasStartMin = true;
    s.StartMin = Trim(NodeText(n)) == "True";
  }
  if (XmlNode* n = FirstChild(st, "AllowReg")) {
    r.hasAllowReg = true;
    s.AllowReg = Trim(NodeText(n)) != "False";
  }
  if (XmlNode* n = FirstChild(st, "ServerPort")) {
    r.hasServerPort = true;
    s.ServerPort = ParseInt32(Trim(NodeText(n))).value_or(kDefaultServerPort);
  }
  if (XmlNode* n = FirstChild(st, "OfflineInfoDay")) {
    r.hasOfflineInfoDay = true;
    s.OfflineInfoDay = ParseInt32(NodeText(n)).value_or(kDefaultOfflineInfoDay);
  }
  if (XmlNode* n = FirstChild(st, "Information")) {
    r.hasInformation = true;
    s.Information = NodeText(n);
  }
  return r;
}

ConfigurationLoad ReadConfiguration(const fs::path& dataDir, ServerSettings& settings,
                                    const std::function<void()>& createAutoStart) {
  fs::path file = dataDir / fs::path(std::string(kConfigFileName));
  FileBytes read = ReadSmallFile(file);
  if (!read.exists) {
    settings.ServerPort = kDefaultServerPort;
    settings.AllowReg = true;
    settings.StartMin = false;
    settings.OfflineInfoDay = 0;
    settings.Information.clear();
    if (createAutoStart) {
      try {
        createAutoStart();
      } catch (...) {
        // Creating the autostart entry is best effort and never reported.
        NoteQuietFailure("creating the autostart entry");
      }
    }
    WriteConfigValue(file, "StartMin", "True");
    return {.firstRun = true, .readable = Status::Ok()};
  }
  if (!read.bytes) {
    // A file that cannot be read (or is oversized) reads like one without
    // keys, except that registration stays closed: the administrator may
    // have closed it in the file that cannot be seen.
    settings = ServerSettings{};
    settings.AllowReg = false;
    return {.firstRun = false, .readable = Status(StatusCode::kIoFailed, read.error)};
  }
  settings = ParseConfiguration(*read.bytes).settings;
  return {};
}

std::string UnreadableConfigurationLine(const fs::path& file, std::string_view reason, const ServerSettings& used) {
  std::string line = "无法读取配置文件" + file.string() + "（" + std::string(reason) + "），改用：";
  line += "ServerPort=" + std::to_string(used.ServerPort);
  line += "，StartMin=" + std::string(used.StartMin ? "True" : "False");
  line += "，AllowReg=" + std::string(used.AllowReg ? "True" : "False");
  line += "，OfflineInfoDay=" + std::to_string(used.OfflineInfoDay);
  line += "，Information=" + used.Information;
  return line;
}

std::optional<std::string> UpdateConfigDocument(const std::optional<std::string>& existingBytes, std::string_view key,
                                                std::string_view value) {
  if (!IsPlainName(key)) return std::nullopt;
  std::unique_ptr<xmlDoc, DocDeleter> doc;
  if (existingBytes) {
    XmlDocPtr parsed = ParseXml(*existingBytes, kMaxConfigBytes);
    if (!parsed) return std::nullopt;
    doc.reset(parsed.release());
  } else {
    doc.reset(xmlNewDoc(X("1.0")));
    if (!doc) return std::nullopt;
  }
  std::string keyName(key);

  xmlNodePtr root = xmlDocGetRootElement(doc.get());
  if (root == nullptr) {
    root = xmlNewDocNode(doc.get(), nullptr, X("RootNode"), nullptr);
    if (root == nullptr) return std::nullopt;
    xmlDocSetRootElement(doc.get(), root);
  } else if (NodeName(root) != "RootNode") {
    // A document has one document element; another name cannot be fixed
    // without discarding the content, so the file stays as it is.
    return std::nullopt;
  }
  DropBlankLayout(root);

  xmlNodePtr st = FirstChild(root, "Struct");
  if (st == nullptr) {
    st = xmlNewChild(root, nullptr, X("Struct"), nullptr);
    if (st == nullptr) return std::nullopt;
  }
  xmlNodePtr element = FirstChild(st, keyName);
  if (element == nullptr) {
    element = xmlNewChild(st, nullptr, X(keyName.c_str()), nullptr);
    if (element == nullptr) return std::nullopt;
  }
  SetText(element, value);
  std::optional<std::string> out = Serialize(doc.get());
  if (!out || !ReadsBack(*out, keyName, value)) return std::nullopt;
  return out;
}

void WriteConfigValue(const fs::path& path, std::string_view key, std::string_view value) noexcept {
  try {
    std::lock_guard lock(ConfigWriteMutex());
    FileBytes existing = ReadSmallFile(path);
    if (existing.exists && !existing.bytes) return;  // unreadable or oversized: leave it alone
    std::optional<std::string> updated = UpdateConfigDocument(existing.bytes, key, value);
    if (!updated) return;
    WriteFileAtomically(path, *updated);
  } catch (...) {
    // Settings writes never report; the file keeps its old content.
    NoteQuietFailure("writing a setting");
  }
}

// --- Auto-start ---

fs::path AutostartEntryPath() {
  fs::path base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
      // NOLINTNEXTLINE(concurrency-mt-unsafe): no other code of the program calls getpw*
      if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) home = pw->pw_dir;
    }
    base = fs::path(home ? home : "/") / ".config";
  }
  return base / "autostart" / fs::path(std::string(kAutostartFileName));
}

namespace {

// A desktop-entry string value: backslash is the escape character.
std::string EscapeValue(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else out += c;
  }
  return out;
}

// The Exec key: an argument with reserved characters is quoted, and inside
// quotes ", `, $ and \ take a backslash; % is doubled for the field codes.
std::string ExecArgument(std::string_view path) {
  constexpr std::string_view kReserved = " \t\"'\\><~|&;$*?#()`";
  bool quote = path.find_first_of(kReserved) != std::string_view::npos;
  std::string arg;
  if (quote) arg += '"';
  for (char c : path) {
    if (c == '%') {
      arg += "%%";
    } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
      arg += '\\';
      arg += c;
    } else {
      arg += c;
    }
  }
  if (quote) arg += '"';
  return EscapeValue(arg);
}

}  // namespace

std::optional<std::string> AutostartEntryText(const fs::path& executable) {
  std::error_code ec;
  fs::path exe = fs::absolute(executable, ec);
  if (ec) exe = executable;
  std::string exeText = exe.string();
  std::string dirText = exe.parent_path().string();
  if (exeText.find_first_of("\r\n") != std::string::npos) return std::nullopt;
  std::string text;
  text += "[Desktop Entry]\n";
  text += "Type=Application\n";
  text += "Name=Corvan服务器\n";
  text += "Comment=Corvan\n";
  text += "Exec=" + ExecArgument(exeText) + "\n";
  text += "Path=" + EscapeValue(dirText) + "\n";
  return text;
}

void CreateAutoStartShortcut(const fs::path& executable) noexcept {
  try {
    fs::path entry = AutostartEntryPath();
    std::error_code ec;
    if (fs::exists(entry, ec)) return;
    std::optional<std::string> text = AutostartEntryText(executable);
    if (!text) return;
    fs::create_directories(entry.parent_path(), ec);
    if (ec) return;
    WriteFileAtomically(entry, *text);
  } catch (...) {
    // The shortcut is a convenience; a failure to write it is not reported.
    NoteQuietFailure("writing the autostart entry");
  }
}

void RemoveAutoStartShortcut() noexcept {
  try {
    std::error_code ec;
    fs::remove(AutostartEntryPath(), ec);
  } catch (...) {
    // Removing the shortcut is not reported either.
    NoteQuietFailure("removing the autostart entry");
  }
}

bool AutoStartEnabled() noexcept {
  try {
    std::error_code ec;
    return fs::exists(AutostartEntryPath(), ec);
  } catch (...) {
    // The path could not even be built: report the box as unticked.
    NoteQuietFailure("looking for the autostart entry");
    return false;
  }
}

}  // namespace corvan
