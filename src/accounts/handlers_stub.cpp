// Placeholders until the account handlers land: every request is answered by
// nothing.
#include "accounts/handlers.h"

namespace corvan {

void HandleReg(Request&) {}
void HandleUpdatePassword(Request&) {}
void HandleUpdateInfo(Request&) {}
void HandleGetOrglist(Request&) {}
void HandleGetUserlist(Request&) {}
void HandleGetOnlineUserlist(Request&) {}
void HandleGetUserInfo(Request&) {}
void HandleLoginin(Request&) {}
void HandleLoginout(Request&) {}

}  // namespace corvan
