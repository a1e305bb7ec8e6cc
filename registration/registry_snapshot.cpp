#include "registration/registry_snapshot.h"

#include <cstring>

#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"

namespace quilmo {

namespace {

constexpr wchar_t kInprocServerSub[] = L"\\InprocServer32";
constexpr wchar_t kControlSub[] = L"\\Control";
constexpr wchar_t kProgIdSub[] = L"\\ProgID";
constexpr wchar_t kClsidSub[] = L"\\CLSID";
constexpr wchar_t kApartment[] = L"Apartment";

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// Writes the exact captured bytes. Windows "adds a forgotten terminator" to
// string data whose last unit is not zero when the unit just past the data
// is zero (and looks one unit before the data for a 1-byte string), so the
// bytes are handed over framed by a zero unit before and non-zero bytes
// after: what comes back is what was captured, terminated or not.
LONG SetExactValue(HKEY key, const std::wstring& name, DWORD type, const std::vector<uint8_t>& data) {
    DWORD size = static_cast<DWORD>(data.size());
    if (size == 0) return RegSetValueExW(key, name.c_str(), 0, type, nullptr, 0);
    if (!IsStringType(type)) return RegSetValueExW(key, name.c_str(), 0, type, data.data(), size);
    constexpr size_t kLead = 2;
    constexpr size_t kTrail = 4;
    std::vector<uint8_t> framed(kLead + data.size() + kTrail, 0xFF);
    framed[0] = 0;
    framed[1] = 0;
    std::memcpy(framed.data() + kLead, data.data(), data.size());
    return RegSetValueExW(key, name.c_str(), 0, type, framed.data() + kLead, size);
}

// A REG_SZ value as the COM state reads it: Present with its text, Absent
// when the key or value is missing or holds another type, Unknown when it
// exists but could not be read.
ProbeState ReadStringState(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name,
                           std::wstring* text) {
    text->clear();
    if (hive == nullptr) return ProbeState::Unknown;
    ProbeState value = RegValueState(hive, path, view, name);
    if (value != ProbeState::Present) return value;
    if (ReadRegString(hive, path, view, name, text)) return ProbeState::Present;
    // It exists; a type other than REG_SZ counts as not there, any other
    // trouble as unreadable.
    UniqueRegKey key;
    if (RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
        return ProbeState::Unknown;
    }
    DWORD type = 0;
    LONG queried = RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, nullptr);
    if (IsNotFound(queried)) return ProbeState::Absent;
    if (queried == ERROR_SUCCESS && type != REG_SZ) return ProbeState::Absent;
    return ProbeState::Unknown;
}

// "LoadBehavior" and "CommandLineSafe": read only when the value is a 4-byte
// REG_DWORD, so what is written back is exactly what was there.
bool ReadDwordValue(HKEY key, const wchar_t* name, uint32_t* value) {
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data)) {
        return false;
    }
    *value = data;
    return true;
}

void CaptureClassKeys(HKEY hive, const std::wstring& root, REGSAM view, const ComClass& row, ComClassState* state) {
    const std::wstring classKey = JoinRegistryPath(root, ComClassKeyPath(row.clsid));
    ProbeState classPresent = RegKeyState(hive, classKey, view);
    ProbeState inproc = ReadStringState(hive, classKey + kInprocServerSub, view, nullptr, &state->inprocPath);
    ProbeState control = RegKeyState(hive, classKey + kControlSub, view);
    state->inprocPresent = inproc == ProbeState::Present;
    state->controlPresent = control == ProbeState::Present;
    state->classKeyUnreadable = CombineStates({classPresent, inproc, control}) == ProbeState::Unknown;

    ProbeState progId = RegKeyState(hive, JoinRegistryPath(root, ProgIdKeyPath(row.progId)), view);
    state->progIdKeyPresent = progId == ProbeState::Present;
    state->progIdKeyUnreadable = progId == ProbeState::Unknown;
}

void CaptureOfficeKey(HKEY hive, const std::wstring& root, REGSAM view, const ComClass& row, ComClassState* state) {
    const std::wstring officeKey = JoinRegistryPath(root, OfficeAddinKeyPath(row.officeHost, row.progId));
    UniqueRegKey key;
    LONG opened = hive == nullptr ? ERROR_INVALID_HANDLE
                                  : RegOpenKeyExW(hive, officeKey.c_str(), 0, KEY_READ | view, key.put());
    state->officeKeyPresent = opened == ERROR_SUCCESS;
    state->officeKeyUnreadable = opened != ERROR_SUCCESS && !IsNotFound(opened);
    if (!state->officeKeyPresent) return;
    // Values that cannot be read are left as they are by the restore.
    state->friendlyNameRead = ReadRegString(hive, officeKey, view, L"FriendlyName", &state->friendlyNameValue);
    state->descriptionRead = ReadRegString(hive, officeKey, view, L"Description", &state->descriptionValue);
    state->loadBehaviorRead = ReadDwordValue(key.get(), L"LoadBehavior", &state->loadBehaviorValue);
    state->commandLineSafeRead = ReadDwordValue(key.get(), L"CommandLineSafe", &state->commandLineSafeValue);
}

void CaptureWpsValue(HKEY hive, const std::wstring& root, REGSAM view, const ComClass& row, ComClassState* state) {
    ProbeState value = RegValueState(hive, JoinRegistryPath(root, WpsAllowListKeyPath(row.wpsHost)), view, row.progId);
    state->wpsValuePresent = value == ProbeState::Present;
    state->wpsValueUnreadable = value == ProbeState::Unknown;
}

void RestoreClassKeys(HKEY hive, const std::wstring& root, REGSAM view, const ComClass& row,
                      const ComClassState& state) {
    const std::wstring classKey = JoinRegistryPath(root, ComClassKeyPath(row.clsid));
    if (state.classKeyUnreadable) {
        // Left alone: what could not be read is never destroyed.
    } else if (state.inprocPresent) {
        WriteRegString(hive, classKey, view, nullptr, row.friendlyName);
        WriteRegString(hive, classKey + kInprocServerSub, view, nullptr, state.inprocPath);
        WriteRegString(hive, classKey + kInprocServerSub, view, L"ThreadingModel", kApartment);
        WriteRegString(hive, classKey + kProgIdSub, view, nullptr, row.progId);
        if (state.controlPresent) WriteRegString(hive, classKey + kControlSub, view, nullptr, L"");
    } else {
        DeleteRegTree(hive, classKey, view);
    }

    const std::wstring progIdKey = JoinRegistryPath(root, ProgIdKeyPath(row.progId));
    if (state.progIdKeyUnreadable) {
        // Left alone.
    } else if (state.progIdKeyPresent) {
        WriteRegString(hive, progIdKey, view, nullptr, row.friendlyName);
        WriteRegString(hive, progIdKey + kClsidSub, view, nullptr, row.clsid);
    } else {
        DeleteRegTree(hive, progIdKey, view);
    }
}

void RestoreOfficeKey(HKEY hive, const std::wstring& root, REGSAM view, const ComClass& row,
                      const ComClassState& state) {
    if (state.officeKeyUnreadable) return;
    const std::wstring officeKey = JoinRegistryPath(root, OfficeAddinKeyPath(row.officeHost, row.progId));
    if (!state.officeKeyPresent) {
        DeleteRegTree(hive, officeKey, view);
        return;
    }
    if (state.friendlyNameRead) WriteRegString(hive, officeKey, view, L"FriendlyName", state.friendlyNameValue);
    if (state.descriptionRead) WriteRegString(hive, officeKey, view, L"Description", state.descriptionValue);
    if (state.loadBehaviorRead) WriteRegDword(hive, officeKey, view, L"LoadBehavior", state.loadBehaviorValue);
    if (state.commandLineSafeRead) {
        WriteRegDword(hive, officeKey, view, L"CommandLineSafe", state.commandLineSafeValue);
    }
}

void RestoreWpsValue(HKEY hive, const std::wstring& root, REGSAM view, const ComClass& row,
                     const ComClassState& state) {
    if (state.wpsValueUnreadable) return;
    const std::wstring allowList = JoinRegistryPath(root, WpsAllowListKeyPath(row.wpsHost));
    if (state.wpsValuePresent) {
        WriteRegString(hive, allowList, view, row.progId, L"");
    } else {
        DeleteRegValue(hive, allowList, view, row.progId);
    }
}

void RestoreManagedDir(HKEY hive, const std::wstring& root, REGSAM view, const ComStateSnapshot& snapshot) {
    if (!snapshot.managedDirCaptured || snapshot.managedDirUnreadable) return;
    const std::wstring coreKey = JoinRegistryPath(root, kQuilmoCoreKey);
    if (snapshot.managedDirRead) {
        WriteRegString(hive, coreKey, view, kManagedDirValue, snapshot.managedDir);
    } else {
        DeleteRegValue(hive, coreKey, view, kManagedDirValue);
    }
}

// Reads one open key and everything below it. Any trouble (counts that
// cannot be queried, an enumeration that fails or finds other counts than
// announced, a sub-key that cannot be opened, a limit passed) makes the whole
// tree unreadable: a partial copy would drop data on restore.
class KeyTreeReader {
public:
    KeyTreeReader(const KeyTreeReadCalls& calls, const KeyTreeLimits& limits, REGSAM view)
        : calls_(calls), limits_(limits), view_(view) {}

    bool Read(HKEY key, KeyTreeSnapshot* tree) {
        KeyCounts counts;
        if (!QueryCounts(key, &counts)) return false;
        if (++keys_ > limits_.maxKeys || counts.maxValueBytes > limits_.maxDataBytes) return false;
        std::vector<std::wstring> childNames;
        if (!ReadValues(key, counts, tree) || !ReadChildNames(key, counts, &childNames)) return false;
        KeyCounts after;
        if (!QueryCounts(key, &after) || !SameCounts(counts, after)) return false;
        tree->exists = true;
        for (const std::wstring& name : childNames) {
            UniqueRegKey child;
            if (calls_.openKey(key, name.c_str(), 0, KEY_READ | view_, child.put()) != ERROR_SUCCESS) return false;
            KeyTreeChild entry{name, {}};
            if (!Read(child.get(), &entry.tree)) return false;
            tree->children.push_back(std::move(entry));
        }
        return true;
    }

private:
    struct KeyCounts {
        DWORD subKeys = 0;
        DWORD maxSubKeyUnits = 0;
        DWORD values = 0;
        DWORD maxValueNameUnits = 0;
        DWORD maxValueBytes = 0;
        FILETIME lastWrite{};
    };

    bool QueryCounts(HKEY key, KeyCounts* counts) {
        return calls_.queryInfo(key, nullptr, nullptr, nullptr, &counts->subKeys, &counts->maxSubKeyUnits, nullptr,
                                &counts->values, &counts->maxValueNameUnits, &counts->maxValueBytes, nullptr,
                                &counts->lastWrite) == ERROR_SUCCESS;
    }

    static bool SameCounts(const KeyCounts& a, const KeyCounts& b) {
        return a.subKeys == b.subKeys && a.values == b.values &&
               a.lastWrite.dwLowDateTime == b.lastWrite.dwLowDateTime &&
               a.lastWrite.dwHighDateTime == b.lastWrite.dwHighDateTime;
    }

    bool ReadValues(HKEY key, const KeyCounts& counts, KeyTreeSnapshot* tree) {
        std::vector<wchar_t> name(counts.maxValueNameUnits + 2);
        std::vector<uint8_t> data(counts.maxValueBytes > 0 ? counts.maxValueBytes : 1);
        for (DWORD index = 0; index < counts.values; ++index) {
            DWORD nameUnits = static_cast<DWORD>(name.size());
            DWORD dataBytes = static_cast<DWORD>(data.size());
            DWORD type = REG_NONE;
            if (calls_.enumValue(key, index, name.data(), &nameUnits, nullptr, &type, data.data(), &dataBytes) !=
                ERROR_SUCCESS) {
                return false;
            }
            bytes_ += nameUnits * sizeof(wchar_t) + dataBytes;
            if (bytes_ > limits_.maxDataBytes) return false;
            tree->values.push_back(
                {std::wstring(name.data(), nameUnits), type, std::vector<uint8_t>(data.begin(), data.begin() + dataBytes)});
        }
        // A value added since the count would be lost.
        DWORD nameUnits = static_cast<DWORD>(name.size());
        return calls_.enumValue(key, counts.values, name.data(), &nameUnits, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_NO_MORE_ITEMS;
    }

    bool ReadChildNames(HKEY key, const KeyCounts& counts, std::vector<std::wstring>* names) {
        std::vector<wchar_t> name(counts.maxSubKeyUnits + 2);
        for (DWORD index = 0; index <= counts.subKeys; ++index) {
            DWORD nameUnits = static_cast<DWORD>(name.size());
            LONG listed = calls_.enumKey(key, index, name.data(), &nameUnits, nullptr, nullptr, nullptr, nullptr);
            if (index == counts.subKeys) return listed == ERROR_NO_MORE_ITEMS;  // none added since the count
            if (listed != ERROR_SUCCESS) return false;
            names->emplace_back(name.data(), nameUnits);
        }
        return true;
    }

    const KeyTreeReadCalls& calls_;
    const KeyTreeLimits& limits_;
    REGSAM view_;
    size_t keys_ = 0;
    size_t bytes_ = 0;
};

KeyTreeSnapshot UnreadableTree(bool exists) {
    KeyTreeSnapshot tree;
    tree.exists = exists;
    tree.unreadable = true;
    return tree;
}

void AddTree(RegistrySnapshot* snapshot, HKEY hive, const std::wstring& path, REGSAM view) {
    snapshot->trees.push_back({hive, path, view, CaptureKeyTree(hive, path, view)});
}

void AddValue(RegistrySnapshot* snapshot, HKEY hive, const std::wstring& path, REGSAM view,
              const std::wstring& name) {
    snapshot->values.push_back({hive, path, view, name, CaptureValue(hive, path, view, name)});
}

void AddTreeAt(RegistrySnapshot* snapshot, const RegistryLocation& at, const std::wstring& path) {
    AddTree(snapshot, at.hive, KeyPathAt(at, path), at.view);
}

void AddValueAt(RegistrySnapshot* snapshot, const RegistryLocation& at, const std::wstring& path,
                const std::wstring& name) {
    AddValue(snapshot, at.hive, KeyPathAt(at, path), at.view, name);
}

// The older generations' registrations at one location: the VSTO add-in,
// the add-ins under the legacy ProgIDs, the legacy Uninstall entry and the
// legacy COM ProgID keys.
void AddLegacyMachineEntries(RegistrySnapshot* snapshot, const RegistryLocation& at) {
    for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
        AddTreeAt(snapshot, at, OfficeAddinKeyPath(row.officeHost, row.addinName));
        AddValueAt(snapshot, at, WpsAllowListKeyPath(row.wpsHost), row.addinName);
    }
    for (const wchar_t* office : OfficeHostNames) {
        for (const wchar_t* progId : LegacyProgIds) AddTreeAt(snapshot, at, OfficeAddinKeyPath(office, progId));
    }
    for (const wchar_t* wps : WpsHostNames) {
        for (const wchar_t* progId : LegacyProgIds) AddValueAt(snapshot, at, WpsAllowListKeyPath(wps), progId);
    }
    AddTreeAt(snapshot, at, kLegacyUninstallKey);
    for (const wchar_t* progId : LegacyComProgIds) AddTreeAt(snapshot, at, ProgIdKeyPath(progId));
}

void AddComClassMachineEntries(RegistrySnapshot* snapshot, const RegistryLocation& at) {
    for (const ComClass& row : ComClassTable) {
        AddTreeAt(snapshot, at, ComClassKeyPath(row.clsid));
        AddTreeAt(snapshot, at, ProgIdKeyPath(row.progId));
        if (row.officeHost != nullptr) AddTreeAt(snapshot, at, OfficeAddinKeyPath(row.officeHost, row.progId));
        if (row.wpsHost != nullptr) AddValueAt(snapshot, at, WpsAllowListKeyPath(row.wpsHost), row.progId);
    }
}

void CaptureInstallComState(const RegistrationTarget& target, InstallSnapshot* snapshot) {
    const RegistryLocation user32 = User32Pass(target);
    const RegistryLocation user64 = User64Pass(target);
    const RegistryLocation neutral = UserNeutral(target);
    snapshot->slots[0] = CaptureComState(user32.hive, user32.root, user32.view, true);
    if (target.is64BitWindows) snapshot->slots[1] = CaptureComState(user64.hive, user64.root, user64.view, true);
    snapshot->slots[2] = CaptureComState(neutral.hive, neutral.root, neutral.view, false);
}

void CaptureInstallTrees(const RegistrationTarget& target, RegistrySnapshot* registry) {
    const RegistryLocation user32 = User32Pass(target);
    const RegistryLocation user64 = User64Pass(target);
    const RegistryLocation neutral = UserNeutral(target);
    const bool is64 = target.is64BitWindows;

    AddTreeAt(registry, user32, kSavedVstoLoadBehaviorKey);
    if (is64) AddTreeAt(registry, user64, kSavedVstoLoadBehaviorKey);
    if (!neutral.root.empty()) AddTreeAt(registry, neutral, kSavedVstoLoadBehaviorKey);

    for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
        AddTreeAt(registry, neutral, OfficeAddinKeyPath(row.officeHost, row.addinName));
        const std::wstring allowList = WpsAllowListKeyPath(row.wpsHost);
        AddValueAt(registry, neutral, allowList, row.addinName);
        if (RedirectedRoots(target)) {
            AddValueAt(registry, user32, allowList, row.addinName);
            if (is64) AddValueAt(registry, user64, allowList, row.addinName);
        }
    }
    for (const wchar_t* office : OfficeHostNames) {
        for (const wchar_t* progId : LegacyProgIds) AddTreeAt(registry, neutral, OfficeAddinKeyPath(office, progId));
    }
    for (const wchar_t* wps : WpsHostNames) {
        for (const wchar_t* progId : LegacyProgIds) AddValueAt(registry, neutral, WpsAllowListKeyPath(wps), progId);
    }
    AddTreeAt(registry, neutral, kLegacyUninstallKey);
    AddTreeAt(registry, user32, kLegacyUninstallKey);
    if (is64) AddTreeAt(registry, user64, kLegacyUninstallKey);
    for (const wchar_t* progId : LegacyComProgIds) {
        AddTreeAt(registry, neutral, ProgIdKeyPath(progId));
        AddTreeAt(registry, user32, ProgIdKeyPath(progId));
        if (is64) AddTreeAt(registry, user64, ProgIdKeyPath(progId));
    }
}

// The view-independent ProgID keys the registration writes at the user's
// neutral location. Where the neutral location is the same key as a pass
// (all roots empty), the pass's restore has already put it back; a key one
// of the passes had (or could not read) is never deleted here.
void RestoreNeutralProgIds(const RegistrationTarget& target, const ComStateSnapshot& pass32,
                           const ComStateSnapshot& pass64, const ComStateSnapshot& neutralState) {
    const RegistryLocation neutral = UserNeutral(target);
    for (size_t i = 0; i < ComClassTable.size(); ++i) {
        const ComClass& row = ComClassTable[i];
        const ComClassState& here = neutralState.classes[i];
        const std::wstring progIdKey = KeyPathAt(neutral, ProgIdKeyPath(row.progId));
        if (!neutralState.captured || here.progIdKeyUnreadable) continue;
        if (here.progIdKeyPresent) {
            WriteRegString(neutral.hive, progIdKey, 0, nullptr, row.friendlyName);
            WriteRegString(neutral.hive, progIdKey + kClsidSub, 0, nullptr, row.clsid);
            continue;
        }
        const ComClassState& at32 = pass32.classes[i];
        const ComClassState& at64 = pass64.classes[i];
        bool passHadKey = at32.progIdKeyPresent || at32.progIdKeyUnreadable;
        if (target.is64BitWindows) passHadKey = passHadKey || at64.progIdKeyPresent || at64.progIdKeyUnreadable;
        if (!passHadKey) DeleteRegTree(neutral.hive, progIdKey, 0);
    }
}

}  // namespace

ComStateSnapshot CaptureComState(HKEY hive, const std::wstring& root, REGSAM view, bool withManagedDir) {
    ComStateSnapshot snapshot;
    snapshot.captured = true;
    for (size_t i = 0; i < ComClassTable.size(); ++i) {
        const ComClass& row = ComClassTable[i];
        ComClassState& state = snapshot.classes[i];
        CaptureClassKeys(hive, root, view, row, &state);
        if (row.officeHost != nullptr) CaptureOfficeKey(hive, root, view, row, &state);
        if (row.wpsHost != nullptr) CaptureWpsValue(hive, root, view, row, &state);
    }
    if (withManagedDir) {
        snapshot.managedDirCaptured = true;
        ProbeState managedDir = ReadStringState(hive, JoinRegistryPath(root, kQuilmoCoreKey), view, kManagedDirValue,
                                                &snapshot.managedDir);
        snapshot.managedDirRead = managedDir == ProbeState::Present;
        snapshot.managedDirUnreadable = managedDir == ProbeState::Unknown;
    }
    return snapshot;
}

void RestoreComState(HKEY hive, const std::wstring& root, REGSAM view, bool restoreClasses, bool restoreOffice,
                     bool restoreWps, const ComStateSnapshot& snapshot) {
    if (hive == nullptr || !snapshot.captured) return;
    for (size_t i = 0; i < ComClassTable.size(); ++i) {
        const ComClass& row = ComClassTable[i];
        const ComClassState& state = snapshot.classes[i];
        if (restoreClasses) RestoreClassKeys(hive, root, view, row, state);
        if (restoreOffice && row.officeHost != nullptr) RestoreOfficeKey(hive, root, view, row, state);
        if (restoreWps && row.wpsHost != nullptr) RestoreWpsValue(hive, root, view, row, state);
    }
    if (restoreClasses) RestoreManagedDir(hive, root, view, snapshot);
}

KeyTreeSnapshot CaptureKeyTree(HKEY hive, const std::wstring& path, REGSAM view) {
    return CaptureKeyTreeWith(KeyTreeReadCalls{}, KeyTreeLimits{}, hive, path, view);
}

KeyTreeSnapshot CaptureKeyTreeWith(const KeyTreeReadCalls& calls, const KeyTreeLimits& limits, HKEY hive,
                                   const std::wstring& path, REGSAM view) {
    if (hive == nullptr) return UnreadableTree(false);
    // A whole hive (or a path that is not one below it) is never copied and
    // so never rebuilt.
    if (path.empty() || path[0] == L'\\') return UnreadableTree(false);
    UniqueRegKey key;
    LONG opened = calls.openKey(hive, path.c_str(), 0, KEY_READ | view, key.put());
    if (IsNotFound(opened)) return KeyTreeSnapshot{};
    if (opened != ERROR_SUCCESS) return UnreadableTree(false);
    KeyTreeSnapshot tree;
    KeyTreeReader reader(calls, limits, view);
    if (!reader.Read(key.get(), &tree)) return UnreadableTree(true);
    return tree;
}

void RestoreKeyTree(HKEY hive, const std::wstring& path, REGSAM view, const KeyTreeSnapshot& snapshot) {
    if (hive == nullptr || snapshot.unreadable) return;
    DeleteRegTree(hive, path, view);
    if (!snapshot.exists) return;
    {
        UniqueRegKey key;
        if (RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS) {
            return;
        }
        for (const KeyTreeValue& value : snapshot.values) SetExactValue(key.get(), value.name, value.type, value.data);
    }
    for (const KeyTreeChild& child : snapshot.children) RestoreKeyTree(hive, path + L"\\" + child.name, view, child.tree);
}

ValueSnapshot CaptureValue(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& name) {
    ValueSnapshot snapshot;
    if (hive == nullptr) {
        snapshot.unreadable = true;
        return snapshot;
    }
    UniqueRegKey key;
    LONG opened = RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, key.put());
    if (opened != ERROR_SUCCESS) {
        snapshot.unreadable = !IsNotFound(opened);
        return snapshot;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG queried = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (queried != ERROR_SUCCESS) {
        snapshot.unreadable = !IsNotFound(queried);
        return snapshot;
    }
    if (size > KeyTreeLimits{}.maxDataBytes) {
        snapshot.unreadable = true;
        return snapshot;
    }
    snapshot.exists = true;
    snapshot.type = type;
    snapshot.data.resize(size);
    if (size == 0) return snapshot;
    if (RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, snapshot.data.data(), &size) != ERROR_SUCCESS ||
        type != snapshot.type) {
        // Changed or gone between the two queries: keep nothing, touch nothing.
        return ValueSnapshot{false, true, REG_NONE, {}};
    }
    snapshot.data.resize(size);
    return snapshot;
}

void RestoreValue(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& name,
                  const ValueSnapshot& snapshot) {
    if (hive == nullptr || snapshot.unreadable) return;
    if (!snapshot.exists) {
        DeleteRegValue(hive, path, view, name.c_str());
        return;
    }
    UniqueRegKey key;
    if (RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    SetExactValue(key.get(), name, snapshot.type, snapshot.data);
}

void RestoreRegistrySnapshot(const RegistrySnapshot& snapshot) {
    if (!snapshot.valid) return;
    for (const KeyTreeEntry& entry : snapshot.trees) RestoreKeyTree(entry.hive, entry.path, entry.view, entry.tree);
    for (const ValueEntry& entry : snapshot.values) {
        RestoreValue(entry.hive, entry.path, entry.view, entry.name, entry.value);
    }
}

CoreRegistrationSnapshot CaptureCoreRegistrationState(const RegistrationTarget& target) {
    CoreRegistrationSnapshot snapshot;
    if (target.writeUser) {
        const RegistryLocation user32 = User32Pass(target);
        const RegistryLocation user64 = User64Pass(target);
        const RegistryLocation neutral = UserNeutral(target);
        snapshot.slots[0] = CaptureComState(user32.hive, user32.root, user32.view, true);
        if (target.is64BitWindows) snapshot.slots[1] = CaptureComState(user64.hive, user64.root, user64.view, true);
        snapshot.slots[2] = CaptureComState(neutral.hive, neutral.root, neutral.view, false);
    }
    if (target.writeMachine) {
        const RegistryLocation machine32 = Machine32Pass(target);
        const RegistryLocation machine64 = Machine64Pass(target);
        snapshot.slots[3] = CaptureComState(machine32.hive, machine32.root, machine32.view, false);
        if (target.is64BitWindows) {
            snapshot.slots[4] = CaptureComState(machine64.hive, machine64.root, machine64.view, false);
        }
    }
    return snapshot;
}

// The user's three COM slots: classes in each pass, host keys at the neutral
// location, and the neutral ProgID keys the registration also writes (without
// those a redirected neutral root would keep a failed registration's keys).
template <typename Slots>
void RestoreUserComSlots(const RegistrationTarget& target, const Slots& slots) {
    const RegistryLocation user32 = User32Pass(target);
    const RegistryLocation user64 = User64Pass(target);
    const RegistryLocation neutral = UserNeutral(target);
    RestoreComState(user32.hive, user32.root, user32.view, true, false, false, slots[0]);
    if (target.is64BitWindows) {
        RestoreComState(user64.hive, user64.root, user64.view, true, false, false, slots[1]);
    }
    RestoreComState(neutral.hive, neutral.root, neutral.view, false, true, true, slots[2]);
    RestoreNeutralProgIds(target, slots[0], slots[1], slots[2]);
}

void RestoreCoreRegistrationState(const RegistrationTarget& target, const CoreRegistrationSnapshot& snapshot) {
    if (target.writeUser) RestoreUserComSlots(target, snapshot.slots);
    if (target.writeMachine) {
        const RegistryLocation machine32 = Machine32Pass(target);
        const RegistryLocation machine64 = Machine64Pass(target);
        RestoreComState(machine32.hive, machine32.root, machine32.view, true, true, true, snapshot.slots[3]);
        if (target.is64BitWindows) {
            RestoreComState(machine64.hive, machine64.root, machine64.view, true, true, true, snapshot.slots[4]);
        }
    }
}

void CaptureInstallSnapshot(const RegistrationTarget& target, InstallSnapshot* snapshot) {
    DiscardInstallSnapshot(snapshot);
    CaptureInstallComState(target, snapshot);
    CaptureInstallTrees(target, &snapshot->registry);
    snapshot->registry.valid = true;
}

void RestoreInstallSnapshot(const RegistrationTarget& target, const InstallSnapshot& snapshot) {
    if (!snapshot.registry.valid) return;
    RestoreUserComSlots(target, snapshot.slots);
    RestoreRegistrySnapshot(snapshot.registry);
}

void DiscardInstallSnapshot(InstallSnapshot* snapshot) { *snapshot = InstallSnapshot{}; }

RegistrySnapshot CaptureMachineSnapshot(const RegistrationTarget& target, bool comOnly) {
    RegistrySnapshot snapshot;
    for (const RegistryLocation& pass : MachinePasses(target)) {
        AddComClassMachineEntries(&snapshot, pass);
        if (!comOnly) AddLegacyMachineEntries(&snapshot, pass);
    }
    snapshot.valid = true;
    return snapshot;
}

}  // namespace quilmo
