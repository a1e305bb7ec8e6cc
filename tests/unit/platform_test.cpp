// Runs in the 64-bit and in the 32-bit Windows prefix (QUILMO_EXPECT_ARCH),
// so that code branching on the bitness of Windows can be tested on both.
#include <windows.h>
#include <delayimp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "startup/dll_hardening.h"
#include "files/unique_handle.h"

namespace quilmo {
namespace {

bool RunsUnderWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

TEST(Platform, PrefixHasTheExpectedBitness) {
    const char* expected = std::getenv("QUILMO_EXPECT_ARCH");
    ASSERT_NE(expected, nullptr) << "run through the platform_win64 / platform_win32 tests";
    EXPECT_EQ(RunsUnderWow64(), std::string(expected) == "win64");
}

TEST(Platform, SystemLibrariesLoadFromTheSystemDirectory) {
    RestrictDllSearchToSystem32();
    UniqueModule dwm(LoadSystemLibrary(L"dwmapi.dll"));
    ASSERT_TRUE(dwm.valid());
    wchar_t path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(dwm.get(), path, MAX_PATH), 0u);
    wchar_t systemDir[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(systemDir, MAX_PATH), 0u);
    EXPECT_EQ(_wcsnicmp(path, systemDir, wcslen(systemDir)), 0);
    EXPECT_FALSE(UniqueModule(LoadSystemLibrary(L"no-such-library.dll")).valid());
}

std::wstring ModuleDirectory(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring full(path);
    return full.substr(0, full.find_last_of(L'\\'));
}

TEST(Platform, DelayLoadsResolveFromTheSystemDirectory) {
    RestrictDllSearchToSystem32();
    ASSERT_NE(__pfnDliNotifyHook2, nullptr);
    DelayLoadInfo info = {};
    info.cb = sizeof(info);
    info.szDll = "wtsapi32.dll";
    UniqueModule loaded(reinterpret_cast<HMODULE>(__pfnDliNotifyHook2(dliNotePreLoadLibrary, &info)));
    ASSERT_TRUE(loaded.valid());
    wchar_t systemDir[MAX_PATH] = {};
    GetSystemDirectoryW(systemDir, MAX_PATH);
    EXPECT_EQ(_wcsicmp(ModuleDirectory(loaded.get()).c_str(), systemDir), 0);
    // Other notifications are left to the default handling.
    EXPECT_EQ(__pfnDliNotifyHook2(dliNotePreGetProcAddress, &info), nullptr);
}

}  // namespace
}  // namespace quilmo
