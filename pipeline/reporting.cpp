#include "pipeline/reporting.h"

#include <windows.h>

#include "pipeline/installer_state.h"

namespace quilmo {

namespace {

void HideControl(int kind) {
    if (UiElement* control = State().controls.Find(kind)) control->visible = false;
}

}  // namespace

bool MainWindowExists() {
    HWND window = State().mainWindow.load();
    return window != nullptr && IsWindow(window);
}

void SetStatusText(const std::string& text) {
    State().statusText.Set(text);
    RepaintWindow();
}

void RepaintWindow() {
    if (!MainWindowExists()) return;
    HWND window = State().mainWindow.load();
    InvalidateRect(window, nullptr, FALSE);
    UpdateWindow(window);
}

void SetProgress(int percent) {
    ProgressBarElement* bar = State().controls.ProgressBar();
    if (bar == nullptr || !MainWindowExists()) return;
    bar->visible = percent < 100;
    float fraction = static_cast<float>(percent) / 100.0f;
    bar->progress = fraction > 1.0f ? 1.0f : fraction;
    if (State().busy) {
        HideControl(kMainButton);
        HideControl(kChangeDirButton);
        HideControl(kAdvancedButton);
        HideControl(kAgreementCheckbox);
    }
    RepaintWindow();
}

}  // namespace quilmo
