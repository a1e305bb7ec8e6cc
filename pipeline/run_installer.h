// The install procedure. Returns the run's exit code: 0 success, 1 failure or
// abort, 2 .NET Framework 4.8 missing, 3 account mismatch, 3010 restart needed.
#pragma once

namespace quilmo {

int RunInstaller();

}  // namespace quilmo
