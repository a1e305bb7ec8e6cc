#include "ui/main_window.h"

#include <windows.h>
#include <dwmapi.h>
#include <gdiplus.h>

#include "files/unique_handle.h"
#include "pipeline/installer_state.h"
#include "startup/dll_hardening.h"

namespace quilmo {

const wchar_t kWindowClassName[] = L"InstallerClass";
const wchar_t kWindowTitle[] = L"奎墨 安装程序";

namespace {

Gdiplus::Image* g_logo = nullptr;

using DwmIsCompositionEnabledFn = HRESULT(WINAPI*)(BOOL*);
using DwmExtendFrameIntoClientAreaFn = HRESULT(WINAPI*)(HWND, const MARGINS*);
using DwmSetWindowAttributeFn = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);

template <typename Fn>
Fn LookUp(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void ExtendFrame(HWND window, int margin) {
    UniqueModule dwm(LoadSystemLibrary(L"dwmapi.dll"));
    if (!dwm) return;
    auto isEnabled = LookUp<DwmIsCompositionEnabledFn>(dwm.get(), "DwmIsCompositionEnabled");
    auto extend = LookUp<DwmExtendFrameIntoClientAreaFn>(dwm.get(), "DwmExtendFrameIntoClientArea");
    BOOL enabled = FALSE;
    if (isEnabled && SUCCEEDED(isEnabled(&enabled)) && enabled && extend) {
        MARGINS margins = {margin, margin, margin, margin};
        extend(window, &margins);
    }
}

void PaintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    {
        Gdiplus::Graphics graphics(dc);
        for (const auto& control : State().controls.All()) {
            if (control->visible) control->Paint(graphics);
        }
    }
    EndPaint(window, &paint);
}

LRESULT HitTestNonClient(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
    if (hit != HTCLIENT) return hit;
    POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    ScreenToClient(window, &point);
    // Empty spots drag the window; controls take the click.
    return State().controls.HitTest(point.x, point.y) ? HTCLIENT : HTCAPTION;
}

void OnDestroy() {
    InstallerState& state = State();
    if (state.busy) {
        state.cancelRequested = true;
        state.exitCode = 1;
    }
    PostQuitMessage(0);
}

}  // namespace

bool RegisterInstallerWindowClass(HINSTANCE instance) {
    // A Unicode class, so the Chinese title reaches the taskbar intact on a
    // system whose ANSI code page has no Chinese.
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = InstallerWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hIcon = static_cast<HICON>(
        LoadImageA(nullptr, "src\\logo.ico", IMAGE_ICON, 0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE | LR_SHARED));
    if (windowClass.hIcon == nullptr) {
        // The executable carries the same icon; a taskbar entry without one
        // looks broken to users.
        windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    }
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClassName;
    return RegisterClassExW(&windowClass) != 0;
}

HWND CreateInstallerWindow(HINSTANCE instance, int x, int y, int width, int height) {
    return CreateWindowExW(WS_EX_APPWINDOW, kWindowClassName, kWindowTitle, WS_POPUP | WS_VISIBLE | WS_MINIMIZEBOX, x,
                           y, width, height, nullptr, nullptr, instance, nullptr);
}

void ApplyRoundedRegion(HWND window, int width, int height, float uiScale) {
    int ellipse = static_cast<int>(10 * uiScale);
    UniqueRegion region(CreateRoundRectRgn(0, 0, width + 1, height + 1, ellipse, ellipse));
    // On success the window owns the region.
    if (region && SetWindowRgn(window, region.get(), TRUE)) region.release();
}

void ApplyDwmFrame(HWND window) {
    ExtendFrame(window, 1);
    UniqueModule dwm(LoadSystemLibrary(L"dwmapi.dll"));
    if (!dwm) return;
    if (auto setAttribute = LookUp<DwmSetWindowAttributeFn>(dwm.get(), "DwmSetWindowAttribute")) {
        DWORD round = 2;  // DWMWCP_ROUND for DWMWA_WINDOW_CORNER_PREFERENCE (33)
        setAttribute(window, 33, &round, sizeof(round));
    }
}

void SetLogoImage(Gdiplus::Image* logo) { g_logo = logo; }

LRESULT CALLBACK InstallerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        ExtendFrame(window, -1);
        return 0;
    case WM_NCHITTEST:
        return HitTestNonClient(window, message, wParam, lParam);
    case WM_PAINT:
        PaintWindow(window);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace quilmo
