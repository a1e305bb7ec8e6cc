// The window's side of a run's reports: it decides what the controls show
// from the plain values the run reports.
#pragma once

#include "pipeline/run_reporter.h"

namespace quilmo {

// The window's reporter; it lives as long as the process, since a worker may
// outlive the window.
RunReporter& WindowReporter();

}  // namespace quilmo
