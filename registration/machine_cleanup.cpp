// The removals that need the COM registration's own helpers, and the two
// cleanups the elevated copy of the installer runs on the machine hive.
#include "registration/com_registration.h"
#include "registration/host_addin_keys.h"
#include "registration/legacy_cleanup.h"
#include "registration/registration_tables.h"
#include "registration/registry_snapshot.h"

namespace quilmo {

namespace {

bool RemoveComKeysAt(const RegistryLocation& at) {
    bool classes = RemoveComClassKeys(at.hive, at.root, at.view);
    bool progIds = RemoveProgIdKeys(at.hive, at.root, at.view);
    return classes && progIds;
}

bool RemoveCoreKeyAt(const RegistryLocation& at) {
    return DeleteRegTree(at.hive, KeyPathAt(at, kQuilmoCoreKey), at.view);
}

bool Clean(ProbeState state) { return state == ProbeState::Absent; }

}  // namespace

bool RemoveUserComRegistration(const RegistrationTarget& target) {
    if (target.writeMachine || target.cleanMachine) RemoveMachineComRegistration(target);
    if (!target.writeUser) return true;
    const RegistryLocation user32 = User32Pass(target);
    const RegistryLocation neutral = UserNeutral(target);
    bool ok = RemoveComKeysAt(user32);
    ok = RemoveWpsAllowList(neutral.hive, neutral.root, neutral.view) && ok;
    if (RedirectedRoots(target)) ok = RemoveWpsAllowList(user32.hive, user32.root, user32.view) && ok;
    if (target.is64BitWindows) {
        const RegistryLocation user64 = User64Pass(target);
        ok = RemoveComKeysAt(user64) && ok;
        if (RedirectedRoots(target)) ok = RemoveWpsAllowList(user64.hive, user64.root, user64.view) && ok;
    }
    ok = RemoveOfficeAddinKeys(neutral.hive, neutral.root, neutral.view) && ok;
    // "ManagedDir" goes with its key, and with it any saved VSTO load state.
    ok = RemoveCoreKeyAt(user32) && ok;
    if (target.is64BitWindows) ok = RemoveCoreKeyAt(User64Pass(target)) && ok;
    return ok;
}

RegistrationTarget MachineCleanupTarget() {
    RegistrationTarget target;
    target.writeMachine = true;
    target.writeUser = false;
    target.cleanMachine = true;
    target.is64BitWindows = IsCurrentProcessWow64();
    return target;
}

bool ElevatedMachineCleanup() { return ElevatedMachineCleanup(MachineCleanupTarget()); }
bool ElevatedMachineComCleanup() { return ElevatedMachineComCleanup(MachineCleanupTarget()); }

// Every step runs whatever the earlier ones gave, then the hive is probed:
// anything left or unreadable puts the captured state back.
bool ElevatedMachineCleanup(const RegistrationTarget& target) {
    const RegistrySnapshot snapshot = CaptureMachineSnapshot(target, false);
    const bool com = RemoveMachineComRegistration(target);
    const bool vsto = RemoveLegacyVstoRegistration(target, true);
    const bool legacyCom = RemoveLegacyComRegistration(target, true);
    const ProbeState loadable = MachineLoadableState(target);
    const ProbeState legacy = LegacyRegistrationState(target, false, true, false);
    if (com && vsto && legacyCom && Clean(loadable) && Clean(legacy)) return true;
    RestoreRegistrySnapshot(snapshot);
    return false;
}

bool ElevatedMachineComCleanup(const RegistrationTarget& target) {
    const RegistrySnapshot snapshot = CaptureMachineSnapshot(target, true);
    const bool removed = RemoveMachineComRegistration(target);
    const ProbeState left = MachineComState(target);
    if (removed && Clean(left)) return true;
    RestoreRegistrySnapshot(snapshot);
    return false;
}

}  // namespace quilmo
