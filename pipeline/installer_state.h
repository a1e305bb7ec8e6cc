// The one process-wide record of a run, through which the entry point, the
// window, the manifest thread and the worker cooperate. Plain data: flags
// that threads exchange are atomics, texts are shared texts that readers
// copy out. How the window looks is the window's own record.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "files/unique_handle.h"
#include "pipeline/shared_text.h"

namespace quilmo {

extern const wchar_t kProductDisplayName[];  // "奎墨"
extern const wchar_t kTagline[];             // the built-in product description

struct InstallerState {
    // Fixed while the command line is parsed, before any thread starts.
    bool autoMode = false;
    bool silentMode = false;

    std::atomic<bool> manifestReady{false};
    std::atomic<bool> manifestFailed{false};
    std::atomic<bool> busy{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> completed{false};
    std::atomic<int> exitCode{0};

    // Written before manifestReady is set, read only after it was seen set.
    std::string cachedManifest;
    SharedText<std::string> manifestVersion;
    SharedText<std::string> installedVersion;
    std::atomic<bool> existingInstall{false};

    SharedText<std::wstring> appName{kProductDisplayName};
    SharedText<std::wstring> appDescription{kTagline};
    SharedText<std::string> statusText;

    SharedText<std::string> basePath;
    SharedText<std::string> targetPath;
    SharedText<std::string> displayPath;

    UniqueHandle workerThread;
};

InstallerState& State();

}  // namespace quilmo
