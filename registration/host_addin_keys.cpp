#include "registration/host_addin_keys.h"

#include "registration/registration_tables.h"
#include "registration/registry.h"

namespace quilmo {

namespace {

constexpr DWORD kLoadAtStartup = 3;  // load at start-up, currently loaded
constexpr DWORD kCommandLineSafe = 1;

bool WriteOneOfficeKey(HKEY hive, const std::wstring& key, REGSAM view, const std::wstring& friendlyName,
                       const std::wstring& description) {
    return WriteRegString(hive, key, view, L"FriendlyName", friendlyName) &&
           WriteRegString(hive, key, view, L"Description", description) &&
           WriteRegDword(hive, key, view, L"LoadBehavior", kLoadAtStartup) &&
           WriteRegDword(hive, key, view, L"CommandLineSafe", kCommandLineSafe);
}

std::wstring OfficeKeyAt(const std::wstring& root, const ComClass& entry) {
    return JoinRegistryPath(root, OfficeAddinKeyPath(entry.officeHost, entry.progId));
}

std::wstring AllowListKeyAt(const std::wstring& root, const ComClass& entry) {
    return JoinRegistryPath(root, WpsAllowListKeyPath(entry.wpsHost));
}

}  // namespace

bool WriteOfficeAddinKeys(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& friendlyName,
                          const std::wstring& description) {
    for (const ComClass& entry : ComClassTable) {
        if (entry.officeHost == nullptr) continue;
        if (!WriteOneOfficeKey(hive, OfficeKeyAt(root, entry), view, friendlyName, description)) return false;
    }
    return true;
}

bool RemoveOfficeAddinKeys(HKEY hive, const std::wstring& root, REGSAM view) {
    bool allRemoved = true;
    for (const ComClass& entry : ComClassTable) {
        if (entry.officeHost == nullptr) continue;
        if (!DeleteRegTree(hive, OfficeKeyAt(root, entry), view)) allRemoved = false;
    }
    return allRemoved;
}

bool WriteWpsAllowList(HKEY hive, const std::wstring& root, REGSAM view) {
    for (const ComClass& entry : ComClassTable) {
        if (entry.wpsHost == nullptr) continue;
        // An empty string, not a missing value: WPS reads the name only.
        if (!WriteRegString(hive, AllowListKeyAt(root, entry), view, entry.progId, L"")) return false;
    }
    return true;
}

bool RemoveWpsAllowList(HKEY hive, const std::wstring& root, REGSAM view) {
    bool allRemoved = true;
    for (const ComClass& entry : ComClassTable) {
        if (entry.wpsHost == nullptr) continue;
        if (!DeleteRegValue(hive, AllowListKeyAt(root, entry), view, entry.progId)) allRemoved = false;
    }
    return allRemoved;
}

}  // namespace quilmo
