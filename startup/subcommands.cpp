#include "startup/subcommands.h"

#include "registration/legacy_cleanup.h"
#include "startup/command_line.h"

namespace quilmo {

namespace {

constexpr int kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr int kSuccess = 0;
constexpr int kFailure = 1;

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

}  // namespace

int RunMachineCleanupSubCommand() { return ElevatedMachineCleanup() ? kSuccess : kFailure; }
int RunMachineComCleanupSubCommand() { return ElevatedMachineComCleanup() ? kSuccess : kFailure; }

bool IsWellFormedPrerequisiteRequest(const std::wstring& kind, const std::wstring& path, const std::wstring& sha256) {
    if (!ArgumentEquals(kind, L"net48") && !ArgumentEquals(kind, L"webview2")) return false;
    if (path.empty()) return false;
    if (sha256.size() != 64) return false;
    for (wchar_t c : sha256) {
        if (!IsHexDigit(c)) return false;
    }
    return true;
}

int RunPrerequisiteSubCommand(const std::vector<std::wstring>& args) {
    if (args.size() != 5) return kInvalidParameter;
    if (!IsWellFormedPrerequisiteRequest(args[2], args[3], args[4])) return kInvalidParameter;
    // The prerequisite runner is not in place yet: nothing is installed and
    // the request fails.
    return kFailure;
}

}  // namespace quilmo
