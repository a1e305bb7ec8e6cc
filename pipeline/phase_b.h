// The second half of an installation: decide what the downloaded version is,
// make sure its prerequisites are there, switch the add-in's registration
// over under a snapshot that is put back on any failure, then the best-effort
// tail (fonts, shortcuts, WebView2, native images, old versions) and
// completion.
#pragma once

#include "pipeline/install_run.h"

namespace quilmo {

// Runs after phase A went on; returns RunInstaller's result.
int RunPhaseB(InstallRun& run);

}  // namespace quilmo
