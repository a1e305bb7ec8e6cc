// The release's own post-migration program: vetted three times before the
// registry is touched (allow-list, presence, the maker's signature), then run
// hidden with a time limit while the new registration is in place; its
// failure rolls the registration back.
#pragma once

#include <windows.h>

#include <string>

#include "pipeline/install_run.h"

namespace quilmo {

struct PostCommandLaunch {
    std::string command;   // the manifest's "Cmd"; empty: there is no command
    std::wstring fullPath;  // in the version directory; filled by the pre-checks
    std::wstring workingDirectory;
};

const DWORD kPostCommandTimeLimitMs = 60000;

// The pre-checks; ends the run with its abort row on the first failure.
// Without a command there is nothing to check. Fills launch.
StepOutcome CheckPostCommand(const InstallRun& run, PostCommandLaunch& launch);

// True when there is no command or it ended with exit code 0 within the time
// limit. On false the failure has been reported (status, exit code, box) and
// the caller restores the registration.
bool RunPostCommand(const PostCommandLaunch& launch);
bool RunPostCommandWith(const PostCommandLaunch& launch, DWORD timeLimitMs);

}  // namespace quilmo
