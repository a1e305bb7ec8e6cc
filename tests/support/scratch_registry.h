// A private key below HKCU\Software\QuilmoTests for one test, removed with
// everything below it when the test ends, and a save/restore of the
// product's own keys for tests that must write them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "files/unique_handle.h"

namespace quilmo {
namespace testing_support {

constexpr wchar_t kTestsKey[] = L"Software\\QuilmoTests";

class ScratchKey {
public:
    explicit ScratchKey(const std::wstring& name) : path_(std::wstring(kTestsKey) + L"\\" + name) {
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
        RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.put(),
                        nullptr);
    }
    ~ScratchKey() {
        key_.reset();
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    HKEY get() const { return key_.get(); }
    const std::wstring& path() const { return path_; }  // relative to HKCU
    std::wstring Below(const std::wstring& sub) const { return path_ + L"\\" + sub; }

private:
    std::wstring path_;
    UniqueRegKey key_;
};

// Copies a product key aside at construction and puts the original back
// (or removes the key again when there was none) at destruction.
class SavedUserKey {
public:
    explicit SavedUserKey(const std::wstring& path)
        : path_(path), backup_(L"Backup\\" + std::to_wstring(reinterpret_cast<uintptr_t>(this))) {
        UniqueRegKey source;
        existed_ = RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, source.put()) == ERROR_SUCCESS;
        if (existed_) RegCopyTreeW(source.get(), nullptr, backup_.get());
    }
    ~SavedUserKey() {
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
        if (!existed_) return;
        UniqueRegKey restored;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, restored.put(),
                            nullptr) == ERROR_SUCCESS) {
            RegCopyTreeW(backup_.get(), nullptr, restored.get());
        }
    }
    SavedUserKey(const SavedUserKey&) = delete;
    SavedUserKey& operator=(const SavedUserKey&) = delete;

    // Starts the test from no key at all.
    void Remove() const {
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
    }

private:
    std::wstring path_;
    ScratchKey backup_;
    bool existed_ = false;
};

// The value the next handle of this process would get. Windows and Wine
// both hand out the lowest free slot, so a key left open by the code under
// test changes it. (Wine's GetProcessHandleCount always answers 0.)
inline HANDLE NextHandleValue() {
    HANDLE probe = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(probe);
    return probe;
}

}  // namespace testing_support
}  // namespace quilmo
