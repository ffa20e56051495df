#include "console/user_rows.h"

#include <algorithm>

namespace corvan {

std::vector<UserRow> MakeUserRows(const std::vector<AdminUserPtr>& users, const OrgTree& tree) {
  std::vector<UserRow> rows;
  rows.reserve(users.size());
  for (const auto& user : users) rows.push_back({user, tree.PathOf(user->organizeNo)});
  return rows;
}

int CompareAsciiNoCase(std::string_view a, std::string_view b) {
  auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    int d = lower(static_cast<unsigned char>(a[i])) - lower(static_cast<unsigned char>(b[i]));
    if (d != 0) return d;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

std::string RowText(const UserRow& row, int column) {
  if (!row.user) return {};
  switch (column) {
    case 0: return std::to_string(row.user->USERID);
    case 1: return row.user->username;
    case 2: return row.user->nickname;
    default: return row.path;
  }
}

int CompareRows(const UserRow& a, const UserRow& b, const SortState& state) {
  int r = 0;
  if (state.column == 0) {
    if (!a.user || !b.user) return 0;
    auto x = a.user->USERID, y = b.user->USERID;
    r = x < y ? -1 : (x > y ? 1 : 0);
  } else {
    r = CompareAsciiNoCase(RowText(a, state.column), RowText(b, state.column));
  }
  return state.ascending ? r : -r;
}

void SortRows(std::vector<UserRow>& rows, const SortState& state) {
  std::stable_sort(rows.begin(), rows.end(),
                   [&](const UserRow& a, const UserRow& b) { return CompareRows(a, b, state) < 0; });
}

}  // namespace corvan
