#include "pipeline/switch_over.h"

namespace quilmo {

int RestoreAndAbort(SwitchOver& sw, const AbortRow& row) {
    RestoreInstallSnapshot(sw.registrationContext, sw.snapshot);
    DiscardInstallSnapshot(&sw.snapshot);
    return AbortRun(row);
}

StepOutcome RunPostMigration(SwitchOver& sw) {
    if (RunPostCommand(sw.postCommand)) return StepOutcome::Continue();
    RestoreInstallSnapshot(sw.registrationContext, sw.snapshot);
    DiscardInstallSnapshot(&sw.snapshot);
    return StepOutcome::End(1);
}

}  // namespace quilmo
