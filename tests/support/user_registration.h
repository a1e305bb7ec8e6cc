// The add-in's registration in the prefix's real user hive, for tests that
// register for real (as Office and WPS read it): a clean start in every view,
// and a dump of the whole user hive below "Software" for before/after
// comparisons, and the differences a rolled-back registration may not
// leave. Plain registry calls only, never the code under test.
#pragma once

#include <windows.h>

#include <cwctype>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "support/registry_dump.h"

namespace quilmo {
namespace testing_support {

// Everything this product may leave in the user's hive, in every view.
inline void ClearUserRegistration() {
    for (REGSAM view : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY), REGSAM(0)}) {
        for (const ComClass& entry : ComClassTable) {
            UniqueRegKey classes;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Classes", 0, KEY_ALL_ACCESS | view, classes.put()) ==
                ERROR_SUCCESS) {
                const std::wstring clsidKey = std::wstring(L"CLSID\\") + entry.clsid;
                RegDeleteTreeW(classes.get(), clsidKey.c_str());
                RegDeleteKeyExW(classes.get(), clsidKey.c_str(), view, 0);
                RegDeleteTreeW(classes.get(), entry.progId);
                RegDeleteKeyExW(classes.get(), entry.progId, view, 0);
            }
            if (entry.officeHost != nullptr) {
                const std::wstring office = OfficeAddinKeyPath(entry.officeHost, entry.progId);
                RegDeleteTreeW(HKEY_CURRENT_USER, office.c_str());
                RegDeleteKeyExW(HKEY_CURRENT_USER, office.c_str(), view, 0);
            }
            if (entry.wpsHost != nullptr) {
                UniqueRegKey allowList;
                if (RegOpenKeyExW(HKEY_CURRENT_USER, WpsAllowListKeyPath(entry.wpsHost).c_str(), 0,
                                  KEY_SET_VALUE | view, allowList.put()) == ERROR_SUCCESS) {
                    RegDeleteValueW(allowList.get(), entry.progId);
                }
            }
        }
        // The legacy VSTO generation a legacy release registers.
        for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
            const std::wstring office = OfficeAddinKeyPath(row.officeHost, row.addinName);
            RegDeleteTreeW(HKEY_CURRENT_USER, office.c_str());
            RegDeleteKeyExW(HKEY_CURRENT_USER, office.c_str(), view, 0);
            UniqueRegKey allowList;
            if (RegOpenKeyExW(HKEY_CURRENT_USER, WpsAllowListKeyPath(row.wpsHost).c_str(), 0, KEY_SET_VALUE | view,
                              allowList.put()) == ERROR_SUCCESS) {
                RegDeleteValueW(allowList.get(), row.addinName);
            }
        }
        UniqueRegKey core;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kQuilmoCoreKey, 0, KEY_SET_VALUE | view, core.put()) == ERROR_SUCCESS) {
            RegDeleteValueW(core.get(), kManagedDirValue);
        }
    }
}

// The whole user hive below "Software" as both views show it.
inline RegistryDump DumpUserHive() {
    return DumpRegistry({{HKEY_CURRENT_USER, L"Software", KEY_WOW64_64KEY},
                         {HKEY_CURRENT_USER, L"Software", KEY_WOW64_32KEY}});
}

inline std::wstring LowerForPath(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// A failed registration gives back every key and value. What it may leave
// is an empty key on the way to one it wrote and took away again (the
// "Addins" or "AddinsWL" key of an application, "QuilmoCore", "CLSID"):
// rollback deletes what was written, not the parents created to hold it.
inline std::vector<std::string> UnexpectedDifferences(const RegistryDump& before, const RegistryDump& after) {
    static const std::vector<std::wstring> containers = {
        L"software\\classes\\clsid",
        L"software\\classes\\wow6432node\\clsid",
        L"software\\quilmostudio\\quilmocore",
        L"software\\microsoft\\office\\word\\addins",
        L"software\\microsoft\\office\\excel\\addins",
        L"software\\microsoft\\office\\powerpoint\\addins",
        L"software\\kingsoft\\office\\wps\\addinswl",
        L"software\\kingsoft\\office\\et\\addinswl",
        L"software\\kingsoft\\office\\wpp\\addinswl",
    };
    auto isEmptyParent = [](const std::string& name, const std::string& text) {
        if (text != "key") return false;
        const size_t bar = name.find('|', name.find('|') + 1);
        const std::wstring path = LowerForPath(Utf8ToWide(name.substr(bar + 1)));
        for (const std::wstring& container : containers) {
            if (container == path || container.rfind(path + L"\\", 0) == 0) return true;
        }
        return false;
    };
    std::vector<std::string> unexpected;
    for (const auto& entry : before.entries) {
        auto found = after.entries.find(entry.first);
        if (found == after.entries.end()) {
            unexpected.push_back("lost " + entry.first + " = " + entry.second);
        } else if (found->second != entry.second) {
            unexpected.push_back("changed " + entry.first + ": " + entry.second + " -> " + found->second);
        }
    }
    for (const auto& entry : after.entries) {
        if (before.entries.count(entry.first) == 0 && !isEmptyParent(entry.first, entry.second)) {
            unexpected.push_back("added " + entry.first + " = " + entry.second);
        }
    }
    return unexpected;
}

}  // namespace testing_support
}  // namespace quilmo
