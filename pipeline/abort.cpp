#include "pipeline/abort.h"

#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "startup/installer_log.h"

namespace quilmo {

namespace {

void ShowNormal(int kind) {
    if (UiElement* control = State().controls.Find(kind)) {
        control->state = kStateNormal;
        control->visible = true;
    }
}

}  // namespace

void RestoreStartButtons() {
    ShowNormal(kMainButton);
    ShowNormal(kChangeDirButton);
}

int AbortRun(const AbortRow& row) {
    InstallerState& state = State();
    for (const std::string& line : row.logLines) WriteLog(line);
    SetStatusText(row.statusText);
    state.busy = false;
    state.exitCode = row.code;
    RestoreStartButtons();
    RepaintWindow();
    if (!state.silentMode && !row.boxText.empty()) {
        HWND owner = state.mainWindow.load();
        if (owner != nullptr && !IsWindow(owner)) owner = nullptr;
        MessageBoxW(owner, row.boxText.c_str(), row.boxTitle.c_str(), row.boxIcon);
    }
    return row.code;
}

}  // namespace quilmo
