// A fresh directory below %TEMP% for one test, removed with its contents.
#pragma once

#include <windows.h>

#include <string>

#include "support/scratch_dir.h"

namespace quilmo {
namespace testing_support {

class TempDirectory {
public:
    explicit TempDirectory(const std::wstring& name) {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        path_ = std::wstring(temp) + L"QuilmoTests-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
        RemoveTree(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~TempDirectory() { RemoveTree(path_); }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& path() const { return path_; }  // no trailing backslash

    // Creates the directory "sub" (with parents) and returns its path.
    std::wstring MakeDirectory(const std::wstring& sub) const {
        std::wstring full = path_;
        size_t start = 0;
        while (start <= sub.size()) {
            size_t end = sub.find(L'\\', start);
            full += L"\\" + sub.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
            CreateDirectoryW(full.c_str(), nullptr);
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
        return full;
    }

    static bool WriteFile(const std::wstring& path, const std::string& bytes) {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        CloseHandle(file);
        return ok && written == bytes.size();
    }

private:
    std::wstring path_;
};

}  // namespace testing_support
}  // namespace quilmo
