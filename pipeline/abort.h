// How a run gives up: one procedure for every abort of the install, so that
// each failure reaches the log, the status line, the exit code and (unless
// silent) a message box, and the user can start again.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quilmo {

struct AbortRow {
    std::vector<std::string> logLines;  // UTF-8, written in order
    std::string statusText;             // UTF-8
    int code = 1;
    std::wstring boxText;  // empty: this row shows no box
    std::wstring boxTitle;
    UINT boxIcon = MB_ICONERROR;
};

// Logs, sets the status, clears busy, stores the code, brings back the main
// and "更改 >" buttons and shows the box where someone watches. Returns the
// row's code for RunInstaller to return.
int AbortRun(const AbortRow& row);

// A message box of the run, through the reporter (a silent run shows
// nothing).
void ShowRunMessage(const std::wstring& text, const std::wstring& title, UINT icon);

// Asks for the main and "更改 >" buttons in their normal, visible state again.
void RestoreStartButtons();

}  // namespace quilmo
