// The handlers the command table (command_table.cpp) points at, one per
// command, defined in admin_commands.cpp (the web console's own in
// web_commands.cpp).
#pragma once

#include "admin/command_table.h"

namespace corvan::handlers {

AdminReply Status(CommandCall& call);
AdminReply Online(CommandCall& call);
AdminReply Log(CommandCall& call);
AdminReply Start(CommandCall& call);
AdminReply Stop(CommandCall& call);
AdminReply UserList(CommandCall& call);
AdminReply UserShow(CommandCall& call);
AdminReply UserAdd(CommandCall& call);
AdminReply UserSet(CommandCall& call);
AdminReply UserDel(CommandCall& call);
AdminReply UserImport(CommandCall& call);
AdminReply UserExport(CommandCall& call);
AdminReply OrgTree(CommandCall& call);
AdminReply OrgAdd(CommandCall& call);
AdminReply OrgRename(CommandCall& call);
AdminReply OrgDel(CommandCall& call);
AdminReply OrgMove(CommandCall& call);
AdminReply Move(CommandCall& call);
AdminReply Announce(CommandCall& call);
AdminReply Backup(CommandCall& call);
AdminReply Restore(CommandCall& call);
AdminReply CleanOffline(CommandCall& call);
AdminReply ConfigGet(CommandCall& call);
AdminReply ConfigSet(CommandCall& call);
AdminReply Autostart(CommandCall& call);
AdminReply DirectorySync(CommandCall& call);
AdminReply Audit(CommandCall& call);
AdminReply Help(CommandCall& call);
AdminReply WebEnable(CommandCall& call);
AdminReply WebDisable(CommandCall& call);
AdminReply WebStatus(CommandCall& call);
AdminReply WebAdminAdd(CommandCall& call);
AdminReply WebAdminPasswd(CommandCall& call);
AdminReply WebAdminDel(CommandCall& call);
AdminReply WebAdminList(CommandCall& call);

}  // namespace corvan::handlers
