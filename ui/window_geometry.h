// Size of the main window for a screen's DPI: 480 by 305 logical pixels.
#pragma once

namespace quilmo {

struct WindowSize {
    int width;
    int height;
};

float UiScaleForDpi(int logPixelsX);
WindowSize MainWindowSize(float uiScale);
// Top-left corner that centres the window on a screen of the given size.
void CentredOrigin(int screenWidth, int screenHeight, WindowSize size, int& x, int& y);

}  // namespace quilmo
