// Pure pieces of the account handlers: the name rule, the profile-card field
// table, the reply documents and the entry a registration makes. Functions
// over values, no I/O; the handlers add the locks, sockets and database.
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/online_users.h"
#include "storage/directory.h"

namespace corvan {

class ParsedEnvelope;

// An account name as the server compares it: the ASCII letters a-z
// upper-cased, every other byte unchanged, nothing trimmed.
std::string AccountName(std::string_view received);

// One of the seventeen profile-card texts a client may change: its element
// name in requests and replies, the TUserInfo field, and the named parameter
// of the vcard statements.
struct CardField {
  std::string_view element;
  std::string TUserInfo::*member;
  std::string_view param;
};
// In the order of the "GetUserInfo" reply after its four account fields.
extern const std::array<CardField, 17> kCardFields;

// Reasons the clients show; byte for byte as the clients expect them.
inline constexpr std::string_view kNoSuchUser = "该用户不存在!";
inline constexpr std::string_view kNoSuchUserName = "该用户名不存在!";
inline constexpr std::string_view kWrongPassword = "密码不正确!";
// Accounts whose password the organisation's directory checks.
inline constexpr std::string_view kDirectoryUnreachable = "目录服务器无法连接，请稍后再试!";
inline constexpr std::string_view kPasswordFromDirectory = "密码由目录服务器管理，请在目录中修改!";
// An account whose person is disabled in the organisation's directory.
inline constexpr std::string_view kAccountDisabled = "该用户已被停用!";
inline constexpr std::string_view kOnlineElsewhere = "此用户已经在其它机器登录!";
inline constexpr std::string_view kLoginSucceeded = "登录成功";
inline constexpr std::string_view kRegNotAllowed = "服务器不允许注册";
inline constexpr std::string_view kRegEmptyName = "用户名不能为空，请重新注册";
inline constexpr std::string_view kRegNameTaken = "该用户名已经存在，请选择其它用户名进行注册!";
inline constexpr std::string_view kRegNoSuchOrg = "该组织不存在，请刷新列表选择其它组织!";
inline constexpr std::string_view kRegSucceeded = "注册成功!";
inline constexpr std::string_view kInfoUpdated = "修改资料成功!";
inline constexpr std::string_view kOldPasswordWrong = "用户原密码错误!";
inline constexpr std::string_view kPasswordUpdated = "修改密码成功!";
// A text of "Reg" or "UpdateInfo" longer than kMaxFieldChars: nothing stored.
inline constexpr std::string_view kFieldTooLong = "填写的资料过长，每项不能超过255个字符!";
// A write the database refused: the change was not made.
inline constexpr std::string_view kDatabaseError = "服务器数据库错误，请稍后再试!";

// --- Reply documents (GBK bytes) ------------------------------------------

// "Loginin" success: BackType, status, reason, nickname, ip, company (empty).
std::string BuildLoginSuccess(std::string_view nickname, std::string_view ip);
// CompanyName, then one Org {Orgname, OrgNo, ParNo, Id} per department.
std::string BuildOrglistReply(const DirectorySnapshot& dir);
// One User {username, nickname, OrgNo, Id} per account.
std::string BuildUserlistReply(const DirectorySnapshot& dir);
// The two replies above, framed as the connection writes them, built once
// per snapshot and shared by every request that reads that snapshot.
std::shared_ptr<const std::string> OrglistFrame(const DirectorySnapshot& dir);
std::shared_ptr<const std::string> UserlistFrame(const DirectorySnapshot& dir);
// One User {username, IP, Mac, nickname, status} per online entry.
std::string BuildOnlineUserlistReply(const std::vector<TUserOnlineInfo>& online);
// status "success", empty reason, Class holding the profile without the
// password.
std::string BuildUserInfoReply(const TUserInfo& user);

// --- Registration -----------------------------------------------------------

// The texts of a "Reg" request, as received (missing elements are empty).
struct RegistrationFields {
  std::string username;
  std::string pwd;
  std::string nickname;
  std::string organizeNo;
  TUserInfo card;  // only the seventeen card fields are used
};
RegistrationFields ReadRegistration(const ParsedEnvelope& envelope);

// The most characters a stored account text may have (kMaxTextChars). The
// console's editor allows 30 to 100; a client sending more is refused, so no
// account can make every user list large.
inline constexpr std::size_t kMaxFieldChars = kMaxTextChars;

// Characters of UTF-8 text (bytes that do not continue a sequence).
std::size_t CharCount(std::string_view utf8);
// Whether every text of an account (name, password, nickname, department
// code and the seventeen card fields) is within kMaxFieldChars.
bool FieldsWithinBound(const TUserInfo& user);

// The account a registration stores: every text trimmed, the name also
// upper-cased, display order 100. `organizename` is left to MakeUser.
TUserInfo NewAccountFrom(const RegistrationFields& fields);

}  // namespace corvan
