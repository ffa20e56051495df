// The fields of an account, once: where each is stored, under which
// statement parameter, how long it may be and which CSV column carries it.
// The statements of AccountStore bind from this table, the length checks of
// registration, profile changes and the account editor read their limits
// from it, and the CSV and JSON forms of an account list their fields from
// it.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "storage/directory.h"

namespace corvan {

struct AccountField {
  std::string_view name;              // the column in authreg / vcard, the JSON key
  std::string AccountTexts::*member;  // where the entry and the editor's form keep it
  std::size_t maxChars;               // the most characters stored (and accepted from a client)
  std::size_t editorChars;            // the most the account editor takes; 0: chosen, not typed
  std::string_view authregParam;      // its parameter in the authreg statements; empty: not in authreg
  std::string_view vcardParam;        // its parameter in the vcard statements; empty: not in vcard
  std::string_view csvColumn;         // the column of the account CSV file
  std::size_t csvPosition;            // where that column stands in the file (from 0)
  bool InAuthreg() const { return !authregParam.empty(); }
  bool InVcard() const { return !vcardParam.empty(); }
};

// Every text field of TUserInfo except the department name (looked up from
// organize, never stored with the account). The display order (USERID) is a
// number and is bound on its own.
inline constexpr std::size_t kAccountFieldCount = 21;
// The display order's place in the account CSV file and the most
// characters the account editor takes for it.
inline constexpr std::size_t kDisplayOrderCsvPosition = 4;
inline constexpr std::size_t kDisplayOrderEditorChars = 30;
extern const std::array<AccountField, kAccountFieldCount> kAccountFields;

// The names of the account's columns in the order of the account CSV file,
// the display order ("USERID") among them.
const std::array<std::string_view, kAccountFieldCount + 1>& AccountColumnsInFileOrder();

// The field of that column name, or null.
const AccountField* FindAccountField(std::string_view name);

// The fields only vcard keeps (the profile a client changes with
// "UpdateInfo"), in table order.
inline constexpr std::size_t kCardFieldCount = 17;
inline constexpr std::size_t kFirstCardField = kAccountFieldCount - kCardFieldCount;

// Characters of UTF-8 text (bytes that do not continue a sequence).
std::size_t Utf8Chars(std::string_view utf8);

// Whether every field of `user` is within its maxChars.
bool AccountFieldsWithinBound(const TUserInfo& user);

}  // namespace corvan
