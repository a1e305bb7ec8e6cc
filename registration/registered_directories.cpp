#include "registration/registered_directories.h"

#include <set>
#include <vector>

#include "files/gc_rules.h"
#include "files/path_text.h"
#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registration_target.h"

namespace quilmo {

namespace {

constexpr DWORD kMaxExpandedChars = 32768;

enum class RegistryPathKind { ValueItself, DllDirectory, OfficeManifest };

struct RegistrySource {
    std::wstring keyPath;
    const wchar_t* valueName;  // nullptr: the default value
    RegistryPathKind kind;
};

std::vector<RegistrySource> RegistrySources() {
    std::vector<RegistrySource> sources;
    sources.push_back({kQuilmoCoreKey, kManagedDirValue, RegistryPathKind::ValueItself});
    sources.push_back({L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quilmo2025", L"InstallLocation",
                       RegistryPathKind::ValueItself});
    for (const ComClass& comClass : ComClassTable) {
        sources.push_back({ComClassKeyPath(comClass.clsid) + L"\\InprocServer32", nullptr,
                           RegistryPathKind::DllDirectory});
    }
    for (const LegacyVstoHostEntry& host : LegacyVstoHost) {
        sources.push_back({std::wstring(L"Software\\Microsoft\\Office\\") + host.officeHost + L"\\Addins\\" +
                               host.addinName,
                           L"Manifest", RegistryPathKind::OfficeManifest});
    }
    return sources;
}

// The path a value names before normalising: the value, the DLL's path, or
// the decoded location of an add-in manifest.
std::wstring NamedPath(RegistryPathKind kind, const std::wstring& value) {
    if (kind != RegistryPathKind::OfficeManifest) return value;
    const ManifestLocation location = SplitManifestValue(value);
    if (location.kind == 1) return PercentDecodeUtf8(location.rest);
    if (location.kind == 2) return L"\\\\" + PercentDecodeUtf8(location.rest);
    return location.rest;
}

std::wstring ValueToDirectory(RegistryPathKind kind, const std::wstring& value) {
    switch (kind) {
        case RegistryPathKind::ValueItself:
            return value;
        case RegistryPathKind::DllDirectory:
            return ParentDirNormalized(value);
        case RegistryPathKind::OfficeManifest:
            return ManifestValueToDirectory(value);
    }
    return std::wstring();
}

// Adds the normalised directory a registration names; false when the value
// is not empty but names no full path, which aborts the collection. A
// relative value is refused as well: where it points depends on the current
// directory, so nothing could be proved unused.
bool AddRegistryProtectedPath(RegistryPathKind kind, const std::wstring& value, std::vector<std::wstring>* list,
                              std::set<std::wstring>* seen) {
    if (TrimPath(value).empty()) return true;
    if (!IsAbsoluteWindowsPath(TrimPath(NamedPath(kind, value)))) return false;
    const std::wstring normalized = NormalizePath(ValueToDirectory(kind, value));
    if (normalized.empty()) return false;
    if (seen->insert(LowerInvariant(normalized)).second) list->push_back(normalized);
    return true;
}

}  // namespace

RegisteredDirectories GatherRegisteredDirectories() {
    RegisteredDirectories gathered;
    std::vector<std::wstring>* list = &gathered.directories;
    std::vector<REGSAM> views = {0};
    if (IsCurrentProcessWow64()) views = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    const std::vector<RegistrySource> sources = RegistrySources();
    std::set<std::wstring> seen;
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (REGSAM view : views) {
            for (const RegistrySource& source : sources) {
                std::wstring value;
                if (!ReadRegistryString(hive, source.keyPath, view, source.valueName, &value)) continue;
                if (AddRegistryProtectedPath(source.kind, value, list, &seen)) continue;
                gathered.directories.clear();
                gathered.malformed = true;
                return gathered;
            }
        }
    }
    return gathered;
}


bool ReadRegistryString(HKEY hive, const std::wstring& keyPath, REGSAM viewFlag, const wchar_t* valueName,
                        std::wstring* text) {
    UniqueRegKey key;
    if (RegOpenKeyExW(hive, keyPath.c_str(), 0, KEY_READ | viewFlag, key.put()) != ERROR_SUCCESS) return false;
    const wchar_t* name = (valueName != nullptr && *valueName != L'\0') ? valueName : nullptr;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size <= 1) return false;
    std::vector<wchar_t> buffer(size / 2 + 2, L'\0');
    DWORD readSize = size;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &readSize) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return false;
    }
    key.reset();
    std::wstring value(buffer.data());  // up to the first NUL; the buffer always ends in two
    if (type == REG_EXPAND_SZ && value.find(L'%') != std::wstring::npos) {
        const DWORD needed = ExpandEnvironmentStringsW(value.c_str(), nullptr, 0);
        if (needed >= 1 && needed <= kMaxExpandedChars) {
            std::vector<wchar_t> expanded(needed + 1, L'\0');
            const DWORD written = ExpandEnvironmentStringsW(value.c_str(), expanded.data(), needed + 1);
            if (written >= 1 && written <= needed + 1) value = expanded.data();
        }
    }
    *text = value;
    return true;
}

}  // namespace quilmo
