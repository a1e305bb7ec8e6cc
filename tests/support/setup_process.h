// Runs the real installer executable in the test's Wine prefix and reads
// what it leaves behind.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "files/unique_handle.h"

namespace quilmo::test {

// Windows path of the installer under test.
std::wstring SetupExePath();

struct RunningSetup {
    UniqueHandle process;
    DWORD processId = 0;
};

// Starts the installer with the given arguments (each quoted as needed).
RunningSetup StartSetup(const std::vector<std::wstring>& args);
// Waits for it to end; returns its exit code, or -1 on a time-out (the
// process is then killed).
int WaitForExit(RunningSetup& setup, DWORD timeoutMs);
int RunSetup(const std::vector<std::wstring>& args, DWORD timeoutMs = 60000);

// The installer's main window of the given process, once it exists.
HWND WaitForInstallerWindow(DWORD processId, DWORD timeoutMs);

}  // namespace quilmo::test
