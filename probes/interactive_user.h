// Whether the installer runs under another account than the user at the
// desktop of its session. The add-in is registered in the current user's
// hive, so an installer started as another administrator would register it
// where Office never looks.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace quilmo {

using SidBytes = std::vector<BYTE>;

// The user of a token: its SID, and its account name ("domain\name", or the
// name alone) in UTF-8 when the lookup succeeds. Fails only when the SID
// cannot be read or copied.
bool GetTokenUserAccount(HANDLE token, SidBytes* sid, std::string* account);

// The user of the first explorer.exe in the session, else the session's user
// as Remote Desktop Services reports it.
bool GetSessionInteractiveUser(DWORD sessionId, SidBytes* sid, std::string* account);

// The two halves of GetSessionInteractiveUser.
bool GetExplorerUserOfSession(DWORD sessionId, SidBytes* sid, std::string* account);
bool GetWtsUserOfSession(DWORD sessionId, SidBytes* sid, std::string* account);

// True only when both users are known and their SIDs differ. The account
// names (UTF-8) are filled as far as they could be resolved.
bool DetectInteractiveUserMismatch(std::string* currentAccount, std::string* interactiveAccount);

// Where the check learns its two users; replaced in tests.
struct UserLookups {
    std::function<bool(SidBytes*, std::string*)> processUser;
    std::function<DWORD()> session;
    std::function<bool(DWORD, SidBytes*, std::string*)> sessionUser;
};
UserLookups SystemUserLookups();
bool DetectInteractiveUserMismatchWith(const UserLookups& lookups, std::string* currentAccount,
                                       std::string* interactiveAccount);

}  // namespace quilmo
