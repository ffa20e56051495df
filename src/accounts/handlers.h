// The TCP request handlers of accounts and the directory. Each runs on a
// worker with the lock the dispatch table names already held, reads its
// fields from `request.envelope` and answers on `request.connection`.
#pragma once

namespace corvan {

struct Request;

void HandleReg(Request& request);
void HandleUpdatePassword(Request& request);
void HandleUpdateInfo(Request& request);
void HandleGetOrglist(Request& request);
void HandleGetUserlist(Request& request);
void HandleGetOnlineUserlist(Request& request);
void HandleGetUserInfo(Request& request);
void HandleLoginin(Request& request);
void HandleLoginout(Request& request);

}  // namespace corvan
