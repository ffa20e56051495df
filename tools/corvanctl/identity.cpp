#include "identity.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace corvan {

namespace {

Status Failed(const std::string& step) {
  return Status(StatusCode::kRefused, step + "：" + std::generic_category().message(errno));
}

}  // namespace

std::optional<std::string> Identity::ActAsOwnerOf(const std::filesystem::path& home) {
  if (::geteuid() != 0) return std::nullopt;
  struct stat st {};
  if (::stat(home.c_str(), &st) != 0 || st.st_uid == 0) return std::nullopt;
  ownerUid_ = st.st_uid;
  ownerGid_ = st.st_gid;
  std::string who = std::to_string(ownerUid_);
  std::string ownerHome;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread runs at this point
  if (const passwd* pw = ::getpwuid(ownerUid_); pw != nullptr) {
    ownerGid_ = pw->pw_gid;
    who = pw->pw_name;
    ownerHome = pw->pw_dir;
    int count = 0;
    ::getgrouplist(pw->pw_name, ownerGid_, nullptr, &count);
    ownerGroups_.resize(static_cast<std::size_t>(count > 0 ? count : 0));
    if (count > 0 && ::getgrouplist(pw->pw_name, ownerGid_, ownerGroups_.data(), &count) < 0) ownerGroups_.clear();
  }
  callerGid_ = ::getegid();
  int callerCount = ::getgroups(0, nullptr);
  callerGroups_.resize(static_cast<std::size_t>(callerCount > 0 ? callerCount : 0));
  if (callerCount > 0 && ::getgroups(callerCount, callerGroups_.data()) < 0) callerGroups_.clear();
  switched_ = true;
  if (Status owner = ToOwner(); !owner.IsOk()) {
    switched_ = false;
    return "数据目录 " + home.string() + " 属于用户 " + who + "，无法切换到该用户：" + owner.Message();
  }
  // The autostart entry is looked for in the owner's configuration.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread runs at this point
  if (!ownerHome.empty()) ::setenv("HOME", ownerHome.c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe): as above
  return std::nullopt;
}

Status Identity::ToOwner() {
  if (::setgroups(ownerGroups_.size(), ownerGroups_.data()) != 0) return Failed("setgroups");
  if (::setegid(ownerGid_) != 0) return Failed("setegid");
  if (::seteuid(ownerUid_) != 0) return Failed("seteuid");
  return Status::Ok();
}

Status Identity::ToCaller() {
  // Root's rights come back with the effective user id; the groups after.
  if (::seteuid(0) != 0) return Failed("seteuid");
  if (::setegid(callerGid_) != 0) return Failed("setegid");
  if (::setgroups(callerGroups_.size(), callerGroups_.data()) != 0) return Failed("setgroups");
  return Status::Ok();
}

Identity::CallerScope::CallerScope(Identity& identity) : identity_(identity) {
  if (identity_.switched_) entered_ = identity_.ToCaller();
}

Identity::CallerScope::~CallerScope() {
  if (!identity_.switched_) return;
  // Without the owner's ids again, nothing more may be done in the folder:
  // files made as root there would be of no use to the service.
  if (Status owner = identity_.ToOwner(); !owner.IsOk()) {
    std::fprintf(stderr, "corvanctl: 无法切换回数据目录所有者的身份：%s\n", owner.Message().c_str());
    std::abort();
  }
}

}  // namespace corvan
