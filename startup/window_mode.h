// The interactive and auto runs: the drawn window, its message loop and the
// exit code once the window is gone.
#pragma once

namespace quilmo {

int RunWindowMode(int showCommand);

}  // namespace quilmo
