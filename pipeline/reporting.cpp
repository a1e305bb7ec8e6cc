#include "pipeline/reporting.h"

#include <atomic>

#include "pipeline/installer_state.h"

namespace quilmo {

namespace {

SilentReporter g_silent;
std::atomic<RunReporter*> g_reporter{&g_silent};

}  // namespace

void ReportTo(RunReporter* reporter) { g_reporter = reporter != nullptr ? reporter : &g_silent; }

RunReporter& Reporter() { return *g_reporter.load(); }

void SetStatusText(const std::string& text) {
    State().statusText.Set(text);
    Reporter().Status(text);
}

void SetProgress(int percent) { Reporter().Progress(percent); }

}  // namespace quilmo
