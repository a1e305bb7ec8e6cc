// How the worker and the manifest thread change what the window shows:
// they write the shared state and repaint synchronously. Callable from any
// thread; without a window they only update the state.
#pragma once

#include <string>

namespace quilmo {

// The main window's handle is set and still names a window.
bool MainWindowExists();

void SetStatusText(const std::string& text);
void RepaintWindow();
void SetProgress(int percent);

}  // namespace quilmo
