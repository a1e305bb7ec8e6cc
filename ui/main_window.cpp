#include "ui/main_window.h"

#include <windows.h>
#include <dwmapi.h>
#include <gdiplus.h>

#include <shellapi.h>

#include "build_constants.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "pipeline/installer_state.h"
#include "pipeline/worker.h"
#include "probes/host_processes.h"
#include "startup/dll_hardening.h"
#include "ui/control_layout.h"
#include "ui/install_directory.h"
#include "ui/paint_tools.h"
#include "ui/window_state.h"

namespace quilmo {

const wchar_t kWindowClassName[] = L"InstallerClass";
const wchar_t kWindowTitle[] = L"奎墨 安装程序";

namespace {

Gdiplus::Image* g_logo = nullptr;
bool g_advancedExpanded = false;  // window thread only
bool g_hoverTracking = false;

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

float UiScale() { return Window().uiScale; }

int ClientWidth(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    return client.right - client.left;
}

// The window's frame: a thin rounded border that follows the region.
void PaintBorder(Gdiplus::Graphics& graphics, int width, int height, float s) {
    int d = Scaled(10, s);
    Gdiplus::GraphicsPath path;
    path.AddArc(0, 0, d, d, 180, 90);
    path.AddArc(width - d - 1, 0, d, d, 270, 90);
    path.AddArc(width - d - 1, height - d - 1, d, d, 0, 90);
    path.AddArc(0, height - d - 1, d, d, 90, 90);
    path.CloseFigure();
    Gdiplus::Pen pen(Gdiplus::Color(0xFFDCDCDC), 1.0f);
    graphics.DrawPath(&pen, &path);
}

void PaintLogo(Gdiplus::Graphics& graphics, int width, float s) {
    if (g_logo == nullptr || g_logo->GetLastStatus() != Gdiplus::Ok) return;
    int side = Scaled(64, s);
    int x = (width - side) / 2;
    int y = Scaled(30, s);
    graphics.DrawImage(g_logo, x, y, side, side);
    auto arial = UiFontFamily(L"Arial");
    auto font = UiFont(*arial, 13 * s);
    Gdiplus::SolidBrush brush(Gdiplus::Color(0xFF646464));
    // Centred in its small box by measuring it: a layout box smaller than
    // the mark's line would drop the glyph altogether.
    float boxX = static_cast<float>(x + side - Scaled(8, s));
    float boxY = static_cast<float>(y + Scaled(2, s));
    float boxSide = static_cast<float>(Scaled(14, s));
    Gdiplus::SizeF mark = MeasureText(graphics, L"\u00AE", *font);
    Gdiplus::PointF at(boxX + (boxSide - mark.Width) / 2, boxY + (boxSide - mark.Height) / 2);
    graphics.DrawString(L"\u00AE", 1, font.get(), at, &brush);
}

void PaintText(Gdiplus::Graphics& graphics, const std::wstring& text, float pixels, Gdiplus::Color colour,
               const Gdiplus::RectF& box, Gdiplus::StringFormat& format) {
    auto family = UiFontFamily();
    auto font = UiFont(*family, pixels);
    Gdiplus::SolidBrush brush(colour);
    graphics.DrawString(text.c_str(), static_cast<INT>(text.size()), font.get(), box, &format, &brush);
}

void PaintTitle(Gdiplus::Graphics& graphics, int width, float s) {
    Gdiplus::StringFormat format;
    SetCentredSingleLine(format);
    Gdiplus::RectF box(0, 110 * s, static_cast<float>(width), 35 * s);
    PaintText(graphics, SingleLineForDisplay(State().appName.Get()), 28 * s, Gdiplus::Color(0xFF212121), box, format);
}

void PaintDirectoryBox(Gdiplus::Graphics& graphics, int width, float s) {
    InstallerState& state = State();
    if (state.busy || !g_advancedExpanded) return;
    PixelRect box = DirectoryBoxRect(width, s);
    Gdiplus::GraphicsPath path;
    AddRoundedRect(path, box.x, box.y, box.width, box.height, Scaled(6, s));
    Gdiplus::SolidBrush fill(Gdiplus::Color(0xFFFAFAFA));
    graphics.FillPath(&fill, &path);
    Gdiplus::Pen outline(Gdiplus::Color(0xFFDCDCDC), 1.0f);
    graphics.DrawPath(&outline, &path);

    std::string shown = state.displayPath.Get();
    if (shown.empty()) shown = state.basePath.Get();
    Gdiplus::StringFormat format;
    format.SetAlignment(Gdiplus::StringAlignmentNear);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    Gdiplus::RectF textBox(static_cast<float>(box.x + Scaled(10, s)), static_cast<float>(box.y),
                           static_cast<float>(box.width - Scaled(20, s)), static_cast<float>(box.height));
    PaintText(graphics, Utf8ToWide(shown), 12 * s, Gdiplus::Color(0xFF3C3C3C), textBox, format);
}

void PaintStatusLine(Gdiplus::Graphics& graphics, int width, float s) {
    std::string status = State().statusText.Get();
    if (status.empty()) return;
    Gdiplus::StringFormat format;
    SetCentredSingleLine(format);
    Gdiplus::RectF box(0, static_cast<float>(Scaled(255, s)), static_cast<float>(width), 20 * s);
    PaintText(graphics, SingleLineForDisplay(Utf8ToWide(status)), 12 * s, Gdiplus::Color(0xFF787878), box, format);
}

void PaintScene(Gdiplus::Graphics& graphics, int width, int height) {
    float s = UiScale();
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
    graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
    graphics.Clear(Gdiplus::Color(0xFFFFFFFF));
    PaintBorder(graphics, width, height, s);
    PaintLogo(graphics, width, s);
    PaintTitle(graphics, width, s);
    PaintDirectoryBox(graphics, width, s);
    PaintStatusLine(graphics, width, s);
    for (const auto& control : Window().controls.All()) control->Paint(graphics);
}

// Drawn into a memory bitmap and copied in one go, so nothing flickers.
void PaintWindow(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    UniqueMemoryDc memory(CreateCompatibleDC(dc));
    UniqueGdiObject bitmap(memory ? CreateCompatibleBitmap(dc, width, height) : nullptr);
    if (bitmap) {
        HGDIOBJ previous = SelectObject(memory.get(), bitmap.get());
        {
            Gdiplus::Graphics graphics(memory.get());
            PaintScene(graphics, width, height);
        }
        BitBlt(dc, 0, 0, width, height, memory.get(), 0, 0, SRCCOPY);
        SelectObject(memory.get(), previous);
    }
    EndPaint(window, &paint);
}

void Repaint(HWND window) {
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}

POINT ClientPoint(LPARAM lParam) {
    return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}

POINT CursorInClient(HWND window) {
    POINT point = {};
    GetCursorPos(&point);
    ScreenToClient(window, &point);
    return point;
}

LRESULT HitTestNonClient(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
    if (hit != HTCLIENT) return hit;
    POINT point = ClientPoint(lParam);
    ScreenToClient(window, &point);
    // Empty spots drag the window; controls take the click.
    return Window().controls.HitTest(point.x, point.y) ? HTCLIENT : HTCAPTION;
}

// Width of a text in the checkbox's font, measured as its paint measures it.
float MeasureLabelWidth(HWND window, const std::wstring& text) {
    HDC dc = GetDC(window);
    if (dc == nullptr) return 0;
    float width = 0;
    {
        Gdiplus::Graphics graphics(dc);
        graphics.SetTextRenderingHint(Gdiplus::TextRenderingHintClearTypeGridFit);
        auto family = UiFontFamily();
        auto font = UiFont(*family, 12 * UiScale());
        width = MeasureText(graphics, text, *font).Width;
    }
    ReleaseDC(window, dc);
    return width;
}

bool OnSetCursor(HWND window) {
    POINT point = CursorInClient(window);
    UiElement* control = Window().controls.HitTest(point.x, point.y);
    bool hand = (control != nullptr && (control->kind == kChangeDirButton || control->kind == kAdvancedButton ||
                                        control->kind == kVersionTag)) ||
                IsOverAgreementLink(window, point.x, point.y);
    if (hand) SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
    return hand;
}

void OnMouseMove(HWND window, LPARAM lParam) {
    if (!g_hoverTracking) {
        TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, window, 0};
        TrackMouseEvent(&track);
        g_hoverTracking = true;
    }
    POINT point = ClientPoint(lParam);
    InstallerState& state = State();
    ControlList& controls = Window().controls;
    if (ApplyHover(controls, controls.HitTest(point.x, point.y), state.manifestFailed)) Repaint(window);
}

void OnMouseLeave(HWND window) {
    g_hoverTracking = false;
    if (ClearHover(Window().controls)) Repaint(window);
}

void ShowNetworkError(HWND window) {
    MessageBoxW(window, L"无法连接到服务器，安装不可用。\n\n请检查网络连接后重启安装程序。", L"网络错误",
                MB_ICONERROR);
}

void OnButtonDown(HWND window, LPARAM lParam) {
    POINT point = ClientPoint(lParam);
    InstallerState& state = State();
    UiElement* control = Window().controls.HitTest(point.x, point.y);
    if (control == nullptr) return;
    if (control->kind == kMainButton && state.manifestFailed) {
        ShowNetworkError(window);
        return;
    }
    control->state = kStatePressed;
    Repaint(window);
    SetCapture(window);
}

void SetWindowHeight(HWND window, int height) {
    RECT rect;
    GetWindowRect(window, &rect);
    int width = rect.right - rect.left;
    SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOMOVE);
    ApplyRoundedRegion(window, width, height, UiScale());
}

void SetAdvancedArea(HWND window, bool open, int advancedButtonY) {
    float s = UiScale();
    g_advancedExpanded = open;
    SetWindowHeight(window, WindowHeightForAdvanced(open, s));
    if (UiElement* change = Window().controls.Find(kChangeDirButton)) {
        PixelRect row = DirectoryBoxRect(ClientWidth(window), s);
        change->x = row.x + row.width + Scaled(8, s);
        change->y = row.y;
        change->width = Scaled(80, s);
        change->height = Scaled(36, s);
        change->visible = open;
    }
    if (UiElement* advanced = Window().controls.Find(kAdvancedButton)) {
        advanced->text.Set(open ? "收起" : "高级设置");
        advanced->y = advancedButtonY;
    }
}

void RestoreAfterFailedStart(HWND window) {
    InstallerState& state = State();
    state.busy = false;
    state.exitCode = 1;
    for (int kind : {kMainButton, kChangeDirButton}) {
        if (UiElement* control = Window().controls.Find(kind)) {
            control->state = kStateNormal;
            control->visible = true;
        }
    }
    Repaint(window);
}

void StartInstallation(HWND window) {
    InstallerState& state = State();
    float s = UiScale();
    state.busy = true;
    for (int kind : {kMainButton, kChangeDirButton}) {
        if (UiElement* control = Window().controls.Find(kind)) control->state = kStateDisabled;
    }
    if (UiElement* agreement = Window().controls.Find(kAgreementCheckbox)) agreement->visible = false;
    if (g_advancedExpanded) SetAdvancedArea(window, false, Scaled(305, s) - Scaled(40, s));
    Repaint(window);
    if (!StartWorker()) RestoreAfterFailedStart(window);
}

bool AgreementChecked() {
    auto* agreement = static_cast<CheckboxElement*>(Window().controls.Find(kAgreementCheckbox));
    return agreement != nullptr && agreement->checked;
}

// Office, WPS or the product's own programs hold the files: ask, then end them.
bool HostsClosedOrAbsent(HWND window) {
    if (!IsAnyHostProcessRunning()) return true;
    int answer = MessageBoxW(window,
                             L"Office 或 WPS 还在运行，点【确定】将为你强制彻底退出 Office 和 WPS 全部窗口，"
                             L"请确保文件已经保存。",
                             L"重要提示", MB_ICONQUESTION | MB_OKCANCEL);
    if (answer != IDOK) return false;
    TerminateHostProcesses();
    return true;
}

void OnMainButton(HWND window) {
    InstallerState& state = State();
    switch (CheckMainButton(state.manifestFailed, state.busy, state.manifestReady, AgreementChecked())) {
    case MainButtonGate::NetworkError:
        ShowNetworkError(window);
        return;
    case MainButtonGate::Busy:
        return;
    case MainButtonGate::NotReady:
        MessageBoxW(window, L"正在获取安装信息，请稍候...", L"提示", MB_ICONINFORMATION);
        return;
    case MainButtonGate::NotAgreed:
        MessageBoxW(window, L"请先阅读并同意用户协议", L"提示", MB_ICONWARNING);
        return;
    case MainButtonGate::Proceed:
        break;
    }
    if (!HostsClosedOrAbsent(window)) return;
    if (!IsDirectoryUsableByStandardUser(Utf8ToWide(state.basePath.Get()))) {
        MessageBoxW(window, L"当前安装目录不适合安装本插件。\n\n请点击“高级设置”选择其他目录。", L"目录不可用",
                    MB_ICONERROR);
        return;
    }
    StartInstallation(window);
}

void OpenPage(HWND window, const char* url) {
    ShellExecuteW(window, L"open", Utf8ToWide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void OnEnterOffice(HWND window) {
    std::wstring start = Utf8ToWide(State().targetPath.Get()) + L"QuilmoStart.pptx";
    if (GetFileAttributesW(start.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ShellExecuteW(window, L"open", start.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    } else {
        MessageBoxW(window, L"找不到 QuilmoStart.pptx 文件！", L"错误", MB_ICONERROR);
    }
}

void OnAgreement(HWND window, POINT point) {
    if (IsOverAgreementLink(window, point.x, point.y)) {
        OpenPage(window, kAgreementUrl);
    } else if (auto* agreement = static_cast<CheckboxElement*>(Window().controls.Find(kAgreementCheckbox))) {
        agreement->checked = !agreement->checked;
    }
    Repaint(window);
}

void PerformAction(HWND window, int kind, POINT point) {
    switch (kind) {
    case kMainButton:
        OnMainButton(window);
        break;
    case kChangeDirButton:
        if (!State().busy) ChooseInstallDirectory(window);
        break;
    case kCloseButton:
        PostMessageW(window, WM_CLOSE, 0, 0);
        break;
    case kEnterOfficeButton:
        OnEnterOffice(window);
        break;
    case kAdvancedButton:
        SetAdvancedArea(window, !g_advancedExpanded, Scaled(265, UiScale()));
        Repaint(window);
        break;
    case kAgreementCheckbox:
        OnAgreement(window, point);
        break;
    case kVersionTag:
        OpenPage(window, kReleaseNotesUrl);
        break;
    default:  // the progress bar does nothing
        break;
    }
}

void OnButtonUp(HWND window, LPARAM lParam) {
    UiElement* pressed = PressedControl(Window().controls);
    if (pressed == nullptr) return;
    POINT point = ClientPoint(lParam);
    bool stillOver = Window().controls.HitTest(point.x, point.y) == pressed;
    pressed->state = stillOver ? kStateHover : kStateNormal;
    ReleaseCapture();
    Repaint(window);
    if (stillOver) PerformAction(window, pressed->kind, point);
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

bool IsOverAgreementLink(HWND window, int x, int y) {
    auto* agreement = static_cast<CheckboxElement*>(Window().controls.Find(kAgreementCheckbox));
    if (agreement == nullptr) return false;
    std::wstring prefix = Utf8ToWide(agreement->prefixText.Get());
    std::wstring link = Utf8ToWide(agreement->linkText.Get());
    if (prefix.empty() || link.empty() || !agreement->Contains(x, y)) return false;
    PixelRect rect{agreement->x, agreement->y, agreement->width, agreement->height};
    int labelX = CheckboxLabelOrigin(rect, Window().uiScale).x;
    Span span = AgreementLinkSpan(labelX, MeasureLabelWidth(window, prefix), MeasureLabelWidth(window, link));
    return x >= span.left && x <= span.right;
}

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
    case WM_ERASEBKGND:
        return 1;  // the paint covers every pixel
    case WM_SETCURSOR:
        if (LOWORD(lParam) == HTCLIENT && OnSetCursor(window)) return TRUE;
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_MOUSEMOVE:
        OnMouseMove(window, lParam);
        return 0;
    case WM_MOUSELEAVE:
        OnMouseLeave(window);
        return 0;
    case WM_LBUTTONDOWN:
        OnButtonDown(window, lParam);
        return 0;
    case WM_LBUTTONUP:
        OnButtonUp(window, lParam);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace quilmo
