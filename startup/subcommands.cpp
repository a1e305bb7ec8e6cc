#include "startup/subcommands.h"

#include "registration/legacy_cleanup.h"
#include "files/text_encoding.h"
#include "startup/prerequisite_installer.h"

namespace quilmo {

namespace {

constexpr int kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr int kSuccess = 0;
constexpr int kFailure = 1;

}  // namespace

int RunMachineCleanupSubCommand() { return ElevatedMachineCleanup() ? kSuccess : kFailure; }
int RunMachineComCleanupSubCommand() { return ElevatedMachineComCleanup() ? kSuccess : kFailure; }

int RunPrerequisiteSubCommand(const std::vector<std::wstring>& args) {
    if (args.size() != 5) return kInvalidParameter;
    return RunPrerequisiteInstaller(args[2], args[3], WideToUtf8(args[4]));
}

}  // namespace quilmo
