#include "accounts/replies.h"

#include "base/text.h"
#include "server/envelope.h"
#include "server/frame.h"

namespace corvan {

std::string AccountName(std::string_view received) { return AsciiUpper(received); }

const std::array<CardField, 17> kCardFields{{
    {"url", &TUserInfo::url, ":url_temp"},
    {"tel", &TUserInfo::tel, ":tel_temp"},
    {"email", &TUserInfo::email, ":email_temp"},
    {"title", &TUserInfo::title, ":title_temp"},
    {"bday", &TUserInfo::bday, ":bday_temp"},
    {"n_given", &TUserInfo::n_given, ":n_given_temp"},
    {"n_family", &TUserInfo::n_family, ":n_family_temp"},
    {"adr_street", &TUserInfo::adr_street, ":adr_street_temp"},
    {"adr_country", &TUserInfo::adr_country, ":adr_country_temp"},
    {"org_orgname", &TUserInfo::org_orgname, ":org_orgname_temp"},
    {"org_orgunit", &TUserInfo::org_orgunit, ":org_orgunit_temp"},
    {"work_tel", &TUserInfo::work_tel, ":work_tel_temp"},
    {"work_fax", &TUserInfo::work_fax, ":work_fax_temp"},
    {"mobilephone", &TUserInfo::mobilephone, ":mobilephone_temp"},
    {"work_adr", &TUserInfo::work_adr, ":work_adr_temp"},
    {"sex", &TUserInfo::sex, ":sex_temp"},
    {"self_desc", &TUserInfo::self_desc, ":desc_temp"},
}};

std::string BuildLoginSuccess(std::string_view nickname, std::string_view ip) {
  return EnvelopeWriter("Info")
      .Field("BackType", "Loginin")
      .Field("status", "success")
      .Field("reason", kLoginSucceeded)
      .Field("nickname", nickname)
      .Field("ip", ip)
      .Field("company", "")
      .Finish();
}

std::string BuildOrglistReply(const DirectorySnapshot& dir) {
  EnvelopeWriter w("Info");
  w.Reserve(256 + dir.Orgs().size() * 128);
  w.Field("BackType", "GetOrglist").Field("CompanyName", dir.CompanyName()).Open("Class");
  for (const auto& org : dir.Orgs()) {
    w.Open("Org")
        .Field("Orgname", org->organizename)
        .Field("OrgNo", org->organizeNo)
        .Field("ParNo", org->parNo)
        .Field("Id", static_cast<long long>(org->orgID))
        .Close();
  }
  return w.Close().Finish();
}

std::string BuildUserlistReply(const DirectorySnapshot& dir) {
  EnvelopeWriter w("Info");
  w.Reserve(256 + dir.Users().size() * 112);
  w.Field("BackType", "GetUserlist").Open("Class");
  for (const auto& user : dir.Users()) {
    w.Open("User")
        .Field("username", user->username)
        .Field("nickname", user->nickname)
        .Field("OrgNo", user->organizeNo)
        .Field("Id", static_cast<long long>(user->USERID))
        .Close();
  }
  return w.Close().Finish();
}

std::shared_ptr<const std::string> OrglistFrame(const DirectorySnapshot& dir) {
  return dir.DerivedBytes(DirectorySnapshot::Derived::kOrglistReply,
                          [&dir] { return FrameReply(BuildOrglistReply(dir)); });
}

std::shared_ptr<const std::string> UserlistFrame(const DirectorySnapshot& dir) {
  return dir.DerivedBytes(DirectorySnapshot::Derived::kUserlistReply,
                          [&dir] { return FrameReply(BuildUserlistReply(dir)); });
}

std::string BuildOnlineUserlistReply(const std::vector<TUserOnlineInfo>& online) {
  EnvelopeWriter w("Info");
  w.Reserve(256 + online.size() * 128);
  w.Field("BackType", "GetOnlineUserlist").Open("Class");
  for (const auto& e : online) {
    w.Open("User")
        .Field("username", e.UserName)
        .Field("IP", e.IP)
        .Field("Mac", e.Mac)
        .Field("nickname", e.NickName)
        .Field("status", e.Status)
        .Close();
  }
  return w.Close().Finish();
}

std::string BuildUserInfoReply(const TUserInfo& user) {
  EnvelopeWriter w("Info");
  w.Field("BackType", "GetUserInfo").Field("status", "success").Field("reason", "").Open("Class");
  w.Field("username", user.username)
      .Field("nickname", user.nickname)
      .Field("organizeNo", user.organizeNo)
      .Field("organizeName", user.organizename);
  for (const auto& f : kCardFields) w.Field(f.element, user.*f.member);
  return w.Close().Finish();
}

RegistrationFields ReadRegistration(const ParsedEnvelope& envelope) {
  auto get = [&](std::string_view name) { return envelope.Field(name).value_or(std::string()); };
  RegistrationFields r;
  r.username = get("username");
  r.pwd = get("pwd");
  r.nickname = get("nickname");
  r.organizeNo = get("organizeNo");
  for (const auto& f : kCardFields) r.card.*f.member = get(f.element);
  return r;
}

std::size_t CharCount(std::string_view utf8) {
  std::size_t n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

bool FieldsWithinBound(const TUserInfo& user) {
  auto ok = [](const std::string& text) { return CharCount(text) <= kMaxFieldChars; };
  if (!ok(user.username) || !ok(user.pwd) || !ok(user.nickname) || !ok(user.organizeNo)) return false;
  for (const auto& f : kCardFields) {
    if (!ok(user.*f.member)) return false;
  }
  return true;
}

TUserInfo NewAccountFrom(const RegistrationFields& fields) {
  TUserInfo u;
  u.username = std::string(Trim(AccountName(fields.username)));
  u.pwd = std::string(Trim(fields.pwd));
  u.nickname = std::string(Trim(fields.nickname));
  u.organizeNo = std::string(Trim(fields.organizeNo));
  for (const auto& f : kCardFields) u.*f.member = std::string(Trim(fields.card.*f.member));
  u.USERID = 100;
  return u;
}

}  // namespace corvan
