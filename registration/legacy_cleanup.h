// Removal of the add-in's older generations (the VSTO add-in, the 2024 and
// earlier COM add-ins, their ProgIDs and the old Uninstall entry), removal of
// the current COM registration when the VSTO add-in goes back in, and the
// probes that prove a hive clean afterwards. A probe that cannot read an
// entry reports Unknown, which callers treat like Present.
#pragma once

#include <string>

#include "registration/registration_target.h"
#include "registration/registry.h"

namespace quilmo {

// --- Removals: every removal is attempted even after a failure; an entry
// already gone counts as removed. With strictMachine false the machine-hive
// removals (made only when writeMachine is set) do not count.

bool RemoveLegacyVstoRegistration(const RegistrationTarget& target, bool strictMachine);
// The legacy Office and WPS entries, the legacy COM ProgIDs and the legacy
// Uninstall entry.
bool RemoveLegacyComRegistration(const RegistrationTarget& target, bool strictMachine);
// The current COM registration in the user hive (and, when writeMachine or
// cleanMachine is set, a best-effort pass over the machine hive).
bool RemoveUserComRegistration(const RegistrationTarget& target);
// The per-user "SavedVstoLoadBehavior" key, once a COM cut-over is complete.
bool DiscardSavedVstoLoadBehavior(const RegistrationTarget& target);

// The nine VSTO files and the three legacy batch files in an install
// directory (UTF-16, '/' or '\', with or without a trailing separator).
// Read-only files are deleted too; a directory of the same name is left
// alone. Not ok for an empty directory or when a file stays.
bool RemoveLegacyVstoFiles(const std::wstring& installDir);
bool RemoveLegacyBatchFiles(const std::wstring& installDir);

// --- Probes (folded with CombineStates).

ProbeState MachineComState(const RegistrationTarget& target);
ProbeState MachineComAndVstoState(const RegistrationTarget& target);
ProbeState UserLegacyVstoState(const RegistrationTarget& target);
ProbeState LegacyRegistrationState(const RegistrationTarget& target, bool checkUser, bool checkMachine,
                                   bool officeWpsOnly);
ProbeState MachineLoadableState(const RegistrationTarget& target);
ProbeState UserLoadableState(const RegistrationTarget& target);

// --- The elevated machine-hive cleanups. Each captures what it may change
// first and gives the machine hive back when anything fails or is left.

// The target both elevated cleanups work on: machine hive only, with the
// 64-bit view when this process runs under WoW64.
RegistrationTarget MachineCleanupTarget();

// Every legacy registration and the current COM registration.
bool ElevatedMachineCleanup();
// Only the current COM registration.
bool ElevatedMachineComCleanup();

// The same on a given target (tests point them at a redirected hive).
bool ElevatedMachineCleanup(const RegistrationTarget& target);
bool ElevatedMachineComCleanup(const RegistrationTarget& target);

}  // namespace quilmo
