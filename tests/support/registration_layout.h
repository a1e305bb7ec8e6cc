// The add-in's registration written with plain registry calls, as an
// installed earlier version of the product left it: the tests' own picture
// of what a user's registry holds, independent of the code under test.
#pragma once

#include <windows.h>

#include <string>

#include "registration/registration_tables.h"
#include "registration/registration_target.h"
#include "registration/registry.h"
#include "support/registry_fixture.h"

namespace quilmo {
namespace testing_support {

// The four classes' CLSID and ProgID keys at one location.
inline void WriteClassLayout(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& dllPath) {
    for (const ComClass& row : ComClassTable) {
        const std::wstring classKey = JoinRegistryPath(root, ComClassKeyPath(row.clsid));
        SetRawString(hive, classKey, L"", row.friendlyName, view);
        SetRawString(hive, classKey + L"\\InprocServer32", L"", dllPath, view);
        SetRawString(hive, classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment", view);
        SetRawString(hive, classKey + L"\\ProgID", L"", row.progId, view);
        if (row.isControl) SetRawString(hive, classKey + L"\\Control", L"", L"", view);
        const std::wstring progIdKey = JoinRegistryPath(root, ProgIdKeyPath(row.progId));
        SetRawString(hive, progIdKey, L"", row.friendlyName, view);
        SetRawString(hive, progIdKey + L"\\CLSID", L"", row.clsid, view);
    }
}

inline void WriteOfficeLayout(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& friendly,
                              const std::wstring& description, DWORD loadBehavior = 3) {
    for (const ComClass& row : ComClassTable) {
        if (row.officeHost == nullptr) continue;
        const std::wstring key = JoinRegistryPath(root, OfficeAddinKeyPath(row.officeHost, row.progId));
        SetRawString(hive, key, L"FriendlyName", friendly, view);
        SetRawString(hive, key, L"Description", description, view);
        SetRawDword(hive, key, L"LoadBehavior", loadBehavior, view);
        SetRawDword(hive, key, L"CommandLineSafe", 0, view);
    }
}

inline void WriteAllowListLayout(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& data = L"") {
    for (const ComClass& row : ComClassTable) {
        if (row.wpsHost == nullptr) continue;
        SetRawString(hive, JoinRegistryPath(root, WpsAllowListKeyPath(row.wpsHost)), row.progId, data, view);
    }
}

inline void WriteManagedDir(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& dir) {
    SetRawString(hive, JoinRegistryPath(root, kQuilmoCoreKey), kManagedDirValue, dir, view);
}

// A complete per-user registration of the add-in in `dir`, as the target's
// passes and its neutral root hold it.
inline void WriteUserRegistration(HKEY hive, const RegistrationTarget& target, const std::wstring& dir) {
    for (const RegistryLocation& pass : UserPasses(target)) {
        WriteClassLayout(hive, pass.root, pass.view, dir + L"\\ZUDodi32.dll");
        WriteManagedDir(hive, pass.root, pass.view, dir);
    }
    const RegistryLocation neutral = UserNeutral(target);
    for (const ComClass& row : ComClassTable) {
        SetRawString(hive, KeyPathAt(neutral, ProgIdKeyPath(row.progId)), L"", row.friendlyName);
        SetRawString(hive, KeyPathAt(neutral, ProgIdKeyPath(row.progId)) + L"\\CLSID", L"", row.clsid);
    }
    WriteOfficeLayout(hive, neutral.root, 0, L"奎墨", L"奎墨办公插件");
    WriteAllowListLayout(hive, neutral.root, 0);
}

}  // namespace testing_support
}  // namespace quilmo
