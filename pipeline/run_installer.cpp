#include "pipeline/run_installer.h"

#include "pipeline/installer_state.h"
#include "startup/installer_log.h"

namespace quilmo {

// The ordered install steps are not in place yet: a run ends as a failure and
// never claims success.
int RunInstaller() {
    InstallerState& state = State();
    state.completed = false;
    state.exitCode = 0;
    WriteLog("RunInstaller begin");
    WriteLog("RunInstaller not available in this build");
    state.exitCode = 1;
    state.busy = false;
    return 1;
}

}  // namespace quilmo
