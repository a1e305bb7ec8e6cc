// The relaunch with administrator rights, through stand-ins for the prompt,
// the wait and the exit code. The real relaunch of the installer runs in the
// process tests.
#include "startup/elevation.h"

#include <gtest/gtest.h>

#include "support/scratch_registry.h"

namespace quilmo {
namespace {

// What the stand-ins saw and what they answer; one per test.
struct Script {
    bool elevated = false;
    bool pathFound = true;
    BOOL started = TRUE;
    bool giveProcess = true;
    DWORD waitResult = WAIT_OBJECT_0;
    BOOL exitCodeRead = TRUE;
    DWORD exitCode = 0;
    int inProcessCode = 0;

    int inProcessRuns = 0;
    bool inProcessComOnly = false;
    int starts = 0;
    SHELLEXECUTEINFOW seen = {};
    std::wstring verb, file, parameters, directory;
    bool directoryGiven = false;
    int waits = 0;
    DWORD waitedMs = 0;
    HANDLE waitedOn = nullptr;
    int exitCodeReads = 0;
    HANDLE childEvent = nullptr;  // stands for the child process
};

Script* gScript = nullptr;

bool FakeIsElevated() { return gScript->elevated; }

bool FakeOwnPath(std::wstring* path) {
    *path = L"C:\\Program Files\\Quilmo Setup\\QuilmoSetup.exe";
    return gScript->pathFound;
}

BOOL WINAPI FakeShellExecuteEx(SHELLEXECUTEINFOW* info) {
    Script& s = *gScript;
    ++s.starts;
    s.seen = *info;
    s.verb = info->lpVerb ? info->lpVerb : L"";
    s.file = info->lpFile ? info->lpFile : L"";
    s.parameters = info->lpParameters ? info->lpParameters : L"";
    s.directoryGiven = info->lpDirectory != nullptr;
    s.directory = info->lpDirectory ? info->lpDirectory : L"";
    if (!s.started) {
        SetLastError(ERROR_CANCELLED);  // the user said no
        return FALSE;
    }
    if (s.giveProcess) {
        s.childEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        info->hProcess = s.childEvent;
    }
    return TRUE;
}

DWORD WINAPI FakeWait(HANDLE handle, DWORD ms) {
    ++gScript->waits;
    gScript->waitedOn = handle;
    gScript->waitedMs = ms;
    return gScript->waitResult;
}

BOOL WINAPI FakeExitCode(HANDLE, LPDWORD code) {
    ++gScript->exitCodeReads;
    if (!gScript->exitCodeRead) return FALSE;
    *code = gScript->exitCode;
    return TRUE;
}

int FakeInProcess(bool comOnly) {
    ++gScript->inProcessRuns;
    gScript->inProcessComOnly = comOnly;
    return gScript->inProcessCode;
}

const ElevationCalls kFakes = [] {
    ElevationCalls calls;
    calls.isProcessElevated = FakeIsElevated;
    calls.ownExecutablePath = FakeOwnPath;
    calls.shellExecuteEx = FakeShellExecuteEx;
    calls.waitForSingleObject = FakeWait;
    calls.getExitCodeProcess = FakeExitCode;
    calls.runCleanupInProcess = FakeInProcess;
    return calls;
}();

class Elevation : public testing::Test {
protected:
    Elevation() { gScript = &script_; }
    ~Elevation() override { gScript = nullptr; }
    // Whether the handle the child was given is closed by now.
    bool ChildHandleClosed() const {
        DWORD flags = 0;
        return script_.childEvent != nullptr && !GetHandleInformation(script_.childEvent, &flags);
    }

    Script script_;
    ScopedElevationCalls scope_{&kFakes};
};

TEST(ElevationReal, WineRunsEveryProcessElevated) {
    // The in-process branch is the one this prefix takes for real.
    EXPECT_TRUE(IsProcessElevated());
    EXPECT_EQ(&CurrentElevationCalls(), &RealElevationCalls());
    std::wstring self;
    ASSERT_TRUE(OwnExecutablePath(&self));
    EXPECT_NE(GetFileAttributesW(self.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(self.find(L"quilmo_unit_tests"), std::wstring::npos);
}

TEST_F(Elevation, AlreadyElevatedRunsInThisProcessAndStartsNoChild) {
    script_.elevated = true;
    for (bool comOnly : {false, true}) {
        for (int code : {0, 1}) {
            script_.inProcessCode = code;
            EXPECT_EQ(RunElevatedCleanup(L"C:\\Quilmo\\3.0.0", comOnly), code == 0);
            EXPECT_EQ(script_.inProcessComOnly, comOnly);
        }
    }
    EXPECT_EQ(script_.inProcessRuns, 4);
    EXPECT_EQ(script_.starts, 0);
}

TEST_F(Elevation, ChildIsTheOwnExecutableWithTheSubCommandHidden) {
    EXPECT_TRUE(RunElevatedCleanup(L"C:\\Quilmo\\3.0.0", false));
    EXPECT_EQ(script_.inProcessRuns, 0);
    EXPECT_EQ(script_.starts, 1);
    EXPECT_EQ(script_.seen.cbSize, 60u);  // the 32-bit structure
    EXPECT_EQ(script_.seen.fMask, static_cast<ULONG>(SEE_MASK_NOCLOSEPROCESS));
    EXPECT_EQ(script_.seen.hwnd, nullptr);
    EXPECT_EQ(script_.seen.nShow, SW_HIDE);
    EXPECT_EQ(script_.verb, L"runas");
    EXPECT_EQ(script_.file, L"C:\\Program Files\\Quilmo Setup\\QuilmoSetup.exe");
    EXPECT_EQ(script_.parameters, L"--cleanup-hklm-only");
    EXPECT_EQ(script_.directory, L"C:\\Quilmo\\3.0.0");
    EXPECT_EQ(script_.waitedOn, script_.childEvent);
    EXPECT_EQ(script_.waitedMs, 60000u);
    EXPECT_TRUE(ChildHandleClosed());

    EXPECT_TRUE(RunElevatedCleanup(L"", true));
    EXPECT_EQ(script_.parameters, L"--cleanup-hklm-com-only");
    EXPECT_FALSE(script_.directoryGiven);
}

struct Outcome {
    const char* name;
    void (*arrange)(Script&);
    bool expected;
    int waits;  // how far it got
    int exitCodeReads;
};

void PrintTo(const Outcome& o, std::ostream* os) { *os << o.name; }

class ElevationOutcome : public Elevation, public testing::WithParamInterface<Outcome> {};

TEST_P(ElevationOutcome, OnlyAChildThatSaysZeroInTimeSucceeds) {
    GetParam().arrange(script_);
    EXPECT_EQ(RunElevatedCleanup(L"C:\\Quilmo", false), GetParam().expected);
    EXPECT_EQ(script_.waits, GetParam().waits);
    EXPECT_EQ(script_.exitCodeReads, GetParam().exitCodeReads);
    if (script_.childEvent != nullptr) {
        EXPECT_TRUE(ChildHandleClosed());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ElevationOutcome,
    testing::Values(Outcome{"ExitZero", [](Script&) {}, true, 1, 1},
                    Outcome{"ExitOne", [](Script& s) { s.exitCode = 1; }, false, 1, 1},
                    Outcome{"ExitOther", [](Script& s) { s.exitCode = 5; }, false, 1, 1},
                    Outcome{"PromptRefused", [](Script& s) { s.started = FALSE; }, false, 0, 0},
                    Outcome{"NoProcessHandle", [](Script& s) { s.giveProcess = false; }, false, 0, 0},
                    Outcome{"OwnPathUnknown", [](Script& s) { s.pathFound = false; }, false, 0, 0},
                    // Still running after the minute: failure, and it is not waited for
                    // again nor asked for its code.
                    Outcome{"OutlivesTheMinute", [](Script& s) { s.waitResult = WAIT_TIMEOUT; }, false, 1, 0},
                    Outcome{"WaitFailed", [](Script& s) { s.waitResult = WAIT_FAILED; }, false, 1, 0},
                    Outcome{"ExitCodeUnreadable", [](Script& s) { s.exitCodeRead = FALSE; }, false, 1, 1}),
    [](const testing::TestParamInfo<Outcome>& info) { return info.param.name; });

}  // namespace
}  // namespace quilmo
