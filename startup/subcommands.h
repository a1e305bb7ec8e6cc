// The private sub-commands the installer starts on itself, elevated. None of
// them touches the log or the shared installer state.
#pragma once

#include <string>
#include <vector>

namespace quilmo {

// "--cleanup-hklm-only" and "--cleanup-hklm-com-only": 0 when the machine
// hive is clean afterwards, 1 when anything failed (the hive is then as it
// was before).
int RunMachineCleanupSubCommand();
int RunMachineComCleanupSubCommand();

// args as CommandLineToArgvW returns them: program, "--install-prereq",
// kind, path, SHA-256. Any other count of arguments gives 87; a malformed
// kind, path or hash gives 87 too, before anything is created.
int RunPrerequisiteSubCommand(const std::vector<std::wstring>& args);

}  // namespace quilmo
