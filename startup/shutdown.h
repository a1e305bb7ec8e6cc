// The exit code of a window-mode run, decided once the message loop ended.
// Kept free of Win32 calls so every branch can be checked on its own.
#pragma once

namespace quilmo {

struct ShutdownFacts {
    bool workerExists = false;
    bool waitTimedOut = false;       // the worker outlived the 10 s wait
    bool completed = false;          // RunInstaller reached its successful end
    bool cancelRequested = false;    // the window was closed during a run
    bool workerCodeReadable = false; // GetExitCodeThread succeeded
    unsigned long workerCode = 0;    // the worker's thread exit code
    int exitCode = 0;                // the shared exit code before shut-down
    int quitWParam = 0;              // wParam of WM_QUIT
};

// Returns the exit code the shared state holds after shut-down.
int SharedExitCodeAfterShutdown(const ShutdownFacts& facts);

// Returns the process exit code of a window-mode run.
int WindowModeExitCode(const ShutdownFacts& facts);

}  // namespace quilmo
