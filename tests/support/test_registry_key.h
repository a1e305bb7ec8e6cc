// A registry key in one view, written for one test:
// values it sets get their old data back (or go again) and keys it had to
// create are removed when the object goes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "files/unique_handle.h"

namespace quilmo {
namespace testing_support {

class TestRegistryKey {
public:
    TestRegistryKey(HKEY hive, const std::wstring& path, REGSAM view) : hive_(hive), path_(path), view_(view) {
        // The topmost missing key is the one to remove at the end.
        std::wstring current = path;
        for (;;) {
            UniqueRegKey probe;
            if (RegOpenKeyExW(hive_, current.c_str(), 0, KEY_READ | view_, probe.put()) == ERROR_SUCCESS) break;
            createdRoot_ = current;
            const size_t slash = current.rfind(L'\\');
            if (slash == std::wstring::npos) break;
            current.resize(slash);
        }
        RegCreateKeyExW(hive_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr, key_.put(), nullptr);
    }
    ~TestRegistryKey() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->existed) {
                RegSetValueExW(key_.get(), it->name.c_str(), 0, it->type, it->data.data(),
                               static_cast<DWORD>(it->data.size()));
            } else {
                RegDeleteValueW(key_.get(), it->name.c_str());
            }
        }
        key_.reset();
        if (createdRoot_.empty()) return;
        const size_t slash = createdRoot_.rfind(L'\\');
        UniqueRegKey parent;
        if (slash == std::wstring::npos ||
            RegOpenKeyExW(hive_, createdRoot_.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view_, parent.put()) !=
                ERROR_SUCCESS) {
            return;
        }
        const std::wstring leaf = createdRoot_.substr(slash + 1);
        RegDeleteTreeW(parent.get(), leaf.c_str());
        RegDeleteKeyExW(parent.get(), leaf.c_str(), view_, 0);
    }
    TestRegistryKey(const TestRegistryKey&) = delete;
    TestRegistryKey& operator=(const TestRegistryKey&) = delete;

    bool valid() const { return key_.valid(); }

    bool Set(const std::wstring& name, DWORD type, const void* data, DWORD size) {
        Save(name);
        return RegSetValueExW(key_.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size) ==
               ERROR_SUCCESS;
    }
    bool SetDword(const std::wstring& name, DWORD value) { return Set(name, REG_DWORD, &value, sizeof value); }
    bool SetString(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ) {
        return Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    struct SavedValue {
        std::wstring name;
        bool existed = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    void Save(const std::wstring& name) {
        for (const SavedValue& value : saved_) {
            if (value.name == name) return;
        }
        SavedValue value;
        value.name = name;
        DWORD size = 0;
        if (RegQueryValueExW(key_.get(), name.c_str(), nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
            value.data.resize(size);
            value.existed = RegQueryValueExW(key_.get(), name.c_str(), nullptr, &value.type, value.data.data(),
                                             &size) == ERROR_SUCCESS;
        }
        saved_.push_back(value);
    }

    HKEY hive_;
    std::wstring path_;
    REGSAM view_;
    std::wstring createdRoot_;
    UniqueRegKey key_;
    std::vector<SavedValue> saved_;
};

// True when this 32-bit process runs on 64-bit Windows.
inline bool OnWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// Sets an environment variable of this process for the lifetime of the object.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t buffer[32768];
        const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
        had_ = length > 0 && length < 32768;
        if (had_) old_.assign(buffer, length);
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedVariable() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const wchar_t* name_;
    bool had_ = false;
    std::wstring old_;
};

}  // namespace testing_support
}  // namespace quilmo
