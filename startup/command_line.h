// Reading the installer's command line into a run mode. Every comparison is
// of one whole argument without regard to case; argument 0 (the program) is
// never looked at.
#pragma once

#include <string>
#include <vector>

namespace quilmo {

// The private switches of the elevated machine-hive cleanups.
inline constexpr wchar_t kCleanupMachineSwitch[] = L"--cleanup-hklm-only";
inline constexpr wchar_t kCleanupMachineComSwitch[] = L"--cleanup-hklm-com-only";

enum class SubCommand {
    None,                 // a normal installing run
    CleanupMachine,       // "--cleanup-hklm-only"
    CleanupMachineCom,    // "--cleanup-hklm-com-only"
    InstallPrerequisite,  // "--install-prereq" as the first argument
};

struct CommandLine {
    SubCommand subCommand = SubCommand::None;
    bool autoMode = false;
    bool silentMode = false;  // implies autoMode
};

// args[0] is the program name, as CommandLineToArgvW returns it.
CommandLine ParseCommandLine(const std::vector<std::wstring>& args);

// Case-insensitive comparison of two whole arguments.
bool ArgumentEquals(const std::wstring& argument, const wchar_t* switchText);

}  // namespace quilmo
