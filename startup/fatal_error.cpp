#include "startup/fatal_error.h"

#include <windows.h>

#include <string>

#include "startup/installer_log.h"

namespace quilmo {

namespace {

void LogFatalError(const char* thread, const char* what) noexcept {
    try {  // writing the line may itself need memory
        WriteLog(std::string("fatal error: ") + what + " thread=" + thread);
    } catch (...) {
    }
}

[[noreturn]] void OnTerminate() noexcept {
    const char* what = "unhandled exception";
    if (std::exception_ptr escaped = std::current_exception()) {
        try {
            std::rethrow_exception(escaped);
        } catch (const std::bad_alloc&) {
            what = "out of memory";
        } catch (...) {
        }
    }
    EndProcessAfterFatalError("any", what);
}

}  // namespace

void EndProcessAfterFatalError(const char* thread, const char* what) noexcept {
    LogFatalError(thread, what);
    // Not ExitProcess: other threads may hold the heap or the loader lock in
    // a state no clean-up should touch now.
    TerminateProcess(GetCurrentProcess(), 1);
    for (;;) Sleep(INFINITE);  // not reached
}

void InstallFatalErrorHandler() { std::set_terminate(OnTerminate); }

}  // namespace quilmo
