// The installer's borderless main window: its class, procedure and the
// pieces of its creation that the window mode performs in order.
#pragma once

#include <windows.h>

namespace Gdiplus {
class Image;
}

namespace quilmo {

extern const wchar_t kWindowClassName[];  // "InstallerClass"
extern const wchar_t kWindowTitle[];   // "奎墨 安装程序"

bool RegisterInstallerWindowClass(HINSTANCE instance);
HWND CreateInstallerWindow(HINSTANCE instance, int x, int y, int width, int height);

// Rounded corners for a window of the given size: a GDI region and, where
// the Desktop Window Manager offers it, its own rounding.
void ApplyRoundedRegion(HWND window, int width, int height, float uiScale);
void ApplyDwmFrame(HWND window);

// The logo the window paints; owned by the window mode.
void SetLogoImage(Gdiplus::Image* logo);

// Whether a client point lies over the underlined "用户协议" of the agreement.
bool IsOverAgreementLink(HWND window, int x, int y);

LRESULT CALLBACK InstallerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace quilmo
