#include "accounts/replies.h"

#include "base/text.h"
#include "server/envelope.h"
#include "server/frame.h"
#include "storage/account_fields.h"

namespace corvan {

std::string AccountName(std::string_view received) { return AsciiUpper(received); }

// The profile fields of the account table, in its order.
const std::array<CardField, 17> kCardFields = [] {
  static_assert(kCardFieldCount == 17);
  std::array<CardField, 17> card{};
  for (std::size_t i = 0; i < card.size(); ++i) {
    const AccountField& f = kAccountFields[kFirstCardField + i];
    card[i] = {f.name, f.member, f.vcardParam};
  }
  return card;
}();

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

std::size_t CharCount(std::string_view utf8) { return Utf8Chars(utf8); }

bool FieldsWithinBound(const TUserInfo& user) { return AccountFieldsWithinBound(user); }

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
