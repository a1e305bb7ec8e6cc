// Where the worker and the manifest thread report: the reporter the entry
// point chose (the window's, or a silent one until then). Callable from any
// thread.
#pragma once

#include <string>

#include "pipeline/run_reporter.h"

namespace quilmo {

// Makes reporter the one every later report goes to; it must outlive every
// thread that reports. nullptr: the silent reporter again.
void ReportTo(RunReporter* reporter);
RunReporter& Reporter();

// Keeps the text as the run's status and reports it.
void SetStatusText(const std::string& text);
void SetProgress(int percent);

}  // namespace quilmo
