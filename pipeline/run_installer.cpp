#include "pipeline/run_installer.h"

#include "pipeline/install_run.h"
#include "pipeline/phase_a.h"
#include "pipeline/phase_b.h"

namespace quilmo {

int RunInstaller() {
    InstallRun run;  // owns the base lock until the run returns
    StepOutcome outcome = RunPhaseA(run);
    if (!outcome.goOn) return outcome.code;
    return RunPhaseB(run);
}

}  // namespace quilmo
