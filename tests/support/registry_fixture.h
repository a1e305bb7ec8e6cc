// Small helpers for tests that work in a scratch key used as the "hive" of
// the code under test: raw writes with exact bytes, and a key whose
// security is narrowed for real with RegSetKeySecurity (Wine enforces that,
// not a DACL given at creation) and opened up again afterwards.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/unique_handle.h"

namespace quilmo {
namespace testing_support {

// SDDL for a key that may be written (values set) but not read or enumerated.
constexpr wchar_t kSetValueOnly[] = L"D:P(A;;0x40002;;;WD)";  // KEY_SET_VALUE | WRITE_DAC
// SDDL for a key that may be read but neither written nor deleted.
constexpr wchar_t kReadOnlyKey[] = L"D:P(A;;KR;;;WD)(A;;0x40000;;;WD)";  // KEY_READ | WRITE_DAC
// SDDL for a key nobody may open except to give its access back.
constexpr wchar_t kNoAccess[] = L"D:P(A;;0x40000;;;WD)";  // WRITE_DAC only

inline LONG SetRawValue(HKEY hive, const std::wstring& path, const std::wstring& name, DWORD type, const void* data,
                        size_t size, REGSAM view = 0) {
    UniqueRegKey key;
    LONG created = RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.put(), nullptr);
    if (created != ERROR_SUCCESS) return created;
    return RegSetValueExW(key.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                          static_cast<DWORD>(size));
}

inline LONG SetRawString(HKEY hive, const std::wstring& path, const std::wstring& name, const std::wstring& text,
                         REGSAM view = 0) {
    return SetRawValue(hive, path, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t), view);
}

inline LONG SetRawDword(HKEY hive, const std::wstring& path, const std::wstring& name, DWORD value, REGSAM view = 0) {
    return SetRawValue(hive, path, name, REG_DWORD, &value, sizeof(value), view);
}

inline LONG CreateRawKey(HKEY hive, const std::wstring& path, REGSAM view = 0) {
    UniqueRegKey key;
    return RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.put(), nullptr);
}

inline bool RawKeyExists(HKEY hive, const std::wstring& path, REGSAM view = 0) {
    UniqueRegKey key;
    return RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// Narrows an existing key's DACL for the life of the object.
class RestrictedKey {
public:
    RestrictedKey(HKEY hive, const std::wstring& path, const wchar_t* sddl, REGSAM view = 0)
        : hive_(hive), path_(path), view_(view) {
        UniqueRegKey key;
        if (RegOpenKeyExW(hive, path.c_str(), 0, WRITE_DAC | view, key.put()) != ERROR_SUCCESS) return;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return;
        UniqueLocalMemory owned(descriptor);
        restricted_ = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    }
    ~RestrictedKey() { Release(); }
    RestrictedKey(const RestrictedKey&) = delete;
    RestrictedKey& operator=(const RestrictedKey&) = delete;

    bool restricted() const { return restricted_; }

    // Gives the key full access again (a null DACL).
    void Release() {
        if (!restricted_) return;
        UniqueRegKey key;
        if (RegOpenKeyExW(hive_, path_.c_str(), 0, WRITE_DAC | view_, key.put()) != ERROR_SUCCESS) return;
        SECURITY_DESCRIPTOR open = {};
        InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
        if (RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &open) == ERROR_SUCCESS) restricted_ = false;
    }

private:
    HKEY hive_;
    std::wstring path_;
    REGSAM view_;
    bool restricted_ = false;
};

inline std::wstring CurrentTestName() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return std::wstring(name.begin(), name.end());
}

}  // namespace testing_support
}  // namespace quilmo
