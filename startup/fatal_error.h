// The last line of defence of a run: memory exhausted, or an exception that
// no part caught. Left alone, such a run ends with whatever code the runtime
// picks (3, which a silent run's caller reads as "another account"), so the
// process ends with 1, the code of a failed run, after one log line.
#pragma once

#include <exception>
#include <new>

namespace quilmo {

// Logs "fatal error: " + what + " thread=" + thread and ends the process with
// exit code 1, whatever the mode; nothing of the run is unwound further.
[[noreturn]] void EndProcessAfterFatalError(const char* thread, const char* what) noexcept;

// Makes an exception that escapes everything (std::terminate, on any thread)
// end the process the same way. Installed once, before any thread starts.
void InstallFatalErrorHandler();

// Runs body on the calling thread; an exception that escapes it ends the
// process as above, named after the thread.
template <typename Body>
int RunGuarded(const char* thread, Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        EndProcessAfterFatalError(thread, "out of memory");
    } catch (...) {
        EndProcessAfterFatalError(thread, "unhandled exception");
    }
}

}  // namespace quilmo
