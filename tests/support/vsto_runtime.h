// The VSTO runtime as its checks see it, set up for one test: header-only
// loader DLLs below a view's Common Files directory and the runtime's
// registration keys, removed again afterwards.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "files/unique_handle.h"
#include "registration/registry.h"
#include "support/scratch_dir.h"
#include "support/test_registry_key.h"

namespace quilmo {
namespace testing_support {

inline constexpr uint16_t kI386 = 0x014C;
inline constexpr uint16_t kAmd64 = 0x8664;

// The headers CheckPeImage reads: a DOS header pointing at a PE signature,
// the machine field and the characteristics (DLL or not).
inline std::string PeHeaders(uint16_t machine, bool dll, uint32_t offset = 64) {
    std::string bytes(offset, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
    bytes += std::string("PE\0\0", 4);
    bytes += static_cast<char>(machine & 0xFF);
    bytes += static_cast<char>(machine >> 8);
    bytes += std::string(16, '\0');
    const uint16_t characteristics = dll ? 0x2102 : 0x0102;
    bytes += static_cast<char>(characteristics & 0xFF);
    bytes += static_cast<char>(characteristics >> 8);
    return bytes;
}

inline constexpr wchar_t kRuntimeV4[] = L"SOFTWARE\\Microsoft\\VSTO Runtime Setup\\v4";
inline constexpr wchar_t kRuntimeV4R[] = L"SOFTWARE\\Microsoft\\VSTO Runtime Setup\\v4R";

inline REGSAM View32() { return OnWow64() ? KEY_WOW64_32KEY : 0; }

inline void DeleteKeyInView(const wchar_t* path, REGSAM view) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path);  // the default view; the explicit one below
    UniqueRegKey parent;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\VSTO Runtime Setup", 0, KEY_ALL_ACCESS | view,
                      parent.put()) == ERROR_SUCCESS) {
        const std::wstring leaf = std::wstring(path).substr(std::wstring(path).rfind(L'\\') + 1);
        RegDeleteTreeW(parent.get(), leaf.c_str());
        RegDeleteKeyExW(parent.get(), leaf.c_str(), view, 0);
    }
}

// The loader files below a view's Common Files directory, written for one
// test and removed afterwards.
class LoaderFiles {
public:
    explicit LoaderFiles(REGSAM view) {
        std::wstring common;
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                          KEY_QUERY_VALUE | view, key.put()) == ERROR_SUCCESS) {
            GetRegString(key.get(), L"CommonFilesDir", &common);
        }
        directory_ = common + L"\\Microsoft Shared\\VSTO";
    }
    ~LoaderFiles() { Clear(); }
    void Clear() { RemoveTree(directory_); }
    void Place(uint16_t machine, bool withLoader = true) {
        MakeDirectories(directory_ + L"\\10.0");
        WriteBytes(directory_ + L"\\vstoee.dll", PeHeaders(machine, true));
        if (withLoader) WriteBytes(directory_ + L"\\10.0\\VSTOLoader.dll", PeHeaders(machine, true));
    }
    std::wstring Engine() const { return directory_ + L"\\vstoee.dll"; }

private:
    std::wstring directory_;
};

// Neither registration view holds the runtime.
inline void ForgetVstoRuntime() {
    for (REGSAM view : {REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
        DeleteKeyInView(kRuntimeV4, view);
        DeleteKeyInView(kRuntimeV4R, view);
    }
}

}  // namespace testing_support
}  // namespace quilmo
