#include "ui/window_geometry.h"

namespace quilmo {

float UiScaleForDpi(int logPixelsX) { return static_cast<float>(logPixelsX) / 96.0f; }

WindowSize MainWindowSize(float uiScale) {
    return WindowSize{static_cast<int>(480 * uiScale), static_cast<int>(305 * uiScale)};
}

void CentredOrigin(int screenWidth, int screenHeight, WindowSize size, int& x, int& y) {
    x = (screenWidth - size.width) / 2;
    y = (screenHeight - size.height) / 2;
}

}  // namespace quilmo
