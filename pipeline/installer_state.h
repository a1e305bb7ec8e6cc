// The one process-wide record through which the entry point, the window, the
// manifest thread and the worker cooperate. Flags that threads exchange are
// atomics; texts are shared texts, copied out for painting.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "files/unique_handle.h"
#include "pipeline/shared_text.h"
#include "ui/controls.h"

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

    float uiScale = 1.0f;
    std::atomic<HWND> mainWindow{nullptr};
    UniqueHandle workerThread;
    ControlList controls;
};

InstallerState& State();

}  // namespace quilmo
