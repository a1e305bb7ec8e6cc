#include "support/setup_process.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "files/text_encoding.h"

namespace quilmo::test {

namespace {

// Wine maps the Unix root to drive Z:.
std::wstring UnixToWinePath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Utf8ToWide(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

std::wstring QuoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') quoted.append(backslashes * 2 + 1, L'\\');
        else quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchInstallerWindow(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<WindowSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (owner == search->processId && wcscmp(className, L"InstallerClass") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

std::wstring SetupExePath() {
    const char* overridden = std::getenv("QUILMO_SETUP_EXE");
    return UnixToWinePath(overridden ? overridden : QUILMO_SETUP_EXE_PATH);
}

RunningSetup StartSetup(const std::vector<std::wstring>& args) {
    std::wstring commandLine = QuoteArgument(SetupExePath());
    for (const std::wstring& arg : args) commandLine += L" " + QuoteArgument(arg);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    RunningSetup setup;
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return setup;
    }
    UniqueHandle thread(info.hThread);
    setup.process.reset(info.hProcess);
    setup.processId = info.dwProcessId;
    return setup;
}

int WaitForExit(RunningSetup& setup, DWORD timeoutMs) {
    if (!setup.process) return -1;
    if (WaitForSingleObject(setup.process.get(), timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(setup.process.get(), 99);
        WaitForSingleObject(setup.process.get(), 5000);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(setup.process.get(), &code);
    return static_cast<int>(code);
}

int RunSetup(const std::vector<std::wstring>& args, DWORD timeoutMs) {
    RunningSetup setup = StartSetup(args);
    return WaitForExit(setup, timeoutMs);
}

HWND WaitForInstallerWindow(DWORD processId, DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 50) {
        WindowSearch search{processId, nullptr};
        EnumWindows(MatchInstallerWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr) return search.found;
        Sleep(50);
    }
    return nullptr;
}

}  // namespace quilmo::test
