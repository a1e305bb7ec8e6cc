// .NET Framework 4.8 as the installer detects it, set for one test.
#pragma once

#include <windows.h>

#include <vector>

#include "files/unique_handle.h"

namespace quilmo::test {

inline constexpr wchar_t kNetKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";

// .NET Framework 4.8 is present or absent through its "Release" value, in
// both registry views; the prefix's own value comes back afterwards.
class NetFramework48 {
public:
    NetFramework48() {
        for (REGSAM view : Views()) {
            Saved saved{view};
            UniqueRegKey key;
            DWORD size = sizeof(saved.value);
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetKey, 0, KEY_QUERY_VALUE | view, key.put()) == ERROR_SUCCESS &&
                RegQueryValueExW(key.get(), L"Release", nullptr, nullptr, reinterpret_cast<BYTE*>(&saved.value),
                                 &size) == ERROR_SUCCESS) {
                saved.existed = true;
            }
            saved_.push_back(saved);
        }
    }
    ~NetFramework48() {
        for (const Saved& saved : saved_) {
            if (saved.existed) {
                Set(saved.view, saved.value);
            } else {
                UniqueRegKey key;
                if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetKey, 0, KEY_SET_VALUE | saved.view, key.put()) ==
                    ERROR_SUCCESS) {
                    RegDeleteValueW(key.get(), L"Release");
                }
            }
        }
    }
    void Present(bool present) {
        for (REGSAM view : Views()) Set(view, present ? 528040 : 461814);  // 4.8, or 4.7.2
    }

private:
    struct Saved {
        REGSAM view;
        bool existed = false;
        DWORD value = 0;
    };
    static std::vector<REGSAM> Views() {
        BOOL wow64 = FALSE;
        IsWow64Process(GetCurrentProcess(), &wow64);
        if (wow64) return {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
        return {0};
    }
    static void Set(REGSAM view, DWORD value) {
        UniqueRegKey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kNetKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.put(),
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key.get(), L"Release", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        }
    }
    std::vector<Saved> saved_;
};

}  // namespace quilmo::test
