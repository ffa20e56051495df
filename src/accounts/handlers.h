// The TCP request handlers of accounts and the directory. Each runs on a
// worker with the lock the dispatch table names already held, reads its
// fields from `request.envelope` and answers on `request.connection`.
#pragma once

#include "server/request.h"
#include "server/server_core.h"

namespace corvan {

void HandleReg(Request& request) CORVAN_REQUIRES(request.core.AccountLock);
void HandleUpdatePassword(Request& request) CORVAN_REQUIRES(request.core.AccountLock);
void HandleUpdateInfo(Request& request) CORVAN_REQUIRES(request.core.AccountLock);
void HandleGetOrglist(Request& request);
void HandleGetUserlist(Request& request);
void HandleGetOnlineUserlist(Request& request) CORVAN_REQUIRES(request.core.Online().OnlineLock);
void HandleGetUserInfo(Request& request) CORVAN_REQUIRES(request.core.Online().OnlineLock);
void HandleLoginin(Request& request) CORVAN_REQUIRES(request.core.Online().OnlineLock);
void HandleLoginout(Request& request);

}  // namespace corvan
