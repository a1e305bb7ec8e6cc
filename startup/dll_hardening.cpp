#include "startup/dll_hardening.h"

#include <windows.h>
#include <delayimp.h>

#include <string>

namespace quilmo {

namespace {

// Delay-loaded system libraries are loaded here, from the system directory,
// instead of by the loader's own search.
FARPROC WINAPI LoadDelayedLibraryFromSystem(unsigned notification, PDelayLoadInfo info) {
    if (notification != dliNotePreLoadLibrary || info == nullptr || info->szDll == nullptr) return nullptr;
    std::wstring name;
    for (const char* c = info->szDll; *c != '\0'; ++c) name += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return reinterpret_cast<FARPROC>(LoadSystemLibrary(name.c_str()));
}

// Libraries that the network, signature and drawing libraries load by name on
// their own, none of them a KnownDLL on every supported Windows. Such a
// request is resolved by the search order: on a Windows 7 without the
// search-path update that search starts in the installer's folder, and Wine's
// libraries load some of them through internal delay-loads that ignore the
// search restriction. Once the system's copy is loaded, every later request
// by name gets it.
const wchar_t* const kSharedDependencies[] = {
    // CryptoAPI, which WinHTTP, WinINet and WinVerifyTrust all use, and what it
    // loads on its own: CNG, the chain's URL retrieval and the RSA provider,
    // which it loads by the name registered for the provider.
    L"crypt32.dll",
    L"bcrypt.dll",
    L"cryptnet.dll",
    L"rsaenh.dll",
    // SSPI, which the first HTTPS request opens, and the security packages it
    // loads by the names registered for them.
    L"secur32.dll",
    L"schannel.dll",
    L"kerberos.dll",
    L"msv1_0.dll",
    // What WinHTTP's proxy discovery and the security packages load for
    // proxy scripts, name resolution and domain look-ups.
    L"jsproxy.dll",
    L"dnsapi.dll",
    L"iphlpapi.dll",
    L"netapi32.dll",
    // Windows Imaging Component: GDI+ decodes the logo with it.
    L"windowscodecs.dll",
};

void PreloadSharedDependencies() {
    for (const wchar_t* name : kSharedDependencies) LoadSystemLibrary(name);
}

}  // namespace

void RestrictDllSearchToSystem32() {
    __pfnDliNotifyHook2 = LoadDelayedLibraryFromSystem;
    // kernel32 is always loaded; its exports are looked up so the installer
    // still starts on a Windows 7 without the search-path update.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                   reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Without it, at least take the current directory out of the search.
        SetDllDirectoryW(L"");
    }
    PreloadSharedDependencies();
}

}  // namespace quilmo

namespace quilmo {

HMODULE LoadSystemLibrary(const wchar_t* fileName) {
    HMODULE module = LoadLibraryExW(fileName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // A Windows 7 without the search-path update rejects the flag: name the
    // file by its full path in the system directory instead.
    wchar_t systemDir[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wstring fullPath = std::wstring(systemDir) + L"\\" + fileName;
    return LoadLibraryExW(fullPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace quilmo
