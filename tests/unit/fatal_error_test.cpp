// A failure no part of the run can report (memory exhausted, an exception
// that escapes) ends the process with exit code 1 and one log line, on the
// main thread as on a worker, caught around the run or only at the very end.
#include "startup/fatal_error.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "startup/installer_log.h"
#include "support/log_reader.h"

namespace quilmo {
namespace {

enum class Failure { OutOfMemory, StdException, OtherThrow };

// A real allocation failure: no 32-bit process gets 2 GB in one piece. The
// call goes through a volatile pointer so that it cannot be optimised away.
void* (*volatile g_allocate)(std::size_t) = ::operator new;

void Fail(Failure failure) {
    switch (failure) {
    case Failure::OutOfMemory:
        ::operator delete(g_allocate(0x7FFFFFF0u));
        break;
    case Failure::StdException:
        throw std::runtime_error("escaped");
    case Failure::OtherThrow:
        throw 7;
    }
}

struct FatalCase {
    const char* name;
    Failure failure;
    bool onWorker;
    bool guarded;  // caught around the run, else only by the last handler
    const char* line;
};


void RunCase(const FatalCase& c) {
    if (c.guarded) {
        RunGuarded(c.onWorker ? "worker" : "main", [&] {
            Fail(c.failure);
            return 0;
        });
    } else {
        // As from a window procedure: nothing above catches.
        [&]() noexcept { Fail(c.failure); }();
    }
}

DWORD WINAPI WorkerRoutine(LPVOID parameter) {
    RunCase(*static_cast<const FatalCase*>(parameter));
    return 0;
}

void RunAndReturn(const FatalCase& c) {
    InstallFatalErrorHandler();
    if (c.onWorker) {
        HANDLE thread = CreateThread(nullptr, 0, WorkerRoutine, const_cast<FatalCase*>(&c), 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
    } else {
        RunCase(c);
    }
    std::exit(0);  // not reached when the failure ended the process
}

class FatalErrors : public testing::TestWithParam<FatalCase> {};

TEST_P(FatalErrors, EndTheProcessWithCodeOneAfterOneLogLine) {
    const FatalCase& c = GetParam();
    DeleteInstallerLog();
    EXPECT_EXIT(RunAndReturn(c), testing::ExitedWithCode(1), "");
    std::vector<std::string> log = test::LogMessages();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FatalErrors,
    testing::Values(
        FatalCase{"OutOfMemoryOnWorker", Failure::OutOfMemory, true, true, "fatal error: out of memory thread=worker"},
        FatalCase{"OutOfMemoryOnMain", Failure::OutOfMemory, false, true, "fatal error: out of memory thread=main"},
        FatalCase{"ExceptionOnWorker", Failure::StdException, true, true,
                  "fatal error: unhandled exception thread=worker"},
        FatalCase{"OtherThrowOnMain", Failure::OtherThrow, false, true, "fatal error: unhandled exception thread=main"},
        FatalCase{"UncaughtOutOfMemoryOnWorker", Failure::OutOfMemory, true, false,
                  "fatal error: out of memory thread=any"},
        FatalCase{"UncaughtExceptionOnMain", Failure::StdException, false, false,
                  "fatal error: unhandled exception thread=any"}),
    [](const testing::TestParamInfo<FatalCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quilmo
