#include "registration/legacy_cleanup.h"

#include <windows.h>

#include <array>
#include <vector>

#include "files/path_text.h"
#include "registration/registration_tables.h"

namespace quilmo {

namespace {

// Folds removal results: every removal runs, one failure spoils the whole.
class Removals {
public:
    void Add(bool removed) { ok_ = ok_ && removed; }
    bool ok() const { return ok_; }

private:
    bool ok_ = true;
};

class States {
public:
    void Add(ProbeState state) { states_.push_back(state); }
    ProbeState Combined() const { return CombineStates(states_); }

private:
    std::vector<ProbeState> states_;
};

bool RemoveTree(const RegistryLocation& at, const std::wstring& path) {
    return DeleteRegTree(at.hive, KeyPathAt(at, path), at.view);
}

bool RemoveValue(const RegistryLocation& at, const std::wstring& path, const wchar_t* name) {
    return DeleteRegValue(at.hive, KeyPathAt(at, path), at.view, name);
}

ProbeState KeyState(const RegistryLocation& at, const std::wstring& path) {
    return RegKeyState(at.hive, KeyPathAt(at, path), at.view);
}

ProbeState ValueState(const RegistryLocation& at, const std::wstring& path, const wchar_t* name) {
    return RegValueState(at.hive, KeyPathAt(at, path), at.view, name);
}

std::wstring VstoOfficeKey(const LegacyVstoHostEntry& row) { return OfficeAddinKeyPath(row.officeHost, row.addinName); }
std::wstring VstoAllowListKey(const LegacyVstoHostEntry& row) { return WpsAllowListKeyPath(row.wpsHost); }

// --- The legacy Office and WPS entries: 18 add-in keys, 18 allow-list values.

void RemoveLegacyOfficeWpsEntries(const RegistryLocation& at, Removals& removals) {
    for (const wchar_t* office : OfficeHostNames) {
        for (const wchar_t* progId : LegacyProgIds) removals.Add(RemoveTree(at, OfficeAddinKeyPath(office, progId)));
    }
    for (const wchar_t* wps : WpsHostNames) {
        for (const wchar_t* progId : LegacyProgIds) removals.Add(RemoveValue(at, WpsAllowListKeyPath(wps), progId));
    }
}

void ProbeLegacyOfficeWpsEntries(const RegistryLocation& at, States& states) {
    for (const wchar_t* office : OfficeHostNames) {
        for (const wchar_t* progId : LegacyProgIds) states.Add(KeyState(at, OfficeAddinKeyPath(office, progId)));
    }
    for (const wchar_t* wps : WpsHostNames) {
        for (const wchar_t* progId : LegacyProgIds) states.Add(ValueState(at, WpsAllowListKeyPath(wps), progId));
    }
}

void RemoveLegacyComProgIds(const RegistryLocation& at, Removals& removals) {
    for (const wchar_t* progId : LegacyComProgIds) removals.Add(RemoveTree(at, ProgIdKeyPath(progId)));
}

void ProbeLegacyComProgIds(const RegistryLocation& at, States& states) {
    for (const wchar_t* progId : LegacyComProgIds) states.Add(KeyState(at, ProgIdKeyPath(progId)));
}

// --- The legacy files of an install directory.

constexpr std::array<const wchar_t*, 9> kLegacyVstoFiles = {{
    L"Quilmo2025.Word.vsto", L"Quilmo2025.Word.dll", L"Quilmo2025.Word.dll.manifest",
    L"Quilmo2025.Excel.vsto", L"Quilmo2025.Excel.dll", L"Quilmo2025.Excel.dll.manifest",
    L"Quilmo2025.PPT.vsto", L"Quilmo2025.PPT.dll", L"Quilmo2025.PPT.dll.manifest",
}};

constexpr std::array<const wchar_t*, 3> kLegacyBatchFiles = {{
    L"_修复com注册错误.bat",
    L"_delete_edge_runtime.bat",
    L"_reg_machine.bat",
}};

std::wstring DirectoryWithBackslash(const std::wstring& dir) {
    std::wstring result = dir;
    for (wchar_t& c : result) {
        if (c == L'/') c = L'\\';
    }
    if (result.back() != L'\\') result += L'\\';
    return result;
}

// A file that is not there counts as removed, and so does a directory of the
// same name, which is never ours to delete. A file whose attributes cannot be
// read for another reason (access denied) may still be there: not removed.
bool RemoveLegacyFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return IsNotFound(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return true;
    // The attributes of a link are changed on what it points to: a link is
    // only ever deleted itself.
    bool clearReadOnly = (attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (clearReadOnly) {
        DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
        SetFileAttributesW(path.c_str(), writable == 0 ? FILE_ATTRIBUTE_NORMAL : writable);
    }
    if (DeleteFileW(path.c_str())) return true;
    DWORD error = GetLastError();
    if (IsNotFound(error)) return true;
    // A file that stays keeps the protection it had.
    if (clearReadOnly) SetFileAttributesW(path.c_str(), attributes);
    return false;
}

template <size_t N>
bool RemoveLegacyFiles(const std::wstring& installDir, const std::array<const wchar_t*, N>& names) {
    if (installDir.empty()) return false;
    const std::wstring dir = DirectoryWithBackslash(installDir);
    Removals removals;
    for (const wchar_t* name : names) removals.Add(RemoveLegacyFile(ToLongPathForm(dir + name)));
    return removals.ok();
}

}  // namespace

// --- Removals

bool RemoveLegacyVstoRegistration(const RegistrationTarget& target, bool strictMachine) {
    Removals user;
    Removals machine;
    const RegistryLocation neutral = UserNeutral(target);
    for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
        if (target.writeUser) {
            user.Add(RemoveTree(neutral, VstoOfficeKey(row)));
            user.Add(RemoveValue(neutral, VstoAllowListKey(row), row.addinName));
            if (RedirectedRoots(target)) {
                for (const RegistryLocation& pass : UserPasses(target)) {
                    user.Add(RemoveValue(pass, VstoAllowListKey(row), row.addinName));
                }
            }
        }
        if (target.writeMachine) {
            for (const RegistryLocation& pass : MachinePasses(target)) {
                machine.Add(RemoveTree(pass, VstoOfficeKey(row)));
                machine.Add(RemoveValue(pass, VstoAllowListKey(row), row.addinName));
            }
        }
    }
    return user.ok() && (!strictMachine || machine.ok());
}

bool RemoveLegacyComRegistration(const RegistrationTarget& target, bool strictMachine) {
    Removals user;
    Removals machine;
    if (target.writeUser) {
        const RegistryLocation neutral = UserNeutral(target);
        RemoveLegacyOfficeWpsEntries(neutral, user);
        user.Add(RemoveTree(neutral, kLegacyUninstallKey));
        for (const RegistryLocation& pass : UserPasses(target)) {
            user.Add(RemoveTree(pass, kLegacyUninstallKey));
            RemoveLegacyComProgIds(pass, user);
        }
        RemoveLegacyComProgIds(neutral, user);
    }
    if (target.writeMachine) {
        for (const RegistryLocation& pass : MachinePasses(target)) {
            RemoveLegacyOfficeWpsEntries(pass, machine);
            machine.Add(RemoveTree(pass, kLegacyUninstallKey));
            RemoveLegacyComProgIds(pass, machine);
        }
    }
    return user.ok() && (!strictMachine || machine.ok());
}

bool DiscardSavedVstoLoadBehavior(const RegistrationTarget& target) {
    if (!target.writeUser) return true;
    Removals removals;
    for (const RegistryLocation& pass : UserPasses(target)) removals.Add(RemoveTree(pass, kSavedVstoLoadBehaviorKey));
    if (!EffectiveNeutralRoot(target).empty()) removals.Add(RemoveTree(UserNeutral(target), kSavedVstoLoadBehaviorKey));
    return removals.ok();
}

bool RemoveLegacyVstoFiles(const std::wstring& installDir) { return RemoveLegacyFiles(installDir, kLegacyVstoFiles); }

bool RemoveLegacyBatchFiles(const std::wstring& installDir) { return RemoveLegacyFiles(installDir, kLegacyBatchFiles); }

// --- Probes

ProbeState MachineComState(const RegistrationTarget& target) {
    States states;
    for (const RegistryLocation& pass : MachinePasses(target)) {
        for (const ComClass& c : ComClassTable) {
            states.Add(KeyState(pass, ComClassKeyPath(c.clsid)));
            states.Add(KeyState(pass, ProgIdKeyPath(c.progId)));
            if (c.officeHost != nullptr) states.Add(KeyState(pass, OfficeAddinKeyPath(c.officeHost, c.progId)));
            if (c.wpsHost != nullptr) states.Add(ValueState(pass, WpsAllowListKeyPath(c.wpsHost), c.progId));
        }
    }
    return states.Combined();
}

ProbeState MachineComAndVstoState(const RegistrationTarget& target) {
    States states;
    states.Add(MachineComState(target));
    for (const RegistryLocation& pass : MachinePasses(target)) {
        for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
            states.Add(KeyState(pass, VstoOfficeKey(row)));
            states.Add(ValueState(pass, VstoAllowListKey(row), row.addinName));
        }
    }
    return states.Combined();
}

ProbeState UserLegacyVstoState(const RegistrationTarget& target) {
    States states;
    const RegistryLocation neutral = UserNeutral(target);
    for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
        states.Add(KeyState(neutral, VstoOfficeKey(row)));
        states.Add(ValueState(neutral, VstoAllowListKey(row), row.addinName));
        if (RedirectedRoots(target)) {
            for (const RegistryLocation& pass : UserPasses(target)) {
                states.Add(ValueState(pass, VstoAllowListKey(row), row.addinName));
            }
        }
    }
    return states.Combined();
}

ProbeState LegacyRegistrationState(const RegistrationTarget& target, bool checkUser, bool checkMachine,
                                   bool officeWpsOnly) {
    States states;
    if (checkUser) {
        const RegistryLocation neutral = UserNeutral(target);
        ProbeLegacyOfficeWpsEntries(neutral, states);
        if (!officeWpsOnly) {
            states.Add(KeyState(neutral, kLegacyUninstallKey));
            for (const RegistryLocation& pass : UserPasses(target)) {
                states.Add(KeyState(pass, kLegacyUninstallKey));
                ProbeLegacyComProgIds(pass, states);
            }
            ProbeLegacyComProgIds(neutral, states);
        }
    }
    if (checkMachine) {
        for (const RegistryLocation& pass : MachinePasses(target)) {
            ProbeLegacyOfficeWpsEntries(pass, states);
            if (!officeWpsOnly) {
                states.Add(KeyState(pass, kLegacyUninstallKey));
                ProbeLegacyComProgIds(pass, states);
            }
        }
    }
    return states.Combined();
}

ProbeState MachineLoadableState(const RegistrationTarget& target) {
    return CombineStates({LegacyRegistrationState(target, false, true, true), MachineComAndVstoState(target)});
}

ProbeState UserLoadableState(const RegistrationTarget& target) {
    return CombineStates({LegacyRegistrationState(target, true, false, true), UserLegacyVstoState(target)});
}

}  // namespace quilmo
