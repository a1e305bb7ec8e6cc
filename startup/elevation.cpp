#include "startup/elevation.h"

#include <algorithm>
#include <vector>

#include "files/unique_handle.h"
#include "startup/command_line.h"
#include "startup/subcommands.h"

namespace quilmo {

namespace {

constexpr DWORD kFirstPathBuffer = MAX_PATH;
constexpr DWORD kLongestPath = 32768;

int RunCleanupSubCommand(bool comOnly) {
    return comOnly ? RunMachineComCleanupSubCommand() : RunMachineCleanupSubCommand();
}

ElevationCalls BindRealCalls() {
    ElevationCalls calls;
    calls.isProcessElevated = IsProcessElevated;
    calls.ownExecutablePath = OwnExecutablePath;
    calls.shellExecuteEx = ShellExecuteExW;
    calls.waitForSingleObject = WaitForSingleObject;
    calls.getExitCodeProcess = GetExitCodeProcess;
    calls.runCleanupInProcess = RunCleanupSubCommand;
    return calls;
}

// The child's own answer, when it gave one within the limit. A child that
// takes longer is left running: ending it could cut its restore short.
bool ChildReportedSuccess(const ElevationCalls& calls, HANDLE child) {
    if (calls.waitForSingleObject(child, kElevatedChildTimeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 1;
    if (!calls.getExitCodeProcess(child, &code)) return false;
    return code == 0;
}

}  // namespace

UniqueHandle StartElevatedChild(const ElevationCalls& calls, const std::wstring& self, const std::wstring& parameters,
                                const std::wstring& workingDir) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = L"runas";
    info.lpFile = self.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = workingDir.empty() ? nullptr : workingDir.c_str();
    info.nShow = SW_HIDE;
    if (!calls.shellExecuteEx(&info)) return UniqueHandle();
    return UniqueHandle(info.hProcess);
}

const ElevationCalls& RealElevationCalls() {
    static const ElevationCalls calls = BindRealCalls();
    return calls;
}

const ElevationCalls& CurrentElevationCalls() { return Bound(RealElevationCalls()); }

bool IsProcessElevated() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return false;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) return false;
    return elevation.TokenIsElevated != 0;
}

// A path cut off at the buffer's end would start some other program, so the
// buffer grows until the whole path fits.
bool OwnExecutablePath(std::wstring* path) {
    path->clear();
    DWORD capacity = kFirstPathBuffer;
    for (;;) {
        std::vector<wchar_t> buffer(capacity, L'\0');
        DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
        if (length == 0) return false;
        if (length < capacity) {
            path->assign(buffer.data(), length);
            return true;
        }
        if (capacity >= kLongestPath) return false;
        capacity = std::min(capacity * 2, kLongestPath);
    }
}

bool RunElevatedCleanup(const std::wstring& workingDir, bool comOnly) {
    const ElevationCalls& calls = CurrentElevationCalls();
    if (calls.isProcessElevated()) return calls.runCleanupInProcess(comOnly) == 0;
    std::wstring self;
    if (!calls.ownExecutablePath(&self)) return false;
    UniqueHandle child =
        StartElevatedChild(calls, self, comOnly ? kCleanupMachineComSwitch : kCleanupMachineSwitch, workingDir);
    if (!child) return false;
    return ChildReportedSuccess(calls, child.get());
}

}  // namespace quilmo
