// The rows of the two account lists and their sort order, as plain values so
// that the order is tested without widgets.
//
// A row holds the account entry itself (shared with the directory snapshot it
// came from), so it stays valid after the account leaves the directory.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/directory_admin.h"

namespace corvan {

struct UserRow {
  AdminUserPtr user;
  std::string path;  // department path shown in column 3
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

// The rows of `users` with their department paths.
std::vector<UserRow> MakeUserRows(const std::vector<AdminUserPtr>& users, const OrgTree& tree);

// Text compare ignoring the case of ASCII letters; other bytes by value.
int CompareAsciiNoCase(std::string_view a, std::string_view b);

// The text a row shows in a column (0: display order).
std::string RowText(const UserRow& row, int column);

// Compares two rows under a sort state (<0, 0, >0): column 0 by display
// order, the others by their text, reversed when descending.
int CompareRows(const UserRow& a, const UserRow& b, const SortState& state);

// Sorts rows by `state`; equal rows keep their order.
void SortRows(std::vector<UserRow>& rows, const SortState& state);

}  // namespace corvan
