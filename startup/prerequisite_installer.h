// Running Microsoft's prerequisite bootstrappers (.NET Framework 4.8 and the
// WebView2 runtime). The file the pipeline verified in the user's target
// directory is never started where it lies: the elevated side copies it into
// a fresh directory that only SYSTEM and the Administrators can write, hashes
// the copy again while holding it open, checks its Microsoft signature, and
// only then starts it. The directory and the copy are removed on every path.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include <atomic>
#include <string>

#include "files/native_file_api.h"

namespace quilmo {

// Exit codes of a prerequisite run besides the bootstrapper's own.
constexpr int kPrereqNotElevated = 5;        // also: security could not be built or set, unsafe directory
constexpr int kPrereqInvalidRequest = 87;    // unknown kind, empty path, malformed hash or command line
constexpr int kPrereqNoPrivateCopy = 82;     // no private directory, or the copy could not be created
constexpr int kPrereqSourceUnreadable = 2;   // the source cannot be opened
constexpr int kPrereqCopyFailed = 29;        // a read or a write failed
constexpr int kPrereqCopyNotReopened = 32;   // the finished copy cannot be opened again
constexpr int kPrereqHashMismatch = 13;      // the copy is not the file the manifest names
constexpr int kPrereqNotMicrosoft = 1790;    // the copy is not signed by Microsoft

// The bootstrappers (.NET Framework 4.8, WebView2, the VSTO runtime): the
// kind text chosen on the command line, the file name of the private copy,
// the arguments for an unattended run and, where only certain builds may
// run, the test of the digest (nullptr: the one the manifest lists).
struct PrerequisiteKind {
    const wchar_t* kind;
    const wchar_t* fileName;
    const wchar_t* arguments;
    bool (*acceptsDigest)(const std::string& sha256) = nullptr;
};

// The kind for a text compared without regard to case; none when unknown.
const PrerequisiteKind* FindPrerequisiteKind(const std::wstring& kind);

// Exactly 64 hexadecimal digits, either case.
bool IsSha256Text(const std::string& text);

// The calls the elevated side goes through, so tests can make the security,
// file and start steps fail where the system never would.
struct PrerequisiteCalls {
    bool (*isProcessElevated)() = nullptr;
    BOOL(WINAPI* allocateAndInitializeSid)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                                           DWORD, DWORD, PSID*) = nullptr;
    DWORD(WINAPI* setEntriesInAcl)(ULONG, PEXPLICIT_ACCESS_W, PACL, PACL*) = nullptr;
    UINT(WINAPI* getWindowsDirectory)(LPWSTR, UINT) = nullptr;
    BOOL(WINAPI* createDirectory)(LPCWSTR, LPSECURITY_ATTRIBUTES) = nullptr;
    DWORD(WINAPI* setNamedSecurityInfo)(LPWSTR, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID, PSID, PACL,
                                        PACL) = nullptr;
    DWORD(WINAPI* getFileAttributes)(LPCWSTR) = nullptr;
    HANDLE(WINAPI* createFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) = nullptr;
    BOOL(WINAPI* readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
    bool (*verifyMicrosoftSignature)(const std::wstring& path, std::wstring& message) = nullptr;
    BOOL(WINAPI* createProcess)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                                LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) = nullptr;
    BOOL(WINAPI* deleteFile)(LPCWSTR) = nullptr;
    void(WINAPI* sleep)(DWORD) = nullptr;
    std::wstring (*randomToken)() = nullptr;
};

const PrerequisiteCalls& RealPrerequisiteCalls();
const PrerequisiteCalls& CurrentPrerequisiteCalls();  // the real ones unless a test put its own in place

using ScopedPrerequisiteCalls = ScopedBinding<PrerequisiteCalls>;

// The elevated side: copies, checks and runs one bootstrapper. Returns the
// bootstrapper's exit code when it ran, otherwise one of the codes above or
// the system error of a failed start.
int RunPrerequisiteInstaller(const std::wstring& kind, const std::wstring& sourcePath, const std::string& sha256);

// The parent side: runs RunPrerequisiteInstaller in this process when it is
// already elevated, otherwise in a copy of the installer started with the
// "runas" verb and waited for without a time limit. True when an exit code
// was obtained (then exitCode holds it); false for a request that cannot be
// made, a refused prompt or a child whose end cannot be observed. exitCode
// is 1 unless a code was obtained.
bool RunPrerequisiteElevated(const std::wstring& kind, const std::wstring& sourcePath, const std::string& sha256,
                             int& exitCode);

// The parameters of the elevated child for one request.
std::wstring PrerequisiteParameters(const std::wstring& kind, const std::wstring& sourcePath,
                                    const std::string& sha256);

// 16 lower-case hexadecimal characters from 8 random bytes, for the names of
// the private directories; from the tick count and the process id when the
// system's generator is unavailable.
std::wstring RandomHexToken16();
std::wstring FallbackHexToken16(DWORD tickCount, DWORD processId);

}  // namespace quilmo
