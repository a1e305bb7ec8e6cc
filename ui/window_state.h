// The window's own record: its handle, its scale and its drawn controls,
// which the window thread paints while the run's reports change them.
#pragma once

#include <windows.h>

#include <atomic>

#include "ui/controls.h"

namespace quilmo {

struct WindowState {
    float uiScale = 1.0f;
    std::atomic<HWND> mainWindow{nullptr};
    ControlList controls;
};

WindowState& Window();

// The main window's handle is set and still names a window.
bool MainWindowExists();

// Paints the window at once (nothing without one).
void RepaintWindow();

}  // namespace quilmo
