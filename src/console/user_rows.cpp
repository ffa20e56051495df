#include "console/user_rows.h"

#include "base/text.h"

namespace corvan {

std::vector<UserRow> MakeUserRows(const std::vector<AdminUserPtr>& users, const OrgTree& tree) {
  std::vector<UserRow> rows;
  rows.reserve(users.size());
  for (const auto& user : users) {
    UserRow row{user, tree.PathOf(user->organizeNo), {}};
    for (int c = 1; c < kUserColumns; ++c) row.keys[static_cast<std::size_t>(c)] = TextSortKey(RowText(row, c));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string TextSortKey(std::string_view utf8) {
  std::string key = Utf8ToGbkLenient(utf8);
  for (std::size_t i = 0; i < key.size(); ++i) {
    auto c = static_cast<unsigned char>(key[i]);
    if (c >= 0x81) {
      ++i;  // a lead byte: its trail byte may look like an ASCII letter
    } else if (c >= 'A' && c <= 'Z') {
      key[i] = static_cast<char>(c + ('a' - 'A'));
    }
  }
  return key;
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

int CompareRows(const UserRow& a, const UserRow& b, int column) {
  if (column <= 0 || column >= kUserColumns) {
    if (!a.user || !b.user) return 0;
    auto x = a.user->USERID, y = b.user->USERID;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  // std::string compares its bytes as unsigned values.
  return a.keys[static_cast<std::size_t>(column)].compare(b.keys[static_cast<std::size_t>(column)]);
}

}  // namespace corvan
