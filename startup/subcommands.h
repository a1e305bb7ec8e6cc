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
// kind, path, SHA-256. Malformed lines give 87 without touching the disk.
int RunPrerequisiteSubCommand(const std::vector<std::wstring>& args);

// The checks a prerequisite request must pass before anything is read.
bool IsWellFormedPrerequisiteRequest(const std::wstring& kind, const std::wstring& path, const std::wstring& sha256);

}  // namespace quilmo
