// Administration of the directory: the account and department operations of
// the console (and of any other front end), and the pure computations they
// rest on (department codes, the department tree and its paths, prefix
// listing).
//
// Every operation returns a `Status`: ok, or the system's message for the
// front end to show under the caption kInfoCaption. A refusal with an empty
// message is a silent one (the front end shows nothing and keeps its dialog
// open). The checks refuse with kInvalidInput, a failed write gives
// kDatabaseFailed with kDatabaseErrorMessage, a silent refusal is kRefused.
//
// Writers change the directory through `Directory::Update` and run their
// database statements inside its callback, in one transaction: a failed write
// leaves both the tables and the published snapshot as they were, and the
// result carries kDatabaseErrorMessage. Request handlers reading the
// directory meanwhile see either the whole change or none of it.
//
// No function here starts notices to online clients; a front end that runs
// inside the server does that after a successful save.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/status.h"
#include "storage/database.h"
#include "storage/directory.h"

namespace corvan {

using AdminOrgPtr = DirectorySnapshot::OrgPtr;
using AdminUserPtr = DirectorySnapshot::UserPtr;

// --- Messages ----------------------------------------------------------------

inline constexpr std::string_view kInfoCaption = "信息";
inline constexpr std::string_view kRootOrgNo = "Root";
inline constexpr std::string_view kDatabaseErrorMessage = "数据库错误，操作未完成!";
inline constexpr std::string_view kNeedOrgFirstMessage = "请先新增一个组织";
// How the console and the admin tool show a locked account.
inline constexpr std::string_view kLockedAccountState = "已锁定：此人在目录中已停用，不能登录";
inline constexpr std::string_view kRequiredFieldsMessage = "*号项必须填写";
inline constexpr std::string_view kOrderNumberMessage = "优先级请正确输入！";
inline constexpr std::string_view kNameExistsMessage = "此登录名已经存在，请换用其它名称";
inline constexpr std::string_view kDeleteUserQuestion = "是否删除此用户？";
inline constexpr std::string_view kOrgNameEmptyMessage = "组织名称不能为空";
inline constexpr std::string_view kSameNameNewQuestion = "该组下已经有同名组，是否继续添加";
inline constexpr std::string_view kSameNameRenameQuestion = "该组下已经有同名组，是否继续修改";
inline constexpr std::string_view kDeleteOrgQuestion = "是否要删除该组？该组用户会同时删除";

// The caption of the message box that shows `result`'s message: kInfoCaption,
// or nothing when there is no message to show.
inline std::string_view MessageCaption(const Status& result) {
  return result.Message().empty() ? std::string_view() : kInfoCaption;
}

// "是否要将这" + N + "个用户加入到" + department + "下？"
std::string MoveUsersQuestion(std::size_t count, std::string_view orgCaption);

// --- Pure computations ---------------------------------------------------------

// Whether `code` begins with `prefix` (exact, case-sensitive).
bool HasCodePrefix(std::string_view code, std::string_view prefix);

// The first free child code of `parentCode`: parent + d1 d2 d3 with d1, d2 in
// 0..9 and d3 in 1..9, lowest first. Nothing when all 900 are taken.
std::optional<std::string> NextOrgNo(const std::vector<AdminOrgPtr>& orgs, std::string_view parentCode);
// The same among the codes `taken`.
std::optional<std::string> NextOrgNo(const std::unordered_set<std::string>& taken, std::string_view parentCode);

// The accounts whose department code begins with `code`, in directory order.
std::vector<AdminUserPtr> UsersUnder(const DirectorySnapshot& dir, std::string_view code);

// A display order typed by the administrator: a whole decimal number from 0
// to 10000 after trimming.
std::optional<std::int64_t> ParseDisplayOrder(std::string_view text);

// The department tree: the root (a record of its own, code "Root", named
// after CompanyName, order 0) and one node per department under the node of
// its parent code, whatever the order of the departments in the directory.
// Siblings are ordered by display order, ties in directory order. A
// department whose parent is unknown (or part of a cycle) hangs under the
// root, so that it can still be seen and deleted. A code listed twice keeps
// its first entry.
class OrgTree {
 public:
  struct Node {
    AdminOrgPtr record;
    int parent = -1;            // -1 for the root
    std::vector<int> children;  // in display order
  };

  OrgTree() = default;
  explicit OrgTree(const DirectorySnapshot& dir);

  const std::vector<Node>& Nodes() const { return nodes_; }
  const Node& At(int index) const { return nodes_[static_cast<std::size_t>(index)]; }
  static constexpr int kRoot = 0;

  // Every node, root first, then depth first with children in display order.
  std::vector<int> TreeOrder() const;
  // The node of a code, or -1.
  int Find(std::string_view code) const;
  // Captions below the root from the top-level department down, joined by
  // "\"; empty for the root and for -1.
  std::string Path(int node) const;
  // The department path of an account's code (empty when no node has it).
  std::string PathOf(std::string_view code) const { return Path(Find(code)); }
  // Whether a child of `parent` other than `except` is named `name`.
  bool ChildNamed(int parent, std::string_view name, int except = -1) const;

 private:
  std::vector<Node> nodes_;
  std::unordered_map<std::string, int> byCode_;
};

// One entry of the department choice of the account editor: the department
// path shown and the code it stands for. Every node but the root, in tree
// order.
struct OrgChoice {
  std::string path;
  std::string code;
};
std::vector<OrgChoice> OrgChoices(const OrgTree& tree);

// --- Accounts ------------------------------------------------------------------

// The texts of the account editor as typed: the account's texts, with
// `organizeNo` the code of the chosen department and `orgShown` the text the
// department choice shows.
struct UserForm : AccountTexts {
  std::string orgShown;
  std::string userId;  // the display order as typed
};

// The editor's checks in order (required fields, display order, name
// clash). `origLoginName` is set when an existing account is edited: the
// clash check then runs only when the name changes.
Status CheckUserForm(const std::vector<AdminUserPtr>& users, const UserForm& form,
                     const std::optional<std::string>& origLoginName = std::nullopt);

// The record the form describes (name upper-cased, texts trimmed, the
// description kept whole, the department name looked up by code).
TUserInfo UserFromForm(const UserForm& form, const std::vector<AdminOrgPtr>& orgs);

// Creates an account (checks, authreg and vcard rows, append to Users). On
// success `saved` (when given) receives the new entry.
Status SaveNewUser(Directory& dir, Database& db, const UserForm& form, TUserInfo* saved = nullptr);

// Creates the accounts of `forms` in one directory update and one
// transaction: all of them, or none (then `failedIndex`, when given, holds
// the index of the form refused). On success `saved` receives the new
// entries in order.
Status SaveNewUsers(Directory& dir, Database& db, const std::vector<UserForm>& forms,
                    std::size_t* failedIndex = nullptr, std::vector<TUserInfo>* saved = nullptr);

// Changes the account `origLoginName` (checks, both rows, the entry in
// place). An account no longer in the directory is still written to the
// tables, as the editor asked; memory is then unchanged.
Status SaveUser(Directory& dir, Database& db, const UserForm& form, const std::string& origLoginName,
                TUserInfo* saved = nullptr);

// Removes the account `username` from Users and both tables.
Status DeleteUser(Directory& dir, Database& db, const std::string& username);

// Puts the accounts named (first entry of each name) into department `code`
// ("Root" included) and writes both tables, all or nothing.
Status MoveUsers(Directory& dir, Database& db, const std::vector<std::string>& usernames, std::string_view code);

// --- Departments -----------------------------------------------------------------

// The dialog's checks 1 and 2 (name, display order); the display order
// when both pass.
Result<std::int64_t> CheckOrgForm(std::string_view name, std::string_view orderText);

// The same-name question to ask before creating a child of `parentCode`
// named `name`, or before renaming `code` to `name`; nothing when no sibling
// carries that name.
std::optional<std::string> NewOrgSameNameQuestion(const OrgTree& tree, std::string_view parentCode,
                                                  std::string_view name);
std::optional<std::string> RenameOrgSameNameQuestion(const OrgTree& tree, std::string_view code, std::string_view name);

// Creates a child of `parentCode` with the next free code (a silent refusal
// when there is none) and returns that code.
Result<std::string> NewOrg(Directory& dir, Database& db, std::string_view parentCode, std::string_view name,
                           std::string_view orderText);

// Renames a department and sets its display order; for "Root" the
// organisation's name (CompanyName and the "Root" row) changes.
Status RenameOrg(Directory& dir, Database& db, std::string_view code, std::string_view name,
                 std::string_view orderText);

// Deletes a department with every department and account below it, from the
// directory and the three tables. The root cannot be deleted (silent
// refusal).
Status DeleteOrg(Directory& dir, Database& db, std::string_view code);

// Refusals of a department move.
inline constexpr std::string_view kMoveRootMessage = "不能移动根组织";
inline constexpr std::string_view kMoveIntoItselfMessage = "不能把部门移到它自己或它的下级部门下";
inline constexpr std::string_view kNoFreeOrgNoMessage = "没有可用的部门编号";

// Puts the department `code`, with everything below it, under `newParent`
// ("Root" included): it takes the next free child code of `newParent`, and
// every code beginning with its old code (its departments and their
// accounts) begins with the new one instead, so that a department and what
// is below it stay the codes with its code as prefix. Name and display
// order stay. Refused for the root, for a parent that is the department or
// below it, and when the parent has no free code; all or nothing. Returns
// the new code (the old one when the department already hangs there).
Result<std::string> MoveOrg(Directory& dir, Database& db, std::string_view code, std::string_view newParent);

}  // namespace corvan
