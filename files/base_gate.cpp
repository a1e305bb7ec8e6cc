// The guards in front of the install base: its owner and access list, and
// the open of the base itself, component by component from the drive root,
// that refuses links, substituted drives and the system's own folders.
#include "files/file_handles.h"

#include "files/path_text.h"

#include <aclapi.h>

namespace quilmo {

namespace {

// GENERIC_ALL, GENERIC_WRITE, WRITE_OWNER, WRITE_DAC, DELETE,
// FILE_WRITE_ATTRIBUTES, FILE_DELETE_CHILD, FILE_WRITE_EA,
// FILE_APPEND_DATA, FILE_WRITE_DATA.
constexpr ACCESS_MASK kChangingRights = 0x500D0156;
constexpr BYTE kAccessAllowedAce = 0;
constexpr BYTE kAccessAllowedCallbackAce = 9;
constexpr const wchar_t* kBaseLeafName = L"Quilmo2025";

struct WellKnownSid {
    BYTE bytes[SECURITY_MAX_SID_SIZE] = {};
    bool valid = false;
    explicit WellKnownSid(WELL_KNOWN_SID_TYPE type) {
        DWORD size = sizeof bytes;
        valid = CreateWellKnownSid(type, nullptr, bytes, &size) != FALSE;
    }
    bool Matches(PSID sid) const { return valid && EqualSid(const_cast<BYTE*>(bytes), sid); }
};

struct TokenFacts {
    std::vector<BYTE> user;  // TOKEN_USER
    bool elevated = false;
    PSID UserSid() const { return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid; }
};

bool ReadTokenFacts(TokenFacts* facts) {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size < sizeof(TOKEN_USER)) return false;
    facts->user.assign(size, 0);
    if (!GetTokenInformation(token.get(), TokenUser, facts->user.data(), size, &size)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    facts->elevated = GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &returned) &&
                      returned >= 4 && elevation.TokenIsElevated != 0;
    return true;
}

// Access-allowed entries of both layouts that carry a SID right after the
// mask are checked by their SID; any other kind of allowing entry that
// grants a changing right cannot be judged and counts as unsafe.
bool AceIsSafe(const ACE_HEADER* header, PSID user, const WellKnownSid& system, const WellKnownSid& admins,
               const WellKnownSid& creatorOwner) {
    const bool allows = header->AceType == kAccessAllowedAce || header->AceType == kAccessAllowedCallbackAce ||
                        header->AceType == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ||
                        header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                        header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
    if (!allows) return true;
    const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    if ((ace->Mask & kChangingRights) == 0) return true;
    if (header->AceType != kAccessAllowedAce && header->AceType != kAccessAllowedCallbackAce) return false;
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (!IsValidSid(sid)) return false;
    return EqualSid(sid, user) || system.Matches(sid) || admins.Matches(sid) || creatorOwner.Matches(sid);
}

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

wchar_t UpperDriveLetter(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

bool IsRefusedSystemFolder(const std::wstring& path, const std::wstring& parent) {
    using DirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
    const DirectoryFn sources[] = {&GetWindowsDirectoryW, &GetSystemDirectoryW, &GetSystemWow64DirectoryW};
    for (DirectoryFn source : sources) {
        wchar_t buffer[MAX_PATH] = {};
        const UINT length = source(buffer, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) continue;
        const std::wstring folder = NormalizePath(std::wstring(buffer, length));
        if (folder.empty()) continue;
        if (PathEquals(path, folder) || PathEquals(parent, folder)) return true;
    }
    return false;
}

// The variable's value when it is set (1 to 32,768 characters). The buffer
// is sized from the first answer: some systems refuse a buffer larger than
// the largest possible value outright.
std::wstring EnvironmentValue(const wchar_t* name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed < 2 || needed > 32769) return std::wstring();
    std::vector<wchar_t> value(needed, L'\0');
    const DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
    if (length < 1 || length >= needed) return std::wstring();
    return std::wstring(value.data(), length);
}

bool IsProfileFolder(const std::wstring& path) {
    const wchar_t* names[] = {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramData",
                              L"USERPROFILE",  L"APPDATA",           L"LOCALAPPDATA"};
    for (const wchar_t* name : names) {
        const std::wstring value = EnvironmentValue(name);
        if (value.empty()) continue;
        const std::wstring folder = NormalizePath(value);
        if (!folder.empty() && PathEquals(path, folder)) return true;
    }
    return false;
}

bool IsSubstitutedDrive(wchar_t letter) {
    const wchar_t device[3] = {UpperDriveLetter(letter), L':', L'\0'};
    wchar_t target[512] = {};
    if (FsCalls().queryDosDevice(device, target, 512) == 0) return false;
    return std::wstring(target).compare(0, 4, L"\\??\\") == 0;
}

bool IsPlainDirectoryHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileIdentity(handle, nullptr, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The checks on the text of the path, before anything on disk is opened.
bool AcceptableBasePath(const std::wstring& path, std::vector<std::wstring>* components) {
    if (path.size() <= 3 || !IsDriveLetter(path[0]) || path[1] != L':' || path[2] != L'\\') return false;
    if (!PathEquals(path.substr(path.rfind(L'\\') + 1), kBaseLeafName)) return false;
    const std::wstring parent = ParentDirRaw(path);
    if (parent.empty()) return false;
    if (IsRefusedSystemFolder(path, parent) || IsProfileFolder(path)) return false;
    if (IsSubstitutedDrive(path[0])) return false;
    return SplitBelowDriveRoot(path, components);
}

UniqueNtHandle OpenComponents(wchar_t driveLetter, const std::vector<std::wstring>& components) {
    const ULONG options = kDirectoryFile | kSynchronousIo | kOpenReparsePoint;
    const std::wstring root = std::wstring(L"\\??\\") + UpperDriveLetter(driveLetter) + L":\\";
    OpenedHandle current = NtOpenRelative(nullptr, root, TraverseDir.access, kShareAll, kDispositionOpen, options, 0);
    if (!current.handle || !IsPlainDirectoryHandle(current.handle.get())) return UniqueNtHandle();
    for (size_t i = 0; i < components.size(); ++i) {
        const ACCESS_MASK access = (i + 1 == components.size()) ? BaseDir.access : TraverseDir.access;
        OpenedHandle next = OpenChildNoFollow(current.handle.get(), components[i], access, kShareAll, kDirectoryFile);
        if (!next.handle || !IsPlainDirectoryHandle(next.handle.get())) return UniqueNtHandle();
        current.handle = std::move(next.handle);  // the parent is closed here
    }
    return std::move(current.handle);
}

}  // namespace

bool SplitBelowDriveRoot(const std::wstring& path, std::vector<std::wstring>* components) {
    components->clear();
    if (path.size() < 3) return false;
    const std::wstring rest = path.substr(3);
    size_t start = 0;
    while (start <= rest.size() && !rest.empty()) {
        size_t end = rest.find(L'\\', start);
        if (end == std::wstring::npos) end = rest.size();
        const std::wstring part = rest.substr(start, end - start);
        if (part.empty() || part == L"." || part == L"..") {
            components->clear();
            return false;
        }
        components->push_back(part);
        start = end + 1;
    }
    return !components->empty();
}

bool IsOwnerAndDaclSafe(HANDLE dir) {
    if (IsNoneHandle(dir)) return false;
    TokenFacts facts;
    if (!ReadTokenFacts(&facts)) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocalMemory descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD error = GetSecurityInfo(dir, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &owner, nullptr, &dacl, nullptr, &raw);
    descriptor.reset(raw);
    if (error != ERROR_SUCCESS || owner == nullptr || dacl == nullptr) return false;
    const WellKnownSid system(WinLocalSystemSid);
    const WellKnownSid admins(WinBuiltinAdministratorsSid);
    const WellKnownSid creatorOwner(WinCreatorOwnerSid);
    const bool ownerOk = EqualSid(owner, facts.UserSid()) || (facts.elevated && admins.Matches(owner));
    if (!ownerOk) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return false;
        if (!AceIsSafe(static_cast<const ACE_HEADER*>(ace), facts.UserSid(), system, admins, creatorOwner)) {
            return false;
        }
    }
    return true;
}

UniqueNtHandle OpenInstallBaseSafely(const std::wstring& path, bool checkAcl, bool* aclRejected) {
    if (aclRejected) *aclRejected = false;
    const std::wstring normalized = NormalizePath(path);
    std::vector<std::wstring> components;
    if (!AcceptableBasePath(normalized, &components)) return UniqueNtHandle();
    UniqueNtHandle base = OpenComponents(normalized[0], components);
    if (!base) return UniqueNtHandle();
    if (checkAcl && !IsOwnerAndDaclSafe(base.get())) {
        if (aclRejected) *aclRejected = true;
        return UniqueNtHandle();
    }
    return base;
}

}  // namespace quilmo
