// Entries of the request table, made so that the lock a handler declares it
// needs (`CORVAN_REQUIRES`) is the lock its entry runs it under, and so that
// a handler is given only the owners it uses.
//
// A handler takes the owners of its feature and the request:
// `void Handle(const Owners& owners, Request& request)`; `OwnersOf` picks
// those owners out of the core. The table holds plain function pointers,
// which carry no annotation. Each entry therefore holds a small wrapper made
// for its lane: the wrapper for the online lane requires `OnlineLock`, the
// one for the account lane `AccountLock`, the one for unlocked requests
// nothing. The wrapper claims the lock it holds again through the owners it
// hands on (`owners.online.OnlineLock`, `owners.accountLock`; the claim is
// checked at run time in builds with the lock-order check), and calls the
// handler directly. Clang's analysis checks that call, so a handler put in
// an entry whose lane does not hold the lock it needs fails to compile.
#pragma once

#include <string_view>

#include "base/thread_annotations.h"
#include "server/dispatch.h"
#include "server/request.h"
#include "server/server_core.h"

namespace corvan {

namespace request_lanes {

template <auto OwnersOf, auto Handler>
void Unlocked(Request& request) {
  Handler(OwnersOf(request.core), request);
}

template <auto OwnersOf, auto Handler>
void UnderOnlineLock(Request& request) CORVAN_REQUIRES(request.core.Online().OnlineLock) {
  const auto owners = OwnersOf(request.core);
  owners.online.OnlineLock.AssertHeld();
  Handler(owners, request);
}

template <auto OwnersOf, auto Handler>
void UnderAccountLock(Request& request) CORVAN_REQUIRES(request.core.AccountLock) {
  const auto owners = OwnersOf(request.core);
  owners.accountLock.AssertHeld();
  Handler(owners, request);
}

}  // namespace request_lanes

// A request answered without either lock.
template <auto OwnersOf, auto Handler>
DispatchEntry UnlockedEntry(std::string_view type, RequestPlace place) {
  return {type, &request_lanes::Unlocked<OwnersOf, Handler>, RequestLock::kNone, place};
}

// A request answered under `OnlineLock`, on the online lane.
template <auto OwnersOf, auto Handler>
DispatchEntry OnlineLockEntry(std::string_view type, RequestPlace place) {
  return {type, &request_lanes::UnderOnlineLock<OwnersOf, Handler>, RequestLock::kOnline, place};
}

// A request answered under `AccountLock`, on the account lane.
template <auto OwnersOf, auto Handler>
DispatchEntry AccountLockEntry(std::string_view type, RequestPlace place) {
  return {type, &request_lanes::UnderAccountLock<OwnersOf, Handler>, RequestLock::kAccount, place};
}

}  // namespace corvan
