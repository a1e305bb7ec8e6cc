#include "startup/prerequisite_installer.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include "files/wincrypt_plain.h"

#include <cwchar>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/code_signing.h"
#include "manifest/sha256.h"
#include "probes/vsto_rules.h"
#include "startup/command_line.h"
#include "startup/elevation.h"

namespace quilmo {

namespace {

constexpr PrerequisiteKind kPrerequisiteKinds[] = {
    {L"net48", L"ndp48-web.exe", L"/showfinalerror /passive /norestart"},
    {L"webview2", L"MicrosoftEdgeWebview2Setup.exe", L"/silent /install"},
    // Downloaded from an address the manifest names but without a listed
    // hash: only Microsoft's known builds may run.
    {L"vsto", L"vstor_redist.exe", L"/quiet /norestart", IsKnownVstoRedistributableHash},
};

constexpr int kPrivateDirectoryAttempts = 16;
constexpr DWORD kCopyBlock = 65536;
constexpr int kDeleteAttempts = 5;
constexpr DWORD kDeleteRetryMs = 100;

struct SidTraits {
    using Type = PSID;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type sid) noexcept { ::FreeSid(sid); }
};
using UniqueSid = UniqueAny<SidTraits>;

struct AclTraits {
    using Type = PACL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type acl) noexcept { ::LocalFree(acl); }
};
using UniqueAcl = UniqueAny<AclTraits>;

std::wstring SystemRandomToken() { return RandomHexToken16(); }

PrerequisiteCalls BindRealCalls() {
    PrerequisiteCalls calls;
    calls.isProcessElevated = IsProcessElevated;
    calls.allocateAndInitializeSid = AllocateAndInitializeSid;
    calls.setEntriesInAcl = SetEntriesInAclW;
    calls.getWindowsDirectory = GetWindowsDirectoryW;
    calls.createDirectory = CreateDirectoryW;
    calls.setNamedSecurityInfo = SetNamedSecurityInfoW;
    calls.getFileAttributes = GetFileAttributesW;
    calls.createFile = CreateFileW;
    calls.readFile = ReadFile;
    calls.writeFile = WriteFile;
    calls.verifyMicrosoftSignature = VerifyMicrosoftSignature;
    calls.createProcess = CreateProcessW;
    calls.deleteFile = DeleteFileW;
    calls.sleep = Sleep;
    calls.randomToken = SystemRandomToken;
    return calls;
}

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Only SYSTEM and the Administrators, with nothing inherited from above, so a
// standard user can neither swap the copy nor plant a DLL beside it.
struct PrivateSecurity {
    UniqueSid system;
    UniqueSid administrators;
    UniqueAcl acl;
    SECURITY_DESCRIPTOR descriptor = {};
    SECURITY_ATTRIBUTES attributes = {};
};

EXPLICIT_ACCESS_W FullAccessFor(PSID sid, TRUSTEE_TYPE type) {
    EXPLICIT_ACCESS_W entry = {};
    entry.grfAccessPermissions = FILE_ALL_ACCESS;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = type;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

bool BuildPrivateSecurity(const PrerequisiteCalls& calls, PrivateSecurity& security) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (!calls.allocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                        security.system.put()))
        return false;
    if (!calls.allocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                        0, security.administrators.put()))
        return false;
    EXPLICIT_ACCESS_W entries[2] = {FullAccessFor(security.system.get(), TRUSTEE_IS_WELL_KNOWN_GROUP),
                                    FullAccessFor(security.administrators.get(), TRUSTEE_IS_GROUP)};
    if (calls.setEntriesInAcl(2, entries, nullptr, security.acl.put()) != ERROR_SUCCESS || !security.acl) return false;
    if (!InitializeSecurityDescriptor(&security.descriptor, SECURITY_DESCRIPTOR_REVISION)) return false;
    if (!SetSecurityDescriptorDacl(&security.descriptor, TRUE, security.acl.get(), FALSE)) return false;
    if (!SetSecurityDescriptorControl(&security.descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) return false;
    security.attributes.nLength = sizeof(security.attributes);
    security.attributes.lpSecurityDescriptor = &security.descriptor;
    security.attributes.bInheritHandle = FALSE;
    return true;
}

bool IsDirectory(const PrerequisiteCalls& calls, const std::wstring& path) {
    DWORD attributes = calls.getFileAttributes(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The Windows directory's Temp, or a folder of the all-users application
// data when that is not there.
std::wstring ChoosePrivateParent(const PrerequisiteCalls& calls, PrivateSecurity& security) {
    wchar_t windows[MAX_PATH] = {};
    UINT length = calls.getWindowsDirectory(windows, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring temp = std::wstring(windows, length) + L"\\Temp";
        if (!IsDirectory(calls, temp)) calls.createDirectory(temp.c_str(), nullptr);
        if (IsDirectory(calls, temp)) return temp;
    }
    wchar_t common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
        return std::wstring();
    std::wstring fallback = std::wstring(common) + L"\\QuilmoPrereqTmp";
    calls.createDirectory(fallback.c_str(), &security.attributes);
    return fallback;
}

// A new directory under a name nobody could have prepared; empty when none
// could be made.
std::wstring CreatePrivateDirectory(const PrerequisiteCalls& calls, PrivateSecurity& security) {
    std::wstring parent = ChoosePrivateParent(calls, security);
    if (parent.empty()) return std::wstring();
    for (int attempt = 0; attempt < kPrivateDirectoryAttempts; ++attempt) {
        std::wstring candidate = parent + L"\\QuilmoPrereq_" + calls.randomToken();
        if (calls.createDirectory(candidate.c_str(), &security.attributes)) return candidate;
    }
    return std::wstring();
}

// The access list is set again on the directory itself (creation may not
// apply it everywhere), and a directory that is, or became, a link is refused.
bool ProtectPrivateDirectory(const PrerequisiteCalls& calls, PrivateSecurity& security, const std::wstring& directory) {
    std::wstring name = directory;
    DWORD status = calls.setNamedSecurityInfo(&name[0], SE_FILE_OBJECT,
                                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                              nullptr, nullptr, security.acl.get(), nullptr);
    if (status != ERROR_SUCCESS) return false;
    DWORD attributes = calls.getFileAttributes(directory.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// The directory and the copy of one run, and the read handle that keeps the
// copy from being replaced between the checks and the start.
struct PrivateCopy {
    std::wstring directory;
    std::wstring path;
    UniqueFile pinned;
};

int CopySource(const PrerequisiteCalls& calls, PrivateSecurity& security, const std::wstring& sourcePath,
               const std::wstring& copyPath) {
    UniqueFile source(calls.createFile(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!source) return kPrereqSourceUnreadable;
    UniqueFile copy(calls.createFile(copyPath.c_str(), GENERIC_WRITE, 0, &security.attributes, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) return kPrereqNoPrivateCopy;
    std::vector<char> block(kCopyBlock);
    for (;;) {
        DWORD read = 0;
        if (!calls.readFile(source.get(), block.data(), kCopyBlock, &read, nullptr)) return kPrereqCopyFailed;
        if (read == 0) break;
        DWORD written = 0;
        if (!calls.writeFile(copy.get(), block.data(), read, &written, nullptr) || written != read)
            return kPrereqCopyFailed;
    }
    FlushFileBuffers(copy.get());
    return 0;
}

int CheckCopy(const PrerequisiteCalls& calls, const std::string& sha256, PrivateCopy& copy) {
    copy.pinned.reset(calls.createFile(copy.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy.pinned) return kPrereqCopyNotReopened;
    std::string digest = Sha256OfHandle(copy.pinned.get());
    if (digest.size() != 64 || !EqualIgnoringCase(digest, sha256)) return kPrereqHashMismatch;
    std::wstring message;
    if (!calls.verifyMicrosoftSignature(copy.path, message)) return kPrereqNotMicrosoft;
    return 0;
}

bool StartBootstrapper(const PrerequisiteCalls& calls, const PrerequisiteKind& kind, const PrivateCopy& copy,
                       PROCESS_INFORMATION& process) {
    std::wstring commandLine = L"\"" + copy.path + L"\" " + kind.arguments;
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return calls.createProcess(copy.path.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               copy.directory.c_str(), &startup, &process) != FALSE;
}

int RunBootstrapper(const PrerequisiteCalls& calls, const PrerequisiteKind& kind, PrivateCopy& copy) {
    PROCESS_INFORMATION process = {};
    bool started = StartBootstrapper(calls, kind, copy, process);
    if (!started && GetLastError() == ERROR_SHARING_VIOLATION) {
        // Some systems will not map an image another handle holds open.
        copy.pinned.reset();
        started = StartBootstrapper(calls, kind, copy, process);
    }
    if (!started) {
        DWORD error = GetLastError();
        return error != 0 ? static_cast<int>(error) : 1;
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    WaitForSingleObject(processHandle.get(), INFINITE);
    DWORD code = 1;
    if (!GetExitCodeProcess(processHandle.get(), &code)) code = 1;
    return static_cast<int>(code);
}

bool FileIsGone(const PrerequisiteCalls& calls, const std::wstring& path) {
    return calls.getFileAttributes(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
           (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
}

// A bootstrapper that just ended may still have its image mapped for a
// moment, so the copy gets a few tries.
void RemovePrivateCopy(const PrerequisiteCalls& calls, PrivateCopy& copy) {
    copy.pinned.reset();
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        if (calls.deleteFile(copy.path.c_str()) || FileIsGone(calls, copy.path)) break;
        if (attempt + 1 < kDeleteAttempts) calls.sleep(kDeleteRetryMs);
    }
    RemoveDirectoryW(copy.directory.c_str());
}

int CopyCheckAndRun(const PrerequisiteCalls& calls, PrivateSecurity& security, const PrerequisiteKind& kind,
                    const std::wstring& sourcePath, const std::string& sha256, PrivateCopy& copy) {
    if (!ProtectPrivateDirectory(calls, security, copy.directory)) return kPrereqNotElevated;
    int code = CopySource(calls, security, sourcePath, copy.path);
    if (code != 0) return code;
    code = CheckCopy(calls, sha256, copy);
    if (code != 0) return code;
    return RunBootstrapper(calls, kind, copy);
}

}  // namespace

const PrerequisiteCalls& RealPrerequisiteCalls() {
    static const PrerequisiteCalls calls = BindRealCalls();
    return calls;
}

const PrerequisiteCalls& CurrentPrerequisiteCalls() { return Bound(RealPrerequisiteCalls()); }

const PrerequisiteKind* FindPrerequisiteKind(const std::wstring& kind) {
    for (const PrerequisiteKind& known : kPrerequisiteKinds) {
        if (_wcsicmp(kind.c_str(), known.kind) == 0) return &known;
    }
    return nullptr;
}

bool IsSha256Text(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!IsHexDigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

int RunPrerequisiteInstaller(const std::wstring& kind, const std::wstring& sourcePath, const std::string& sha256) {
    const PrerequisiteCalls& calls = CurrentPrerequisiteCalls();
    if (!calls.isProcessElevated()) return kPrereqNotElevated;
    const PrerequisiteKind* known = FindPrerequisiteKind(kind);
    if (known == nullptr || sourcePath.empty() || !IsSha256Text(sha256)) return kPrereqInvalidRequest;
    if (known->acceptsDigest != nullptr && !known->acceptsDigest(sha256)) return kPrereqHashMismatch;
    PrivateSecurity security;
    if (!BuildPrivateSecurity(calls, security)) return kPrereqNotElevated;
    PrivateCopy copy;
    copy.directory = CreatePrivateDirectory(calls, security);
    if (copy.directory.empty()) return kPrereqNoPrivateCopy;
    copy.path = copy.directory + L"\\" + known->fileName;
    int code = CopyCheckAndRun(calls, security, *known, sourcePath, sha256, copy);
    RemovePrivateCopy(calls, copy);
    return code;
}

std::wstring PrerequisiteParameters(const std::wstring& kind, const std::wstring& sourcePath,
                                    const std::string& sha256) {
    return std::wstring(kInstallPrerequisiteSwitch) + L" " + kind + L" \"" + sourcePath + L"\" " + Utf8ToWide(sha256);
}

bool RunPrerequisiteElevated(const std::wstring& kind, const std::wstring& sourcePath, const std::string& sha256,
                             int& exitCode) {
    exitCode = 1;
    // A quote would end the path early on the child's command line, and a
    // trailing backslash would escape the closing quote.
    if (kind.empty() || sourcePath.empty() || sourcePath.find(L'"') != std::wstring::npos ||
        sourcePath.back() == L'\\' || !PathFileExistsW(sourcePath.c_str()) || !IsSha256Text(sha256))
        return false;
    const ElevationCalls& calls = CurrentElevationCalls();
    if (calls.isProcessElevated()) {
        exitCode = RunPrerequisiteInstaller(kind, sourcePath, sha256);
        return true;
    }
    std::wstring self;
    if (!calls.ownExecutablePath(&self)) return false;
    UniqueHandle child = StartElevatedChild(calls, self, PrerequisiteParameters(kind, sourcePath, sha256), L"");
    if (!child) return false;
    if (calls.waitForSingleObject(child.get(), INFINITE) == WAIT_FAILED) return false;
    DWORD code = 1;
    if (!calls.getExitCodeProcess(child.get(), &code)) return false;
    exitCode = static_cast<int>(code);
    return true;
}

std::wstring FallbackHexToken16(DWORD tickCount, DWORD processId) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring token;
    for (unsigned i = 0; i < 8; ++i) {
        unsigned byte = ((processId >> (8 * ((i + 1) % 4))) ^ (tickCount >> (8 * (i % 4)))) & 0xFF;
        byte ^= (37 * i) & 0xFF;
        token += kDigits[byte >> 4];
        token += kDigits[byte & 0x0F];
    }
    return token;
}

std::wstring RandomHexToken16() {
    BYTE bytes[8] = {};
    bool filled = false;
    UniqueCryptContext context;
    if (CryptAcquireContextW(context.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        filled = CryptGenRandom(context.get(), sizeof(bytes), bytes) != FALSE;
    if (!filled) return FallbackHexToken16(GetTickCount(), GetCurrentProcessId());
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring token;
    for (BYTE b : bytes) {
        token += kDigits[b >> 4];
        token += kDigits[b & 0x0F];
    }
    return token;
}

}  // namespace quilmo
