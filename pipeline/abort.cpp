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

void ShowRunMessage(const std::wstring& text, const std::wstring& title, UINT icon) {
    if (State().silentMode) return;
    HWND owner = MainWindowExists() ? State().mainWindow.load() : nullptr;
    MessageBoxW(owner, text.c_str(), title.c_str(), icon);
}

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
    if (!row.boxText.empty()) ShowRunMessage(row.boxText, row.boxTitle, row.boxIcon);
    return row.code;
}

}  // namespace quilmo
