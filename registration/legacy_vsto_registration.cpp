#include "registration/legacy_vsto_registration.h"

#include <cwchar>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"

namespace quilmo {

namespace {

constexpr DWORD kLoadAtStartup = 3;

std::wstring AddinName(const wchar_t* shortName) { return std::wstring(L"Quilmo2025.") + shortName; }

// The user's hive for an installation; the machine's passes only for a
// target that writes there.
std::vector<RegistryLocation> WriteLocations(const RegistrationTarget& target) {
    std::vector<RegistryLocation> locations;
    if (target.writeMachine) locations = MachinePasses(target);
    if (target.writeUser) locations.push_back(UserNeutral(target));
    return locations;
}

bool AllowAddin(const RegistryLocation& at, const wchar_t* wpsHost, const wchar_t* addinName) {
    return WriteRegString(at.hive, KeyPathAt(at, WpsAllowListKeyPath(wpsHost)), at.view, addinName, L"");
}

}  // namespace

std::wstring VstoManifestValue(const std::wstring& installDir, const wchar_t* shortName) {
    return L"file:///" + installDir + AddinName(shortName) + L".vsto|vstolocal";
}

bool WriteVstoAddinKey(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& appName,
                       const std::wstring& appDescription, const std::wstring& manifestValue) {
    return WriteRegString(hive, path, view, L"FriendlyName", appName) &&
           WriteRegString(hive, path, view, L"Description", appDescription) &&
           WriteRegDword(hive, path, view, L"LoadBehavior", kLoadAtStartup) &&
           WriteRegDword(hive, path, view, L"CommandLineSafe", 1) && WriteRegDword(hive, path, view, L"Bits", 64) &&
           WriteRegString(hive, path, view, L"Manifest", manifestValue);
}

void RegisterLegacyVstoAddin(const RegistrationTarget& target, const std::wstring& installDir,
                             const std::string& appName, const std::string& appDescription) {
    const std::wstring name = Utf8ToWide(appName);
    const std::wstring description = Utf8ToWide(appDescription);
    for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
        const std::wstring manifest = VstoManifestValue(installDir, row.shortName);
        for (const RegistryLocation& at : WriteLocations(target)) {
            WriteVstoAddinKey(at.hive, KeyPathAt(at, OfficeAddinKeyPath(row.officeHost, row.addinName)), at.view,
                              name, description, manifest);
            AllowAddin(at, row.wpsHost, row.addinName);
        }
    }
}

bool VerifyLegacyVstoHost(const RegistrationTarget& target, const std::wstring& installDir,
                          const wchar_t* officeKeyName, const wchar_t* shortName) {
    const RegistryLocation user = UserNeutral(target);
    const std::wstring path = KeyPathAt(user, OfficeAddinKeyPath(officeKeyName, AddinName(shortName).c_str()));
    UniqueRegKey key;
    if (RegOpenKeyExW(user.hive, path.c_str(), 0, KEY_READ | user.view, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD loadBehavior = 0;
    DWORD size = sizeof loadBehavior;
    if (RegQueryValueExW(key.get(), L"LoadBehavior", nullptr, &type, reinterpret_cast<BYTE*>(&loadBehavior),
                         &size) != ERROR_SUCCESS ||
        type != REG_DWORD || loadBehavior != kLoadAtStartup) {
        return false;
    }
    std::wstring manifest;
    if (!ReadRegString(user.hive, path, user.view, L"Manifest", &manifest)) return false;
    return _wcsicmp(manifest.c_str(), VstoManifestValue(installDir, shortName).c_str()) == 0;
}

}  // namespace quilmo
