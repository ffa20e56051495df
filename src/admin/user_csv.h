// Accounts as CSV, for bulk import and export by the administration tool.
//
// The file is UTF-8 (a leading byte-order mark is skipped), fields separated
// by commas, quoted with '"' where they hold commas, quotes or line breaks
// (RFC 4180). The first row names the columns; the columns are the account
// fields by their column names:
//   username,pwd,nickname,organizeNo,USERID,n_family,n_given,email,
//   org_orgname,org_orgunit,title,work_tel,mobilephone,work_adr,work_fax,
//   adr_country,adr_street,url,bday,tel,sex,self_desc
// An import needs username, pwd, nickname and organizeNo; a missing USERID
// column gives every row the editor's default order 100; the other columns
// may be left out. Export writes every column in the order above.
//
// Everything here is pure and thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/directory_admin.h"
#include "base/status.h"

namespace corvan {

// Size bounds of an import.
inline constexpr std::size_t kMaxCsvBytes = 16 * 1024 * 1024;
inline constexpr std::size_t kMaxCsvRows = 100000;
inline constexpr std::size_t kMaxCsvFields = 64;

// The account columns in export order.
const std::vector<std::string>& UserCsvColumns();

struct CsvRecord {
  std::size_t line = 0;  // line number where the record starts (1-based)
  std::vector<std::string> fields;
};

// Splits CSV text into records. Refused (kInvalidInput, with the line and
// the fault) when a quoted field is not closed, a quote stands inside an
// unquoted field, or a bound above is exceeded. Empty lines are skipped.
Result<std::vector<CsvRecord>> ParseCsv(std::string_view text);

// One field in CSV form (quoted when needed).
std::string CsvField(std::string_view value);

// The export: header row, then one row per account, CR LF line ends.
std::string UsersToCsv(const std::vector<AdminUserPtr>& users);

// One bad row of an import and why.
struct CsvRowError {
  std::size_t line = 0;  // 0 for the file as a whole (the header, the format)
  std::string message;
};

struct CsvImportPlan {
  std::vector<UserForm> forms;      // one per row, in file order
  std::vector<std::size_t> lines;   // the line of each form
  std::vector<CsvRowError> errors;  // empty when the import may go ahead
};

// Reads the import and checks every row as the account editor checks a new
// account, against the directory and the rows before it: the required
// fields, the display order, the name clash (with an existing account or an
// earlier row), the editor's field lengths, and the department code, which
// must be one of `dir`'s departments. Every bad row is listed.
CsvImportPlan PlanUserImport(std::string_view text, const DirectorySnapshot& dir);

// The first of the form's fields, in the file's column order, longer than
// the editor lets an administrator type (in characters); empty when none is.
std::string FirstTooLongField(const UserForm& form);

}  // namespace corvan
