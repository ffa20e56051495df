// The check of a directory account's password, done as directory clients do
// it: with the service account, find the person's entry inside the base DN
// (by the stable id kept at the last sync, or by the login name), then bind
// as the DN found. A person moved in the directory is found where they are
// now; a disabled one is refused without a bind. The DN is never made from
// what the client sent, and the login name enters the search only as an
// escaped filter value.
#pragma once

#include <chrono>
#include <string>

#include "directory_sync/ldap_client.h"
#include "directory_sync/planner.h"
#include "directory_sync/settings.h"
#include "server/modules.h"

namespace corvan {

// The filter that finds the person by the stable id `id` (as stored: text,
// or hex for a binary id) or by the login name `login`, within the person
// filter.
std::string PersonLookupFilter(const DirectorySettings& s, const std::string& id, const std::string& login);

// Whether a refused bind says the account is disabled: Active Directory
// answers "data 533" in its diagnostic text.
bool RefusedAsDisabled(const LdapError& error);

// Finds the person of `link` (account name `login`) and binds as them with
// `password`, nothing running past `deadline`. kRight; kWrong for a wrong
// password or no such person; kDisabled when the entry is marked disabled or
// the server says so; kUnreachable when the server or the service account
// failed (`error` says how).
DirectoryVerdict VerifyDirectoryPassword(const DirectorySettings& s, const DirLink& link, const std::string& login,
                                         const std::string& password, std::chrono::steady_clock::time_point deadline,
                                         LdapError* error);

}  // namespace corvan
