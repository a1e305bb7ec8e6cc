#include "startup/shutdown.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

struct ShutdownCase {
    const char* name;
    ShutdownFacts facts;
    int expectedExitCode;
};

ShutdownFacts Facts(bool workerExists, bool timedOut, bool completed, bool cancel, bool readable, unsigned long code,
                    int exitCode, int quit = 0) {
    ShutdownFacts f;
    f.workerExists = workerExists;
    f.waitTimedOut = timedOut;
    f.completed = completed;
    f.cancelRequested = cancel;
    f.workerCodeReadable = readable;
    f.workerCode = code;
    f.exitCode = exitCode;
    f.quitWParam = quit;
    return f;
}

class ShutdownTable : public testing::TestWithParam<ShutdownCase> {};

TEST_P(ShutdownTable, DecidesProcessExitCode) {
    EXPECT_EQ(WindowModeExitCode(GetParam().facts), GetParam().expectedExitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShutdownTable,
    testing::Values(
        // Closing without ever starting an installation, also after a failed manifest fetch.
        ShutdownCase{"NoWorkerNeverStarted", Facts(false, false, false, false, false, 0, 0), 0},
        ShutdownCase{"NoWorkerQuitCodeUsed", Facts(false, false, false, false, false, 0, 0, 7), 7},
        ShutdownCase{"AutoStartFailedKeepsOne", Facts(false, false, false, false, false, 0, 1), 1},
        // Closing during the downloads.
        ShutdownCase{"CancelledDuringRun", Facts(true, false, false, true, true, 0, 1), 1},
        ShutdownCase{"CancelledWorkerSaidZero", Facts(true, false, false, true, true, 0, 0), 1},
        ShutdownCase{"WaitTimedOut", Facts(true, true, false, false, true, 259, 0), 1},
        ShutdownCase{"WaitTimedOutAfterCompletion", Facts(true, true, true, false, true, 259, 0), 1},
        // Closing after the run ended.
        ShutdownCase{"CompletedSuccess", Facts(true, false, true, false, true, 0, 0), 0},
        ShutdownCase{"CompletedRestartNeeded", Facts(true, false, true, false, true, 3010, 0), 3010},
        ShutdownCase{"CompletedBeatsLateCancel", Facts(true, false, true, true, true, 0, 1), 0},
        ShutdownCase{"AbortCodeFromWorker", Facts(true, false, false, false, true, 2, 2), 2},
        ShutdownCase{"AccountMismatch", Facts(true, false, false, false, true, 3, 0), 3},
        ShutdownCase{"WorkerZeroKeepsSharedAbort", Facts(true, false, false, false, true, 0, 1), 1},
        ShutdownCase{"UnreadableCodeKeepsShared", Facts(true, false, false, false, false, 0, 1), 1},
        ShutdownCase{"StillActiveCodeIgnored", Facts(true, false, false, false, true, 259, 0), 0},
        ShutdownCase{"StillActiveKeepsSharedAbort", Facts(true, false, false, false, true, 259, 1), 1}),
    [](const testing::TestParamInfo<ShutdownCase>& info) { return info.param.name; });

TEST(Shutdown, SharedCodeIsWhatTheProcessReturnsUnlessZero) {
    ShutdownFacts completed = Facts(true, false, true, false, true, 0, 5, 9);
    EXPECT_EQ(SharedExitCodeAfterShutdown(completed), 0);
    EXPECT_EQ(WindowModeExitCode(completed), 9);
}

}  // namespace
}  // namespace quilmo
