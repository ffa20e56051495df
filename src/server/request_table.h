// Entries of the request table, made so that the lock a handler declares it
// needs (`CORVAN_REQUIRES`) is the lock its entry runs it under.
//
// The table holds plain function pointers, which carry no annotation. Each
// entry therefore holds a small wrapper made for its lane: the wrapper for
// the online lane requires `OnlineLock`, the one for the account lane
// `AccountLock`, the one for unlocked requests nothing, and each calls its
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

template <void (*Handler)(Request&)>
void Unlocked(Request& request) {
  Handler(request);
}

template <void (*Handler)(Request&)>
void UnderOnlineLock(Request& request) CORVAN_REQUIRES(request.core.Online().OnlineLock) {
  Handler(request);
}

template <void (*Handler)(Request&)>
void UnderAccountLock(Request& request) CORVAN_REQUIRES(request.core.AccountLock) {
  Handler(request);
}

}  // namespace request_lanes

// A request answered without either lock.
template <void (*Handler)(Request&)>
DispatchEntry UnlockedEntry(std::string_view type, RequestPlace place) {
  return {type, &request_lanes::Unlocked<Handler>, RequestLock::kNone, place};
}

// A request answered under `OnlineLock`, on the online lane.
template <void (*Handler)(Request&)>
DispatchEntry OnlineLockEntry(std::string_view type, RequestPlace place) {
  return {type, &request_lanes::UnderOnlineLock<Handler>, RequestLock::kOnline, place};
}

// A request answered under `AccountLock`, on the account lane.
template <void (*Handler)(Request&)>
DispatchEntry AccountLockEntry(std::string_view type, RequestPlace place) {
  return {type, &request_lanes::UnderAccountLock<Handler>, RequestLock::kAccount, place};
}

}  // namespace corvan
