#include "pipeline/abort.h"

#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "startup/installer_log.h"

namespace quilmo {

void ShowRunMessage(const std::wstring& text, const std::wstring& title, UINT icon) {
    Reporter().Box(text, title, icon);
}

void RestoreStartButtons() { Reporter().Buttons(StartButtons::Restored); }

int AbortRun(const AbortRow& row) {
    InstallerState& state = State();
    for (const std::string& line : row.logLines) WriteLog(line);
    SetStatusText(row.statusText);
    state.busy = false;
    state.exitCode = row.code;
    RestoreStartButtons();
    if (!row.boxText.empty()) ShowRunMessage(row.boxText, row.boxTitle, row.boxIcon);
    return row.code;
}

}  // namespace quilmo
