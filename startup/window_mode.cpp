#include "startup/window_mode.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>

#include "files/unique_handle.h"
#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "pipeline/worker.h"
#include "startup/dll_hardening.h"
#include "startup/shutdown.h"
#include "ui/caption_rule.h"
#include "ui/main_window.h"
#include "ui/window_geometry.h"
#include "ui/window_reporter.h"
#include "ui/window_state.h"

namespace quilmo {

namespace {

constexpr int kLogoResourceId = 102;
constexpr DWORD kShutdownWaitMs = 10000;

class GdiplusSession {
public:
    GdiplusSession() {
        // GDI+ is delay-loaded: make sure it exists before its first call,
        // which would otherwise end the process.
        library_.reset(LoadSystemLibrary(L"gdiplus.dll"));
        if (!library_) return;
        Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback
        started_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiplusSession() {
        if (started_) Gdiplus::GdiplusShutdown(token_);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    bool Started() const { return started_; }

private:
    UniqueModule library_;
    ULONG_PTR token_ = 0;
    bool started_ = false;
};

std::unique_ptr<Gdiplus::Image> LoadLogoFromResource() {
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(kLogoResourceId), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (resource == nullptr) return nullptr;
    DWORD size = SizeofResource(nullptr, resource);
    HGLOBAL loaded = LoadResource(nullptr, resource);
    const void* bytes = loaded ? LockResource(loaded) : nullptr;
    if (bytes == nullptr || size == 0) return nullptr;

    UniqueGlobalMemory copy(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!copy) return nullptr;
    void* target = GlobalLock(copy.get());
    if (target == nullptr) return nullptr;
    std::memcpy(target, bytes, size);
    GlobalUnlock(copy.get());

    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(copy.get(), TRUE, &stream))) return nullptr;
    copy.release();  // the stream frees the block
    std::unique_ptr<Gdiplus::Image> image(Gdiplus::Image::FromStream(stream));
    stream->Release();
    if (image && image->GetLastStatus() != Gdiplus::Ok) image.reset();
    return image;
}

std::unique_ptr<Gdiplus::Image> LoadLogo(bool gdiplusStarted) {
    if (!gdiplusStarted) return nullptr;
    std::unique_ptr<Gdiplus::Image> logo = LoadLogoFromResource();
    if (!logo) logo.reset(Gdiplus::Image::FromFile(L"src\\logo.png"));
    return logo;
}

float ScreenUiScale() {
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSX) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return UiScaleForDpi(dpi);
}

void CreateControls() {
    InstallerState& state = State();
    std::string caption = MainButtonCaption(state.existingInstall, state.installedVersion.Get(), std::string());
    CreateMainWindowControls(Window().controls, Window().uiScale, caption);
    state.displayPath.Set(state.basePath.Get());
}

void SetControl(int kind, int controlState, bool visible) {
    if (UiElement* control = Window().controls.Find(kind)) {
        if (controlState >= 0) control->state = controlState;
        control->visible = visible;
    }
}

void StartAutoUpdate() {
    InstallerState& state = State();
    state.busy = true;
    SetControl(kMainButton, kStateDisabled, false);
    SetControl(kChangeDirButton, kStateDisabled, false);
    SetControl(kAdvancedButton, -1, false);
    SetControl(kAgreementCheckbox, -1, false);
    SetStatusText("正在准备自动更新...");
    SetProgress(1);
    if (!StartWorker()) {
        state.busy = false;
        state.exitCode = 1;
    }
}

int RunMessageLoop() {
    MSG message;
    BOOL result;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (result == -1) return 0;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

ShutdownFacts WaitForWorker(int quitWParam) {
    InstallerState& state = State();
    ShutdownFacts facts;
    facts.quitWParam = quitWParam;
    facts.workerExists = state.workerThread.valid();
    if (facts.workerExists) {
        facts.waitTimedOut = WaitForSingleObject(state.workerThread.get(), kShutdownWaitMs) != WAIT_OBJECT_0;
        facts.completed = state.completed;
        facts.cancelRequested = state.cancelRequested;
        DWORD code = 0;
        facts.workerCodeReadable = GetExitCodeThread(state.workerThread.get(), &code) != 0;
        facts.workerCode = code;
    }
    facts.exitCode = state.exitCode;
    return facts;
}

bool WorkerStillRunning() {
    return State().workerThread && WaitForSingleObject(State().workerThread.get(), 0) == WAIT_TIMEOUT;
}

int ShutDown(int quitWParam) {
    InstallerState& state = State();
    ShutdownFacts facts = WaitForWorker(quitWParam);
    state.exitCode = SharedExitCodeAfterShutdown(facts);
    return WindowModeExitCode(facts);
}

}  // namespace

int RunWindowMode(int showCommand) {
    InstallerState& state = State();
    SetProcessDPIAware();
    GdiplusSession gdiplus;
    std::unique_ptr<Gdiplus::Image> logo = LoadLogo(gdiplus.Started());
    SetLogoImage(logo.get());

    HINSTANCE instance = GetModuleHandleW(nullptr);
    RegisterInstallerWindowClass(instance);
    Window().uiScale = ScreenUiScale();
    WindowSize size = MainWindowSize(Window().uiScale);
    int x = 0, y = 0;
    CentredOrigin(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), size, x, y);
    HWND window = CreateInstallerWindow(instance, x, y, size.width, size.height);
    if (window == nullptr) {
        SetLogoImage(nullptr);
        return 0;
    }
    Window().mainWindow = window;
    CreateControls();
    ReportTo(&WindowReporter());

    ShowWindow(window, showCommand);
    UpdateWindow(window);
    ApplyRoundedRegion(window, size.width, size.height, Window().uiScale);
    ApplyDwmFrame(window);

    if (state.autoMode) {
        StartAutoUpdate();
    } else {
        StartManifestThread();
    }

    int quitWParam = RunMessageLoop();
    int code = ShutDown(quitWParam);
    Window().mainWindow = nullptr;
    // A worker that outlived the wait, or a manifest thread still fetching,
    // may yet touch the controls: those are then left to the process exit.
    bool backgroundThreadLeft = WorkerStillRunning() || ManifestThreadRunning();
    state.workerThread.reset();
    if (!backgroundThreadLeft) Window().controls.Clear();
    SetLogoImage(nullptr);
    logo.reset();
    return code;
}

}  // namespace quilmo
