#include "admin/user_csv.h"

#include <memory>

#include "base/text.h"
#include "storage/account_fields.h"

namespace corvan {

namespace {

// A column of the file: the account field it carries (null for the display
// order, USERID), under its CSV name and with the editor's limit.
struct Column {
  std::string_view name;
  std::string AccountTexts::*field;  // null for USERID
  std::size_t maxLength;             // 0: chosen from a list, no typed length
};

// In the order of the file, as the table of the account's fields places them.
const std::vector<Column>& Columns() {
  static const std::vector<Column> columns = [] {
    std::vector<Column> v;
    for (std::string_view name : AccountColumnsInFileOrder()) {
      const AccountField* f = FindAccountField(name);
      v.push_back(f ? Column{f->csvColumn, f->member, f->editorChars}
                    : Column{name, nullptr, kDisplayOrderEditorChars});
    }
    return v;
  }();
  return columns;
}

const Column* FindColumn(std::string_view name) {
  for (const auto& c : Columns())
    if (name == c.name) return &c;
  return nullptr;
}

std::size_t CharCount(std::string_view s) { return Utf8Chars(s); }

bool BlankRecord(const CsvRecord& r) {
  for (const auto& f : r.fields)
    if (!Trim(f).empty()) return false;
  return true;
}

}  // namespace

const std::vector<std::string>& UserCsvColumns() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> v;
    for (const auto& c : Columns()) v.emplace_back(c.name);
    return v;
  }();
  return names;
}

std::string FirstTooLongField(const UserForm& form) {
  for (const Column& c : Columns())
    if (c.maxLength && CharCount(c.field ? form.*c.field : form.userId) > c.maxLength) return std::string(c.name);
  return {};
}
Result<std::vector<CsvRecord>> ParseCsv(std::string_view text) {
  auto fail = [](std::string why) -> Result<std::vector<CsvRecord>> {
    return Status(StatusCode::kInvalidInput, std::move(why));
  };
  if (text.size() > kMaxCsvBytes) return fail("文件过大");
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);

  std::vector<CsvRecord> records;
  std::size_t pos = 0;
  std::size_t line = 1;
  while (pos < text.size()) {
    CsvRecord record;
    record.line = line;
    std::string field;
    bool endOfRecord = false;
    while (!endOfRecord) {
      if (pos < text.size() && text[pos] == '"') {
        // Quoted field: "" stands for one quote; line breaks are kept.
        std::size_t startLine = line;
        ++pos;
        for (;;) {
          if (pos >= text.size()) return fail("第" + std::to_string(startLine) + "行：引号未闭合");
          char c = text[pos++];
          if (c == '"') {
            if (pos < text.size() && text[pos] == '"') {
              field += '"';
              ++pos;
              continue;
            }
            break;
          }
          if (c == '\n') ++line;
          field += c;
        }
        if (pos < text.size() && text[pos] != ',' && text[pos] != '\r' && text[pos] != '\n')
          return fail("第" + std::to_string(line) + "行：引号后有多余字符");
      } else {
        while (pos < text.size() && text[pos] != ',' && text[pos] != '\r' && text[pos] != '\n') {
          if (text[pos] == '"') return fail("第" + std::to_string(line) + "行：字段中有引号");
          field += text[pos++];
        }
      }
      record.fields.push_back(std::move(field));
      field.clear();
      if (record.fields.size() > kMaxCsvFields) return fail("第" + std::to_string(record.line) + "行：列数过多");
      if (pos < text.size() && text[pos] == ',') {
        ++pos;
        continue;
      }
      // End of line or of text.
      if (pos < text.size() && text[pos] == '\r') ++pos;
      if (pos < text.size() && text[pos] == '\n') ++pos;
      ++line;
      endOfRecord = true;
    }
    if (BlankRecord(record) && record.fields.size() == 1) continue;
    records.push_back(std::move(record));
    if (records.size() > kMaxCsvRows + 1) return fail("行数过多");
  }
  return records;
}

std::string CsvField(std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos &&
      (value.empty() || (value.front() != ' ' && value.back() != ' ')))
    return std::string(value);
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string UsersToCsv(const std::vector<AdminUserPtr>& users) {
  std::string out;
  auto row = [&out](const std::vector<std::string>& fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (i) out += ',';
      out += CsvField(fields[i]);
    }
    out += "\r\n";
  };
  row(UserCsvColumns());
  for (const auto& u : users) {
    std::vector<std::string> fields;
    for (const auto& c : Columns()) fields.push_back(c.field ? (*u).*c.field : std::to_string(u->USERID));
    row(fields);
  }
  return out;
}

CsvImportPlan PlanUserImport(std::string_view text, const DirectorySnapshot& dir) {
  CsvImportPlan plan;
  Result<std::vector<CsvRecord>> parsed = ParseCsv(text);
  if (!parsed.IsOk()) {
    plan.errors.push_back({0, parsed.GetStatus().Message()});
    return plan;
  }
  const std::vector<CsvRecord>* records = &parsed.Value();
  if (records->empty()) {
    plan.errors.push_back({0, "文件为空"});
    return plan;
  }

  // The header: every column known, none twice, the required ones present.
  const CsvRecord& header = records->front();
  std::vector<const Column*> columns;
  for (const auto& name : header.fields) {
    std::string_view n = Trim(name);
    const Column* c = FindColumn(n);
    if (!c) {
      plan.errors.push_back({header.line, "未知的列：" + std::string(n)});
      return plan;
    }
    for (const Column* seen : columns)
      if (seen == c) {
        plan.errors.push_back({header.line, "重复的列：" + std::string(n)});
        return plan;
      }
    columns.push_back(c);
  }
  for (const char* required : {"username", "pwd", "nickname", "organizeNo"}) {
    bool found = false;
    for (const Column* c : columns) found = found || std::string_view(c->name) == required;
    if (!found) {
      plan.errors.push_back({header.line, std::string("缺少列：") + required});
      return plan;
    }
  }
  bool hasOrder = false;
  for (const Column* c : columns) hasOrder = hasOrder || c->field == nullptr;

  OrgTree tree(dir);
  // The accounts a row's name must not clash with: the directory's and
  // those of the rows before it.
  std::vector<AdminUserPtr> known = dir.Users();
  for (std::size_t r = 1; r < records->size(); ++r) {
    const CsvRecord& rec = (*records)[r];
    if (rec.fields.size() > columns.size()) {
      plan.errors.push_back({rec.line, "列数过多"});
      continue;
    }
    UserForm form;
    if (!hasOrder) form.userId = "100";
    std::string tooLong;
    for (std::size_t i = 0; i < rec.fields.size(); ++i) {
      const Column* c = columns[i];
      (c->field ? form.*(c->field) : form.userId) = rec.fields[i];
      if (c->maxLength && CharCount(rec.fields[i]) > c->maxLength && tooLong.empty()) tooLong = c->name;
    }
    std::string code(Trim(form.organizeNo));
    int node = code.empty() ? -1 : tree.Find(code);
    // The editor offers only the departments of the tree, the root excluded.
    form.orgShown = node > OrgTree::kRoot ? tree.Path(node) : code;

    Status check = CheckUserForm(known, form);
    std::string upper = AsciiUpper(Trim(form.username));
    if (!upper.empty()) {
      auto entry = std::make_shared<TUserInfo>();
      entry->username = upper;
      known.push_back(std::move(entry));
    }
    if (!check.IsOk()) {
      plan.errors.push_back({rec.line, check.Message()});
    } else if (!tooLong.empty()) {
      plan.errors.push_back({rec.line, "字段过长：" + tooLong});
    } else if (node <= OrgTree::kRoot) {
      plan.errors.push_back({rec.line, "组织不存在：" + code});
    } else {
      plan.forms.push_back(std::move(form));
      plan.lines.push_back(rec.line);
    }
  }
  if (plan.forms.empty() && plan.errors.empty()) plan.errors.push_back({0, "文件中没有用户"});
  return plan;
}

}  // namespace corvan
