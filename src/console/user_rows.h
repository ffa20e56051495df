// The rows of the two account lists and their sort order, as plain values so
// that the order is tested without widgets.
//
// A row holds the account entry itself (shared with the directory snapshot it
// came from), so it stays valid after the account leaves the directory.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/directory_admin.h"

namespace corvan {

inline constexpr int kUserColumns = 4;

struct UserRow {
  AdminUserPtr user;
  std::string path;  // department path shown in column 3
  // The sort keys of columns 1 to 3 (see TextSortKey); index 0 is unused.
  std::array<std::string, kUserColumns> keys;
};

// One list's sort state: column 0..3 and one ascending flag for all columns.
struct SortState {
  int column = 0;
  bool ascending = false;

  // After every fill: column 0, ascending.
  void Reset() {
    column = 0;
    ascending = true;
  }
  // A click on a column header flips the flag, whatever column it was.
  void Click(int clicked) {
    ascending = !ascending;
    column = clicked;
  }
};

// The rows of `users` with their department paths and sort keys.
std::vector<UserRow> MakeUserRows(const std::vector<AdminUserPtr>& users, const OrgTree& tree);

// The key text columns sort by: the text in GBK, the system's code page for
// names, so Chinese names sort in the order of their GBK codes (pinyin order
// for the common characters), with the ASCII letters folded to lower case so
// that they compare without regard to case. The two bytes of a GBK character
// are kept as they are. Characters GBK lacks become '?'. Keys compare as
// unsigned bytes.
std::string TextSortKey(std::string_view utf8);

// The text a row shows in a column (0: display order).
std::string RowText(const UserRow& row, int column);

// Compares two rows by a column, ascending (<0, 0, >0): column 0 by display
// order, the others by their sort keys.
int CompareRows(const UserRow& a, const UserRow& b, int column);

}  // namespace corvan
