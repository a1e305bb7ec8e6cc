// What the registration may change, captured before it writes and written
// back when anything after it fails, so a failed or refused cut-over leaves
// the previous add-in working.
//
// Three kinds of capture: the values the COM registration writes at one
// location (ComStateSnapshot), a whole key copied recursively
// (KeyTreeSnapshot), and one value (ValueSnapshot). Captures never fail as a
// whole; whatever exists but cannot be read is marked unreadable and left
// alone by its restore, so a restore never destroys what it could not see.
// Restores are best effort and report nothing.
#pragma once

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "registration/registration_target.h"

namespace quilmo {

// One row of ComClassTable as it stood at one location. The *Unreadable
// flags mark an entry that exists but could not be read (access denied or
// any error other than absence): its restore neither rewrites nor deletes it.
struct ComClassState {
    bool inprocPresent = false;  // default of CLSID\{..}\InprocServer32 read as REG_SZ
    std::wstring inprocPath;
    bool controlPresent = false;  // CLSID\{..}\Control exists
    bool progIdKeyPresent = false;
    bool officeKeyPresent = false;  // classes with an Office host only
    bool friendlyNameRead = false;
    std::wstring friendlyNameValue;
    bool descriptionRead = false;
    std::wstring descriptionValue;
    bool loadBehaviorRead = false;
    uint32_t loadBehaviorValue = 0;
    bool commandLineSafeRead = false;
    uint32_t commandLineSafeValue = 0;
    bool wpsValuePresent = false;  // classes with a WPS host only; presence, never data

    bool classKeyUnreadable = false;   // the CLSID key or its InprocServer32 / Control
    bool progIdKeyUnreadable = false;  // the ProgID key
    bool officeKeyUnreadable = false;  // the Office add-in key (its values are only ever rewritten)
    bool wpsValueUnreadable = false;   // the allow-list key or the value named progId
};

struct ComStateSnapshot {
    bool captured = false;  // a snapshot never captured restores nothing
    std::array<ComClassState, 4> classes;  // ComClassTable order
    bool managedDirCaptured = false;
    bool managedDirRead = false;
    std::wstring managedDir;
    bool managedDirUnreadable = false;  // "ManagedDir" exists but could not be read
};

struct ValueSnapshot {
    bool exists = false;
    bool unreadable = false;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;  // exactly the value's byte size
};

struct KeyTreeValue {
    std::wstring name;  // empty: the default value
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

struct KeyTreeChild;

// A key with all its values and sub-keys. Unreadable covers the whole tree:
// when any key below could not be read completely, nothing is kept and the
// restore leaves the tree alone, because rebuilding it would drop data.
struct KeyTreeSnapshot {
    bool exists = false;
    bool unreadable = false;
    std::vector<KeyTreeValue> values;    // in enumeration order
    std::vector<KeyTreeChild> children;  // in enumeration order
};

struct KeyTreeChild {
    std::wstring name;
    KeyTreeSnapshot tree;
};

// A tree larger than this is nothing the add-in's keys ever hold; it is
// captured as unreadable (and so left alone) rather than copied into memory.
struct KeyTreeLimits {
    size_t maxDataBytes = 16u * 1024u * 1024u;  // value names and data, summed over the tree
    size_t maxKeys = 10000;                     // the key itself and every key below it
};

// The registry calls a tree capture makes, so tests can make the counts or
// the enumeration fail or change part way.
struct KeyTreeReadCalls {
    decltype(&RegOpenKeyExW) openKey = RegOpenKeyExW;
    decltype(&RegQueryInfoKeyW) queryInfo = RegQueryInfoKeyW;
    decltype(&RegEnumValueW) enumValue = RegEnumValueW;
    decltype(&RegEnumKeyExW) enumKey = RegEnumKeyExW;
};

struct KeyTreeEntry {
    HKEY hive = nullptr;
    std::wstring path;
    REGSAM view = 0;
    KeyTreeSnapshot tree;
};

struct ValueEntry {
    HKEY hive = nullptr;
    std::wstring path;
    REGSAM view = 0;
    std::wstring name;  // empty: the default value
    ValueSnapshot value;
};

struct RegistrySnapshot {
    std::vector<KeyTreeEntry> trees;
    std::vector<ValueEntry> values;
    bool valid = false;  // false until a capture completes
};

// Slots: user 32-bit pass, user 64-bit pass, user neutral, machine 32-bit
// pass, machine 64-bit pass.
struct CoreRegistrationSnapshot {
    std::array<ComStateSnapshot, 5> slots;  // a slot the target did not capture stays uncaptured
};

// Slots: user 32-bit pass, user 64-bit pass, user neutral; plus the trees and
// values of the older generations' user registrations.
struct InstallSnapshot {
    std::array<ComStateSnapshot, 3> slots;
    RegistrySnapshot registry;
};

// The values the COM registration writes at one location (root joined to
// every path, view in every access mask).
ComStateSnapshot CaptureComState(HKEY hive, const std::wstring& root, REGSAM view, bool withManagedDir);
void RestoreComState(HKEY hive, const std::wstring& root, REGSAM view, bool restoreClasses, bool restoreOffice,
                     bool restoreWps, const ComStateSnapshot& snapshot);

KeyTreeSnapshot CaptureKeyTree(HKEY hive, const std::wstring& path, REGSAM view);
KeyTreeSnapshot CaptureKeyTreeWith(const KeyTreeReadCalls& calls, const KeyTreeLimits& limits, HKEY hive,
                                   const std::wstring& path, REGSAM view);
// Deletes the key and rebuilds it from the capture; an unreadable capture is
// skipped, one of an absent key only deletes.
void RestoreKeyTree(HKEY hive, const std::wstring& path, REGSAM view, const KeyTreeSnapshot& snapshot);

// A value larger than a tree's data limit is captured as unreadable.
ValueSnapshot CaptureValue(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& name);
void RestoreValue(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& name,
                  const ValueSnapshot& snapshot);

// When valid: every tree in list order, then every value in list order.
void RestoreRegistrySnapshot(const RegistrySnapshot& snapshot);

// Around the core registration's own writes. The restore also puts back the
// view-independent ProgID keys at the user's neutral location, which the
// registration writes as well. The caller records that neither server is
// registered after a restore.
CoreRegistrationSnapshot CaptureCoreRegistrationState(const RegistrationTarget& target);
void RestoreCoreRegistrationState(const RegistrationTarget& target, const CoreRegistrationSnapshot& snapshot);

// The install pipeline's user-hive snapshot: captured right before the
// registration, restored on every failure after it, discarded when the run
// ends. The same target goes to the capture and the restore.
void CaptureInstallSnapshot(const RegistrationTarget& target, InstallSnapshot* snapshot);
void RestoreInstallSnapshot(const RegistrationTarget& target, const InstallSnapshot& snapshot);
void DiscardInstallSnapshot(InstallSnapshot* snapshot);

// The machine hive's registrations for the elevated cleanups; comOnly limits
// it to the current COM classes. Restored with RestoreRegistrySnapshot.
RegistrySnapshot CaptureMachineSnapshot(const RegistrationTarget& target, bool comOnly);

}  // namespace quilmo
