// The steps of a login. All of them run with `OnlineLock` held by the
// caller (the "Loginin" handler).
#pragma once

#include <string>

#include "server/server_core.h"

namespace corvan {

// True when the account is live on another machine. An entry of the same
// name at the requester's address is removed (a new login from the same
// machine); at another address the machine is probed with "GetStatus" and:
// a valid answer refreshes the entry (true); silence or a wrong answer leaves
// it (false); a failed send or an answer that is not XML removes it (false).
bool CheckAlreadyOnline(ServerCore& core, const std::string& name, const std::string& address)
    CORVAN_REQUIRES(core.OnlineLock);
// Removes the first entry at `address` if it belongs to another user and
// returns that user's name; else empty.
std::string TakeOverAddress(ServerCore& core, const std::string& name, const std::string& address)
    CORVAN_REQUIRES(core.OnlineLock);
// Adds the user's entry, or updates the existing one in place.
void RecordLogin(ServerCore& core, const std::string& name, const std::string& mac, const std::string& address)
    CORVAN_REQUIRES(core.OnlineLock);
// "Online" {username, ip} to every entry, the new user included, from one
// fresh socket.
void BroadcastOnline(ServerCore& core, const std::string& name, const std::string& address)
    CORVAN_REQUIRES(core.OnlineLock);

}  // namespace corvan
