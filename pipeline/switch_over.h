// What phase B adds to the run, and the steps both switch-overs share.
#pragma once

#include <string>

#include "manifest/payload_check.h"
#include "pipeline/abort.h"
#include "pipeline/install_run.h"
#include "pipeline/post_command.h"
#include "registration/registration_target.h"
#include "registration/registry_snapshot.h"

namespace quilmo {

// What phase B adds to the run.
struct SwitchOver {
    bool net48Present = false;
    PayloadCheck payload;
    bool isComPayload = false;
    RegistrationTarget registrationContext;
    InstallSnapshot snapshot;
    bool allowPrompts = false;
    bool vstoRestartNeeded = false;
    bool webView2Missing = false;
    std::wstring finalNote;
    PostCommandLaunch postCommand;
};

// Every failure after the snapshot was taken puts the registry back first.
int RestoreAndAbort(SwitchOver& sw, const AbortRow& row);

// The release's post-migration program; it has reported its own failure.
StepOutcome RunPostMigration(SwitchOver& sw);

// The legacy VSTO generation's switch-over: the VSTO runtime, the
// publisher certificates, the three VSTO add-ins under the snapshot, and the
// COM generation's registration removed.
StepOutcome SwitchOverLegacyVsto(const InstallRun& run, SwitchOver& sw);

}  // namespace quilmo
