#include "startup/shutdown.h"

namespace quilmo {

namespace {
constexpr unsigned long kStillActive = 259;
}

int SharedExitCodeAfterShutdown(const ShutdownFacts& facts) {
    if (!facts.workerExists) return facts.exitCode;
    if (facts.waitTimedOut) return 1;
    if (!facts.completed && facts.cancelRequested) return 1;
    if (!facts.workerCodeReadable || facts.workerCode == kStillActive) return facts.exitCode;
    int workerCode = static_cast<int>(facts.workerCode);
    if (facts.completed) return workerCode;
    // A worker that ended without completing keeps an abort code it set
    // itself; a zero from it must not hide that failure.
    return workerCode != 0 ? workerCode : facts.exitCode;
}

int WindowModeExitCode(const ShutdownFacts& facts) {
    int code = SharedExitCodeAfterShutdown(facts);
    return code != 0 ? code : facts.quitWParam;
}

}  // namespace quilmo
