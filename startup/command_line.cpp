#include "startup/command_line.h"

#include <wchar.h>

namespace quilmo {

namespace {

bool AnyArgumentIs(const std::vector<std::wstring>& args, const wchar_t* switchText) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (ArgumentEquals(args[i], switchText)) return true;
    }
    return false;
}

bool AnyArgumentIsOneOf(const std::vector<std::wstring>& args, std::initializer_list<const wchar_t*> switches) {
    for (const wchar_t* s : switches) {
        if (AnyArgumentIs(args, s)) return true;
    }
    return false;
}

}  // namespace

bool ArgumentEquals(const std::wstring& argument, const wchar_t* switchText) {
    return _wcsicmp(argument.c_str(), switchText) == 0;
}

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine result;
    // The private sub-commands are tested first, in this order; the first
    // match decides and the run-mode switches are then not looked at.
    if (AnyArgumentIs(args, kCleanupMachineSwitch)) {
        result.subCommand = SubCommand::CleanupMachine;
        return result;
    }
    if (AnyArgumentIs(args, kCleanupMachineComSwitch)) {
        result.subCommand = SubCommand::CleanupMachineCom;
        return result;
    }
    if (args.size() >= 2 && ArgumentEquals(args[1], L"--install-prereq")) {
        result.subCommand = SubCommand::InstallPrerequisite;
        return result;
    }
    result.silentMode = AnyArgumentIsOneOf(
        args, {L"/silent", L"-silent", L"--silent", L"/quiet", L"-quiet", L"--quiet"});
    result.autoMode = result.silentMode || AnyArgumentIsOneOf(args, {L"/auto", L"-auto", L"--auto"});
    return result;
}

}  // namespace quilmo
