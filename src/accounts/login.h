// The steps of a login. All of them run with `OnlineLock` held by the
// caller (the "Loginin" handler, or the online-lane job that resumes a login
// when its probe of another machine is over).
#pragma once

#include <optional>
#include <string>

#include "presence/presence.h"

namespace corvan {

// The first half of the check whether the account is live on another
// machine. An entry of the same name at the requester's address is removed
// (a new login from the same machine) and nothing is returned; so it is when
// no entry has the name. An entry at another address is left as it is and its
// address returned: that machine must be probed ("GetStatus") before the
// login goes on.
std::optional<std::string> AddressToProbe(OnlineRegistry& online, const std::string& name, const std::string& address)
    CORVAN_REQUIRES(online.OnlineLock);
// The second half, once the probe of `probedIp` is over: true when the
// account is live there. A valid answer refreshes the entry (true); silence
// or a wrong answer leaves it (false); a failed send or an answer that is not
// XML removes it (false). The entry is looked up again first, because the
// user may have logged out, been dropped or come back meanwhile: only an
// entry of that name still at the probed address is refreshed or removed.
bool ApplyProbe(OnlineRegistry& online, const std::string& name, const std::string& probedIp, ProbeResult result)
    CORVAN_REQUIRES(online.OnlineLock);
// Removes the first entry at `address` if it belongs to another user and
// returns that user's name; else empty.
std::string TakeOverAddress(OnlineRegistry& online, const std::string& name, const std::string& address)
    CORVAN_REQUIRES(online.OnlineLock);
// Adds the user's entry, or updates the existing one in place.
void RecordLogin(OnlineRegistry& online, const std::string& name, const std::string& mac, const std::string& address)
    CORVAN_REQUIRES(online.OnlineLock);
// Queues "Online" {username, ip} to every entry, the new user included.
void BroadcastOnline(const NoticeOwners& owners, const std::string& name, const std::string& address)
    CORVAN_REQUIRES(owners.online.OnlineLock);

}  // namespace corvan
