// Runs a program with the test as its debugger and records every library the
// loader maps into it (and into the processes it starts), including the ones
// that are unloaded again before the run ends, and whether each was mapped
// before the program's own first instruction.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quilmo::test {

struct MappedLibrary {
    std::wstring path;  // as the loader reports it, e.g. C:\windows\system32\secur32.dll
    bool beforeEntry;   // mapped before its process reached its entry point
};

struct TracedRun {
    std::vector<MappedLibrary> libraries;  // in the order they were mapped
    int exitCode = -1;                     // of the first process; -1 when it had to be killed
};

// The lower-case file name, with a ".dll" extension dropped as in Wine's DLL
// overrides: "secur32" for the path above, "winex11.drv" for a driver.
std::wstring LibraryName(const std::wstring& path);

class LoaderTrace {
public:
    LoaderTrace() = default;
    ~LoaderTrace();
    LoaderTrace(const LoaderTrace&) = delete;
    LoaderTrace& operator=(const LoaderTrace&) = delete;

    // Starts the command line in the folder; every process of the run is
    // killed once timeoutMs have passed. False when it could not be started.
    bool Start(const std::wstring& commandLine, const std::wstring& folder, DWORD timeoutMs);
    DWORD ProcessId();
    // Waits until the program's own code has started a thread and every such
    // thread has ended (the window's background work is done).
    bool WaitForOwnThreadsDone(DWORD timeoutMs);
    // Ends every process of the run (its exit code then reads -1).
    void Kill();
    // Waits until every process of the run has ended.
    TracedRun Finish();

private:
    void Debug(std::wstring commandLine, std::wstring folder, DWORD timeoutMs);

    std::thread debugger_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool startReported_ = false;
    bool killRequested_ = false;
    DWORD processId_ = 0;
    int ownThreadsStarted_ = 0;
    int ownThreadsRunning_ = 0;
    TracedRun run_;
};

}  // namespace quilmo::test
