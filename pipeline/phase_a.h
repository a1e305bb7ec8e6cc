// The first half of an installation: from the signed manifest to every
// listed file lying verified in the new version's directory. Changes neither
// the registry nor the installed version.
#pragma once

#include "pipeline/install_run.h"

namespace quilmo {

// Runs the steps in order. Ends the run (with its code) on an abort or a
// cancellation; goes on when phase B may follow.
StepOutcome RunPhaseA(InstallRun& run);

}  // namespace quilmo
