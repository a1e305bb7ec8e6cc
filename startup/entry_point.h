// The process entry: reads the command line, runs a sub-command, the silent
// update or the window, and returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace quilmo {

int RunEntryPoint(const std::vector<std::wstring>& args, int showCommand);

}  // namespace quilmo
