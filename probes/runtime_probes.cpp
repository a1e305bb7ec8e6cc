#include "probes/runtime_probes.h"

#include "files/unique_handle.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

namespace quilmo {

namespace {

constexpr DWORD kNetFramework48Release = 528040;
constexpr wchar_t kNetFrameworkKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
constexpr wchar_t kWebView2ClientId[] = L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
constexpr wchar_t kEdgeWebViewApplication[] = L"\\Microsoft\\EdgeWebView\\Application";
constexpr DWORD kVersionBufferBytes = 256;
constexpr DWORD kLocationBufferBytes = 520;
constexpr DWORD kEnvironmentBufferChars = 260;
const REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

bool IsFileNotDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool ReadReleaseValue(REGSAM view, DWORD* release) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetFrameworkKey, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key.get(), L"Release", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    *release = value;
    return true;
}

// A string value that counts: read into a buffer of fixed size, REG_SZ or
// REG_EXPAND_SZ (left unexpanded), ending at its first NUL.
bool ReadUpdaterString(HKEY key, const wchar_t* name, DWORD bufferBytes, std::wstring* text) {
    std::vector<wchar_t> buffer(bufferBytes / sizeof(wchar_t) + 1, L'\0');
    DWORD type = 0;
    DWORD size = bufferBytes;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS) {
        return false;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    *text = buffer.data();
    return true;
}

struct UpdaterRegistration {
    std::wstring version;
    std::wstring location;
    bool hasVersion = false;
    bool hasLocation = false;
};

bool ReadUpdaterRegistration(HKEY hive, const std::wstring& keyPath, REGSAM view, UpdaterRegistration* found) {
    UniqueRegKey key;
    if (RegOpenKeyExW(hive, keyPath.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) return false;
    found->hasVersion = ReadUpdaterString(key.get(), L"pv", kVersionBufferBytes, &found->version);
    found->hasLocation = ReadUpdaterString(key.get(), L"location", kLocationBufferBytes, &found->location) &&
                         !found->location.empty();
    return true;
}

std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t buffer[kEnvironmentBufferChars] = {};
    const DWORD length = GetEnvironmentVariableW(name, buffer, kEnvironmentBufferChars);
    if (length == 0 || length >= kEnvironmentBufferChars) return std::wstring();
    return std::wstring(buffer, length);
}

std::vector<std::wstring> MachineRuntimeRoots() {
    std::vector<std::wstring> roots;
    const std::wstring x86 = EnvironmentValue(L"ProgramFiles(x86)");
    if (!x86.empty()) roots.push_back(x86 + kEdgeWebViewApplication);
    const std::wstring native = EnvironmentValue(L"ProgramFiles");
    if (!native.empty()) {
        const std::wstring candidate = native + kEdgeWebViewApplication;
        if (roots.empty() || CompareStringOrdinal(candidate.c_str(), -1, roots[0].c_str(), -1, TRUE) != CSTR_EQUAL) {
            roots.push_back(candidate);
        }
    }
    return roots;
}

std::vector<std::wstring> UserRuntimeRoots() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
    return {std::wstring(folder) + kEdgeWebViewApplication};
}

bool RegistrationHoldsRuntime(const UpdaterRegistration& registration, const std::vector<std::wstring>& roots) {
    if (registration.hasLocation) {
        if (IsWebView2RuntimeDir(registration.location + L"\\" + registration.version)) return true;
        if (IsWebView2RuntimeDir(registration.location)) return true;
    }
    for (const std::wstring& root : roots) {
        if (IsWebView2RuntimeDir(root + L"\\" + registration.version)) return true;
    }
    return false;
}

}  // namespace

bool IsNetFramework48Installed() {
    for (REGSAM view : kViews) {
        DWORD release = 0;
        if (ReadReleaseValue(view, &release) && release >= kNetFramework48Release) return true;
    }
    return false;
}

bool IsWebView2RuntimeDir(const std::wstring& directory) {
    if (directory.empty()) return false;
    std::wstring dir = directory;
    if (dir.back() != L'\\' && dir.back() != L'/') dir += L'\\';
    if (!IsFileNotDirectory(dir + L"msedgewebview2.exe")) return false;
    for (const wchar_t* library : {L"EBWebView\\x64\\EmbeddedBrowserWebView.dll",
                                   L"EBWebView\\x86\\EmbeddedBrowserWebView.dll", L"EmbeddedBrowserWebView.dll"}) {
        if (IsFileNotDirectory(dir + library)) return true;
    }
    return false;
}

bool IsWebView2RuntimeInstalled() {
    const std::wstring keys[] = {
        std::wstring(L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\") + kWebView2ClientId,
        std::wstring(L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\") + kWebView2ClientId,
    };
    const struct {
        HKEY hive;
        std::vector<std::wstring> roots;
    } hives[] = {{HKEY_LOCAL_MACHINE, MachineRuntimeRoots()}, {HKEY_CURRENT_USER, UserRuntimeRoots()}};
    for (const auto& hive : hives) {
        for (const std::wstring& keyPath : keys) {
            for (REGSAM view : kViews) {
                UpdaterRegistration registration;
                if (!ReadUpdaterRegistration(hive.hive, keyPath, view, &registration)) continue;
                if (!registration.hasVersion || !IsUsableWebView2Version(registration.version)) continue;
                if (RegistrationHoldsRuntime(registration, hive.roots)) return true;
            }
        }
    }
    return false;
}

}  // namespace quilmo
