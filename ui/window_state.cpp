#include "ui/window_state.h"

namespace quilmo {

WindowState& Window() {
    static WindowState window;
    return window;
}

bool MainWindowExists() {
    HWND window = Window().mainWindow.load();
    return window != nullptr && IsWindow(window);
}

void RepaintWindow() {
    if (!MainWindowExists()) return;
    HWND window = Window().mainWindow.load();
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}

}  // namespace quilmo
