// Finding and ending running Office and WPS programs, with stand-ins of the
// same executable names.
#include "probes/host_processes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "support/scratch_dir.h"

namespace quilmo::test {
namespace {

using testing_support::MakeDir;
using testing_support::ScratchDir;

std::wstring FakeHostPath() {
    std::wstring path = L"Z:" + Utf8ToWide(QUILMO_SCREEN_DIR "/WINWORD.EXE");
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

UniqueHandle StartCopy(const std::wstring& exe) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << "cannot start " << WideToUtf8(exe) << ": " << GetLastError();
        return UniqueHandle();
    }
    CloseHandle(info.hThread);
    return UniqueHandle(info.hProcess);
}

TEST(HostProcesses, DetectsAndEndsEveryCopyWhateverTheCase) {
    ASSERT_FALSE(IsAnyHostProcessRunning()) << "a host program is already running in the prefix";
    ScratchDir scratch;
    // Two copies of WPS, one named in lower case, from two folders.
    std::vector<std::wstring> exes = {scratch / L"wps.exe", scratch / L"second\\WPS.EXE"};
    ASSERT_TRUE(MakeDir(scratch / L"second"));
    std::vector<UniqueHandle> running;
    for (const std::wstring& exe : exes) {
        ASSERT_TRUE(CopyFileW(FakeHostPath().c_str(), exe.c_str(), FALSE)) << GetLastError();
        running.push_back(StartCopy(exe));
        ASSERT_TRUE(running.back().valid());
    }
    EXPECT_TRUE(IsAnyHostProcessRunning());
    TerminateHostProcesses();
    for (UniqueHandle& process : running) {
        EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeProcess(process.get(), &code);
        EXPECT_EQ(code, 0u);
    }
    EXPECT_FALSE(IsAnyHostProcessRunning());
}

TEST(HostProcesses, OtherProgramsAreLeftAlone) {
    ScratchDir scratch;
    std::wstring exe = scratch / L"WINWORD2.EXE";
    ASSERT_TRUE(CopyFileW(FakeHostPath().c_str(), exe.c_str(), FALSE));
    UniqueHandle process = StartCopy(exe);
    ASSERT_TRUE(process.valid());
    EXPECT_FALSE(IsAnyHostProcessRunning());
    TerminateHostProcesses();
    EXPECT_EQ(WaitForSingleObject(process.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(process.get(), 0);
    WaitForSingleObject(process.get(), 5000);
}

}  // namespace
}  // namespace quilmo::test
