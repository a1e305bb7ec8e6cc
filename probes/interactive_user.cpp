#include "probes/interactive_user.h"

#include <tlhelp32.h>
#include <wtsapi32.h>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "startup/dll_hardening.h"

namespace quilmo {

namespace {

constexpr DWORD kNameUnits = 256;

std::wstring JoinAccount(const std::wstring& domain, const std::wstring& name) {
    return domain.empty() ? name : domain + L"\\" + name;
}

std::string LookupAccountOfSid(PSID sid) {
    wchar_t name[kNameUnits] = {};
    wchar_t domain[kNameUnits] = {};
    DWORD nameUnits = kNameUnits;
    DWORD domainUnits = kNameUnits;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountSidW(nullptr, sid, name, &nameUnits, domain, &domainUnits, &use)) return std::string();
    return WideToUtf8(JoinAccount(domain, name));
}

bool SameSession(DWORD processId, DWORD sessionId) {
    DWORD session = 0;
    return ProcessIdToSessionId(processId, &session) && session == sessionId;
}

bool GetProcessUser(DWORD processId, SidBytes* sid, std::string* account) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process) return false;
    UniqueHandle token;
    if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return false;
    return GetTokenUserAccount(token.get(), sid, account);
}

// WTSQuerySessionInformationW's text for one item; empty on failure.
using WtsQueryFn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using WtsFreeFn = void(WINAPI*)(PVOID);

std::wstring QuerySessionText(WtsQueryFn query, WtsFreeFn release, DWORD sessionId, WTS_INFO_CLASS item) {
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!query(WTS_CURRENT_SERVER_HANDLE, sessionId, item, &buffer, &bytes) || buffer == nullptr) return {};
    std::wstring text(buffer);
    release(buffer);
    return text;
}

bool LookupSidOfAccount(const std::wstring& account, SidBytes* sid) {
    DWORD sidBytes = 0;
    DWORD domainUnits = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountNameW(nullptr, account.c_str(), nullptr, &sidBytes, nullptr, &domainUnits, &use);
    if (sidBytes == 0) return false;
    SidBytes buffer(sidBytes);
    std::wstring domain(domainUnits + 1, L'\0');
    domainUnits = static_cast<DWORD>(domain.size());
    if (!LookupAccountNameW(nullptr, account.c_str(), buffer.data(), &sidBytes, &domain[0], &domainUnits, &use) ||
        !IsValidSid(buffer.data())) {
        return false;
    }
    *sid = std::move(buffer);
    return true;
}

bool GetCurrentProcessUser(SidBytes* sid, std::string* account) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    return GetTokenUserAccount(token.get(), sid, account);
}

// Long enough for its own sub-authority count before IsValidSid reads it.
bool IsWellFormedSid(SidBytes& sid) {
    return sid.size() >= 8 && sid.size() >= GetSidLengthRequired(sid[1]) && IsValidSid(sid.data());
}

DWORD CurrentSessionId() {
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session)) return session;
    return WTSGetActiveConsoleSessionId();
}

}  // namespace

bool GetTokenUserAccount(HANDLE token, SidBytes* sid, std::string* account) {
    sid->clear();
    account->clear();
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    if (bytes < sizeof(TOKEN_USER)) return false;
    std::vector<BYTE> buffer(bytes);
    if (!GetTokenInformation(token, TokenUser, buffer.data(), bytes, &bytes)) return false;
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    if (user == nullptr || !IsValidSid(user)) return false;
    SidBytes copy(GetLengthSid(user));
    if (!CopySid(static_cast<DWORD>(copy.size()), copy.data(), user)) return false;
    *sid = std::move(copy);
    *account = LookupAccountOfSid(sid->data());
    return true;
}

bool GetExplorerUserOfSession(DWORD sessionId, SidBytes* sid, std::string* account) {
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"explorer.exe") != 0 || !SameSession(entry.th32ProcessID, sessionId)) continue;
        if (GetProcessUser(entry.th32ProcessID, sid, account)) return true;
    }
    return false;
}

bool GetWtsUserOfSession(DWORD sessionId, SidBytes* sid, std::string* account) {
    UniqueModule wtsapi(LoadSystemLibrary(L"wtsapi32.dll"));
    if (!wtsapi) return false;
    auto query = reinterpret_cast<WtsQueryFn>(
        reinterpret_cast<void*>(GetProcAddress(wtsapi.get(), "WTSQuerySessionInformationW")));
    auto release = reinterpret_cast<WtsFreeFn>(reinterpret_cast<void*>(GetProcAddress(wtsapi.get(), "WTSFreeMemory")));
    if (query == nullptr || release == nullptr) return false;
    std::wstring user = QuerySessionText(query, release, sessionId, WTSUserName);
    if (user.empty()) return false;
    std::wstring wtsAccount = JoinAccount(QuerySessionText(query, release, sessionId, WTSDomainName), user);
    if (!LookupSidOfAccount(wtsAccount, sid)) return false;
    *account = WideToUtf8(wtsAccount);
    return true;
}

bool GetSessionInteractiveUser(DWORD sessionId, SidBytes* sid, std::string* account) {
    sid->clear();
    account->clear();
    if (GetExplorerUserOfSession(sessionId, sid, account)) return true;
    sid->clear();
    account->clear();
    return GetWtsUserOfSession(sessionId, sid, account);
}

UserLookups SystemUserLookups() {
    return UserLookups{GetCurrentProcessUser, CurrentSessionId, GetSessionInteractiveUser};
}

bool DetectInteractiveUserMismatchWith(const UserLookups& lookups, std::string* currentAccount,
                                       std::string* interactiveAccount) {
    currentAccount->clear();
    interactiveAccount->clear();
    SidBytes currentSid;
    if (!lookups.processUser(&currentSid, currentAccount) || currentSid.empty()) return false;
    SidBytes interactiveSid;
    if (!lookups.sessionUser(lookups.session(), &interactiveSid, interactiveAccount) || interactiveSid.empty()) {
        return false;
    }
    // Both must be well-formed before EqualSid may read them.
    if (!IsWellFormedSid(currentSid) || !IsWellFormedSid(interactiveSid)) return false;
    return !EqualSid(currentSid.data(), interactiveSid.data());
}

bool DetectInteractiveUserMismatch(std::string* currentAccount, std::string* interactiveAccount) {
    return DetectInteractiveUserMismatchWith(SystemUserLookups(), currentAccount, interactiveAccount);
}

}  // namespace quilmo
