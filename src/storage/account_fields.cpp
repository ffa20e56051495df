#include "storage/account_fields.h"

namespace corvan {

// The four authreg fields first, then the profile in the order of the
// "GetUserInfo" reply; the editor limits are those of the console's fields.
const std::array<AccountField, kAccountFieldCount> kAccountFields{{
    {"username", &AccountTexts::username, kMaxTextChars, 30, ":username_temp", ":username_temp", "username", 0},
    {"pwd", &AccountTexts::pwd, kMaxTextChars, 30, ":pwd_temp", "", "pwd", 1},
    {"nickname", &AccountTexts::nickname, kMaxTextChars, 30, ":nick_temp", ":nick_temp", "nickname", 2},
    {"organizeNo", &AccountTexts::organizeNo, kMaxTextChars, 0, ":orgNo", ":orgNo_temp", "organizeNo", 3},
    {"url", &AccountTexts::url, kMaxTextChars, 30, "", ":url_temp", "url", 17},
    {"tel", &AccountTexts::tel, kMaxTextChars, 30, "", ":tel_temp", "tel", 19},
    {"email", &AccountTexts::email, kMaxTextChars, 30, "", ":email_temp", "email", 7},
    {"title", &AccountTexts::title, kMaxTextChars, 30, "", ":title_temp", "title", 10},
    {"bday", &AccountTexts::bday, kMaxTextChars, 30, "", ":bday_temp", "bday", 18},
    {"n_given", &AccountTexts::n_given, kMaxTextChars, 30, "", ":n_given_temp", "n_given", 6},
    {"n_family", &AccountTexts::n_family, kMaxTextChars, 30, "", ":n_family_temp", "n_family", 5},
    {"adr_street", &AccountTexts::adr_street, kMaxTextChars, 50, "", ":adr_street_temp", "adr_street", 16},
    {"adr_country", &AccountTexts::adr_country, kMaxTextChars, 30, "", ":adr_country_temp", "adr_country", 15},
    {"org_orgname", &AccountTexts::org_orgname, kMaxTextChars, 50, "", ":org_orgname_temp", "org_orgname", 8},
    {"org_orgunit", &AccountTexts::org_orgunit, kMaxTextChars, 30, "", ":org_orgunit_temp", "org_orgunit", 9},
    {"work_tel", &AccountTexts::work_tel, kMaxTextChars, 30, "", ":work_tel_temp", "work_tel", 11},
    {"work_fax", &AccountTexts::work_fax, kMaxTextChars, 30, "", ":work_fax_temp", "work_fax", 14},
    {"mobilephone", &AccountTexts::mobilephone, kMaxTextChars, 30, "", ":mobilephone_temp", "mobilephone", 12},
    {"work_adr", &AccountTexts::work_adr, kMaxTextChars, 50, "", ":work_adr_temp", "work_adr", 13},
    {"sex", &AccountTexts::sex, kMaxTextChars, 30, "", ":sex_temp", "sex", 20},
    {"self_desc", &AccountTexts::self_desc, kMaxTextChars, 100, "", ":desc_temp", "self_desc", 21},
}};

const std::array<std::string_view, kAccountFieldCount + 1>& AccountColumnsInFileOrder() {
  static const std::array<std::string_view, kAccountFieldCount + 1> names = [] {
    std::array<std::string_view, kAccountFieldCount + 1> v{};
    v[kDisplayOrderCsvPosition] = "USERID";
    for (const AccountField& f : kAccountFields) v[f.csvPosition] = f.csvColumn;
    return v;
  }();
  return names;
}

const AccountField* FindAccountField(std::string_view name) {
  for (const auto& f : kAccountFields)
    if (f.name == name) return &f;
  return nullptr;
}

std::size_t Utf8Chars(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

bool AccountFieldsWithinBound(const TUserInfo& user) {
  for (const auto& f : kAccountFields)
    if (Utf8Chars(user.*f.member) > f.maxChars) return false;
  return true;
}

}  // namespace corvan
