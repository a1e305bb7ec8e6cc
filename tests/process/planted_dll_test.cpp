// DLLs planted next to the installer (as in a Downloads folder) must never
// be loaded, whether they crash on load or carry the right exports. Wine is
// told to prefer native DLLs for those names, so that it, like Windows,
// would load a planted copy if the installer searched its own folder.
#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "support/log_reader.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

// Every library the installer uses that is not a KnownDLL. Libraries that
// only Wine's own DLLs load (msimg32 for a message box, say) are left out:
// Wine resolves those through its internal delay-loads, which ignore the
// process's DLL search restriction, where Windows loads them from System32.
// (crypt32 is one of those too, for Wine's WinHTTP and WinINet; the installer
// loads the system's copy first, so it is planted like the others.)
const std::vector<std::wstring> kPlantedNames = {L"gdiplus", L"dwmapi",   L"version", L"wtsapi32", L"rstrtmgr",
                                                 L"winhttp", L"wininet", L"crypt32", L"wintrust"};

std::wstring PlantedSource(const char* flavour) {
    std::wstring dir = L"Z:" + Utf8ToWide(QUILMO_PLANTED_DIR);
    for (wchar_t& c : dir) {
        if (c == L'/') c = L'\\';
    }
    return dir + L"\\" + Utf8ToWide(flavour);
}

// Wine takes per-program DLL overrides from the registry; the environment
// variable WINEDLLOVERRIDES does not reach a process started from a Windows
// program.
const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\";

void SetNativeFirst(const std::wstring& exe, bool enable) {
    std::wstring key = std::wstring(kAppDefaults) + exe;
    if (!enable) {
        RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
        return;
    }
    UniqueRegKey overrides;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (key + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, overrides.put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t value[] = L"native,builtin";
    for (const std::wstring& name : kPlantedNames) {
        // Wine's own user32 imports version.dll, so Wine would load a planted
        // copy at process start for any program; Windows' user32 does not.
        if (name == L"version") continue;
        RegSetValueExW(overrides.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
    }
}

class PlantedDlls : public testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"quilmo-downloads-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(folder_.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(SetupExePath().c_str(), (folder_ + L"\\QuilmoSetup.exe").c_str(), FALSE));
        for (const std::wstring& name : kPlantedNames) {
            ASSERT_TRUE(CopyFileW((PlantedSource(GetParam()) + L".dll").c_str(),
                                  (folder_ + L"\\" + name + L".dll").c_str(), FALSE));
        }
        ASSERT_TRUE(CopyFileW((PlantedSource("load_probe") + L".exe").c_str(), (folder_ + L"\\load_probe.exe").c_str(),
                              FALSE));
        SetNativeFirst(L"QuilmoSetup.exe", true);
        SetNativeFirst(L"load_probe.exe", true);
    }

    void TearDown() override {
        SetNativeFirst(L"QuilmoSetup.exe", false);
        SetNativeFirst(L"load_probe.exe", false);
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder_ + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                DeleteFileW((folder_ + L"\\" + entry.cFileName).c_str());
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(folder_.c_str());
    }

    std::vector<std::wstring> Markers() {
        std::vector<std::wstring> found;
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder_ + L"\\*.loaded").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) return found;
        do {
            found.push_back(entry.cFileName);
            DeleteFileW((folder_ + L"\\" + entry.cFileName).c_str());
        } while (FindNextFileW(find, &entry));
        FindClose(find);
        return found;
    }

    int RunFromFolder(const std::wstring& exe, const std::vector<std::wstring>& args) {
        std::wstring commandLine = L"\"" + folder_ + L"\\" + exe + L"\"";
        for (const std::wstring& arg : args) commandLine += L" " + arg;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, folder_.c_str(), &startup,
                            &info)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return -1;
        }
        running_.process.reset(info.hProcess);
        running_.processId = info.dwProcessId;
        UniqueHandle thread(info.hThread);
        return 0;
    }

    // Full paths of the DLLs loaded in the running installer.
    std::vector<std::wstring> LoadedModules() {
        std::vector<std::wstring> modules;
        UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, running_.processId));
        MODULEENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        if (!snapshot) return modules;
        for (BOOL ok = Module32FirstW(snapshot.get(), &entry); ok; ok = Module32NextW(snapshot.get(), &entry)) {
            modules.push_back(entry.szExePath);
        }
        return modules;
    }

    std::wstring folder_;
    RunningSetup running_;
};

TEST_P(PlantedDlls, ControlProgramDoesLoadThemByBareName) {
    // Without this, a test that sees no marker would prove nothing.
    ASSERT_EQ(RunFromFolder(L"load_probe.exe", {L"gdiplus.dll", L"dwmapi.dll", L"wtsapi32.dll"}), 0);
    WaitForExit(running_, 30000);
    std::vector<std::wstring> markers = Markers();
    std::sort(markers.begin(), markers.end());
    EXPECT_EQ(markers, (std::vector<std::wstring>{L"dwmapi.dll.loaded", L"gdiplus.dll.loaded", L"wtsapi32.dll.loaded"}));
}

TEST_P(PlantedDlls, SilentRunLoadsNoneAndStillWorks) {
    ASSERT_EQ(RunFromFolder(L"QuilmoSetup.exe", {L"/silent"}), 0);
    EXPECT_EQ(WaitForExit(running_, 60000), 1);  // no server: the ordinary failure code
    EXPECT_EQ(LogMessages().back(), "silent RunInstaller returned code=1");
    EXPECT_EQ(Markers(), std::vector<std::wstring>{});
}

TEST_P(PlantedDlls, InteractiveStartLoadsNoneAndStillWorks) {
    ASSERT_EQ(RunFromFolder(L"QuilmoSetup.exe", {}), 0);
    HWND window = WaitForInstallerWindow(running_.processId, 30000);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitForLogMessage("FetchManifest failed: ", 20000));

    wchar_t systemDir[MAX_PATH] = {};
    GetSystemDirectoryW(systemDir, MAX_PATH);
    bool gdiplusFromSystem = false;
    for (const std::wstring& module : LoadedModules()) {
        // Wine lists its built-in version.dll, which its user32 imports, under
        // the path where it found the planted file (see SetNativeFirst).
        if (module == folder_ + L"\\QuilmoSetup.exe" || module == folder_ + L"\\version.dll") continue;
        EXPECT_NE(_wcsnicmp(module.c_str(), folder_.c_str(), folder_.size()), 0) << WideToUtf8(module);
        const std::wstring tail = L"\\gdiplus.dll";
        if (module.size() > tail.size() && _wcsicmp(module.c_str() + module.size() - tail.size(), tail.c_str()) == 0) {
            gdiplusFromSystem = _wcsnicmp(module.c_str(), systemDir, wcslen(systemDir)) == 0;
        }
    }
    EXPECT_TRUE(gdiplusFromSystem) << "GDI+ should be in use, loaded from the system directory";

    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(running_, 20000), 0);
    EXPECT_EQ(Markers(), std::vector<std::wstring>{});
}

INSTANTIATE_TEST_SUITE_P(Flavours, PlantedDlls, testing::Values("planted_quiet", "planted_crash"));

}  // namespace
}  // namespace quilmo::test
