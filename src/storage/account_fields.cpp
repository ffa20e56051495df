#include "storage/account_fields.h"

namespace corvan {

// The four authreg fields first, then the profile in the order of the
// "GetUserInfo" reply; the editor limits are those of the console's fields.
const std::array<AccountField, kAccountFieldCount> kAccountFields{{
    {"username", &TUserInfo::username, kMaxTextChars, 30, ":username_temp", ":username_temp", "username"},
    {"pwd", &TUserInfo::pwd, kMaxTextChars, 30, ":pwd_temp", "", "pwd"},
    {"nickname", &TUserInfo::nickname, kMaxTextChars, 30, ":nick_temp", ":nick_temp", "nickname"},
    {"organizeNo", &TUserInfo::organizeNo, kMaxTextChars, 0, ":orgNo", ":orgNo_temp", "organizeNo"},
    {"url", &TUserInfo::url, kMaxTextChars, 30, "", ":url_temp", "url"},
    {"tel", &TUserInfo::tel, kMaxTextChars, 30, "", ":tel_temp", "tel"},
    {"email", &TUserInfo::email, kMaxTextChars, 30, "", ":email_temp", "email"},
    {"title", &TUserInfo::title, kMaxTextChars, 30, "", ":title_temp", "title"},
    {"bday", &TUserInfo::bday, kMaxTextChars, 30, "", ":bday_temp", "bday"},
    {"n_given", &TUserInfo::n_given, kMaxTextChars, 30, "", ":n_given_temp", "n_given"},
    {"n_family", &TUserInfo::n_family, kMaxTextChars, 30, "", ":n_family_temp", "n_family"},
    {"adr_street", &TUserInfo::adr_street, kMaxTextChars, 50, "", ":adr_street_temp", "adr_street"},
    {"adr_country", &TUserInfo::adr_country, kMaxTextChars, 30, "", ":adr_country_temp", "adr_country"},
    {"org_orgname", &TUserInfo::org_orgname, kMaxTextChars, 50, "", ":org_orgname_temp", "org_orgname"},
    {"org_orgunit", &TUserInfo::org_orgunit, kMaxTextChars, 30, "", ":org_orgunit_temp", "org_orgunit"},
    {"work_tel", &TUserInfo::work_tel, kMaxTextChars, 30, "", ":work_tel_temp", "work_tel"},
    {"work_fax", &TUserInfo::work_fax, kMaxTextChars, 30, "", ":work_fax_temp", "work_fax"},
    {"mobilephone", &TUserInfo::mobilephone, kMaxTextChars, 30, "", ":mobilephone_temp", "mobilephone"},
    {"work_adr", &TUserInfo::work_adr, kMaxTextChars, 50, "", ":work_adr_temp", "work_adr"},
    {"sex", &TUserInfo::sex, kMaxTextChars, 30, "", ":sex_temp", "sex"},
    {"self_desc", &TUserInfo::self_desc, kMaxTextChars, 100, "", ":desc_temp", "self_desc"},
}};

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
