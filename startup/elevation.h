// Running the machine-hive cleanups with administrator rights: in this
// process when it is already elevated, otherwise in a copy of the installer
// started with the "runas" verb, whose exit code is the only answer.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "files/native_file_api.h"
#include "files/unique_handle.h"

namespace quilmo {

// TokenElevation of this process's token; false when it cannot be read.
bool IsProcessElevated();

// The calls the elevation goes through, so tests can refuse the prompt, keep
// a child running past the limit, or send a non-elevated run to the real
// installer executable.
struct ElevationCalls {
    bool (*isProcessElevated)() = nullptr;
    // The executable the child runs; false when it cannot be named.
    bool (*ownExecutablePath)(std::wstring* path) = nullptr;
    BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* info) = nullptr;
    DWORD(WINAPI* waitForSingleObject)(HANDLE handle, DWORD milliseconds) = nullptr;
    BOOL(WINAPI* getExitCodeProcess)(HANDLE process, LPDWORD code) = nullptr;
    // The cleanup itself, when this process is already elevated: returns
    // the exit code the sub-command would give.
    int (*runCleanupInProcess)(bool comOnly) = nullptr;
};

const ElevationCalls& RealElevationCalls();
const ElevationCalls& CurrentElevationCalls();  // the real ones unless a test put its own in place

using ScopedElevationCalls = ScopedBinding<ElevationCalls>;

// How long the parent waits for the elevated child.
constexpr DWORD kElevatedChildTimeoutMs = 60000;

// Runs "--cleanup-hklm-com-only" (comOnly) or "--cleanup-hklm-only" with
// administrator rights; true exactly when it reports success. workingDir is
// the child's directory (empty: none). A refused prompt, a child that does
// not finish within a minute (it is left running) or an unreadable exit code
// count as failure.
bool RunElevatedCleanup(const std::wstring& workingDir, bool comOnly);

// Starts this executable again through "runas" with the given parameters,
// hidden, in workingDir (empty: none). The child's handle, or none when the
// start failed or the prompt was refused.
UniqueHandle StartElevatedChild(const ElevationCalls& calls, const std::wstring& self, const std::wstring& parameters,
                                const std::wstring& workingDir);

// The own path of this executable, without truncation.
bool OwnExecutablePath(std::wstring* path);

}  // namespace quilmo
