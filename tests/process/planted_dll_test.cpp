// DLLs planted next to the installer (as in a Downloads folder) must never
// be loaded, whether they crash on load or carry the right exports. The names
// to plant are not a hand-made list: complete runs of the installer (a fresh
// silent install over HTTPS, an update, the window's start) are traced first,
// and every library they map is planted. Wine is told to prefer native DLLs
// for those names, so that it, like Windows, would load a planted copy if any
// part of the process searched the installer's folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "startup/installer_log.h"
#include "support/loader_trace.h"
#include "support/log_reader.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

using testing_support::ListNames;
using testing_support::RemoveTree;

// Libraries the loader maps before the installer's first instruction, where
// nothing the installer does can choose their folder, are not planted when
// they are on one of the two lists below: Wine, unlike Windows, takes a copy
// that lies in the program's folder for the imports it resolves at start.

// KnownDLLs on every supported Windows (and combase, a KnownDLL from Windows 8
// on, which Windows 7 does not have): Windows maps them from its KnownDLLs
// section, never from the program's folder. The executable may import only
// these; Wine 8 has no such section.
const wchar_t* const kKnownDlls[] = {
    L"ntdll",  L"kernel32", L"kernelbase", L"advapi32", L"sechost", L"rpcrt4", L"msvcrt",   L"user32",
    L"gdi32",  L"imm32",    L"ole32",      L"oleaut32", L"combase", L"shell32", L"shlwapi", L"comdlg32",
    L"ws2_32", L"nsi",      L"psapi",      L"setupapi", L"imagehlp", L"msctf",  L"clbcatq", L"normaliz",
    L"wldap32", L"difxapi"};

// Libraries that Wine's own start-up libraries import where Windows' do not.
// Each must really be mapped before the entry point in the traced runs, or it
// does not belong here.
struct StartupException {
    const wchar_t* name;
    const char* reason;
};
const StartupException kStartupExceptions[] = {
    {L"version", "imported by Wine's user32"},
    {L"ucrtbase", "imported by Wine's sechost, rpcrt4, user32, gdi32, ole32 and others"},
    {L"win32u", "imported by Wine's user32, gdi32 and imm32"},
    {L"zlib1", "imported by Wine's user32"},
    {L"shcore", "imported by Wine's shlwapi"},
};

// The file a library is planted as: "secur32.dll", "winex11.drv".
std::wstring PlantedFileName(const std::wstring& name) {
    return name.find(L'.') == std::wstring::npos ? name + L".dll" : name;
}

bool MayBeMappedAtStart(const std::wstring& name) {
    for (const wchar_t* known : kKnownDlls) {
        if (name == known) return true;
    }
    for (const StartupException& exception : kStartupExceptions) {
        if (name == exception.name) return true;
    }
    return false;
}

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quilmo2025";
const wchar_t kProductKey[] = L"Software\\QuilmoStudio";
const DWORD kRunTimeoutMs = 180000;

std::wstring BaseDir() {  // without a trailing backslash
    std::wstring log = InstallerLogPath();
    return log.substr(0, log.size() - std::wstring(L"\\installer-auto.log").size());
}

std::string ValueAfter(const std::vector<std::string>& log, const std::string& prefix) {
    for (const std::string& line : log) {
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    }
    return std::string();
}

void ForgetInstallation() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kProductKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kProductKey);
    RemoveTree(BaseDir());
}

void SetString(HKEY key, const wchar_t* name, const std::string& value) {
    std::wstring wide = Utf8ToWide(value);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

// What the fresh installation leaves for the update to find.
void RecordInstalled(const std::vector<std::string>& freshLog) {
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    SetString(key.get(), L"DisplayVersion", ValueAfter(freshLog, "manifest version="));
    SetString(key.get(), L"InstallLocation", ValueAfter(freshLog, "target path="));
}

std::wstring PlantedSource(const char* file) {
    std::wstring dir = L"Z:" + Utf8ToWide(QUILMO_PLANTED_DIR);
    std::replace(dir.begin(), dir.end(), L'/', L'\\');
    return dir + L"\\" + Utf8ToWide(file);
}

// Wine takes per-program DLL overrides from the registry; the environment
// variable WINEDLLOVERRIDES does not reach a process started from a Windows
// program.
void SetNativeFirst(const std::wstring& exe, const std::set<std::wstring>& names) {
    std::wstring key = L"Software\\Wine\\AppDefaults\\" + exe;
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
    if (names.empty()) return;
    UniqueRegKey overrides;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (key + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, overrides.put(), nullptr),
              ERROR_SUCCESS);
    const wchar_t value[] = L"native,builtin";
    for (const std::wstring& name : names) {
        RegSetValueExW(overrides.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value), sizeof(value));
    }
}

std::string JoinNames(const std::set<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) text += (text.empty() ? "" : " ") + WideToUtf8(name);
    return text.empty() ? "(none)" : text;
}

// One complete run of the installer, how it ended and what it mapped.
struct RunResult {
    TracedRun trace;
    std::vector<std::string> log;
    size_t releaseRequests = 0;
};

struct Scenario {
    const char* name;
    const char* release;  // what the local server offers
    std::vector<std::wstring> args;
    bool window;
    const char* proof;  // a log line that shows the run did its work over HTTPS
};

// In this order: the update finds what the fresh install left.
const Scenario kScenarios[] = {
    {"fresh silent install", "v1", {L"/silent"}, false, "download failed count=0"},
    {"silent update", "v2", {L"/silent"}, false, "copy old version result=true"},
    {"interactive window start", "v2", {}, true, "manifest sig fetched from index="},
};

bool HasLineStarting(const std::vector<std::string>& log, const std::string& prefix) {
    return std::any_of(log.begin(), log.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

RunResult RunScenario(const Scenario& scenario, const std::wstring& exePath, const std::wstring& folder) {
    ReleaseServer::UseInstallRelease(scenario.release);
    ReleaseServer::ClearRequests();
    std::wstring commandLine = L"\"" + exePath + L"\"";
    for (const std::wstring& arg : scenario.args) commandLine += L" " + arg;
    RunResult result;
    LoaderTrace trace;
    if (!trace.Start(commandLine, folder, kRunTimeoutMs)) {
        ADD_FAILURE() << scenario.name << ": the installer could not be started: " << GetLastError();
        return result;
    }
    if (scenario.window) {
        HWND window = WaitForInstallerWindow(trace.ProcessId(), 30000);
        EXPECT_NE(window, nullptr) << scenario.name;
        // The manifest thread has fetched and checked the release.
        bool settled = window != nullptr && trace.WaitForOwnThreadsDone(60000);
        EXPECT_TRUE(settled) << scenario.name;
        if (settled) PostMessageW(window, WM_CLOSE, 0, 0);
        else trace.Kill();
    }
    result.trace = trace.Finish();
    result.log = LogMessages();
    result.releaseRequests = ReleaseServer::ReleaseRequests().size();
    return result;
}

std::vector<RunResult> RunAllScenarios(const std::wstring& exePath, const std::wstring& folder) {
    ForgetInstallation();
    std::vector<RunResult> results;
    for (const Scenario& scenario : kScenarios) {
        results.push_back(RunScenario(scenario, exePath, folder));
        if (results.size() == 1) RecordInstalled(results.front().log);
    }
    ForgetInstallation();
    ReleaseServer::UseInstallRelease("");
    return results;
}

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return towlower(c); });
    return text;
}

class PlantedDlls : public testing::TestWithParam<const char*> {
protected:
    // The untouched runs every flavour is compared with.
    static void SetUpTestSuite() {
        TrustTestRootCa();
        SetNativeFirst(L"QuilmoSetup.exe", {});
        clean_ = RunAllScenarios(SetupExePath(), L"");
        for (size_t i = 0; i < clean_.size(); ++i) {
            const RunResult& run = clean_[i];
            // Without real HTTPS work the trace would miss the network stack.
            EXPECT_GT(run.releaseRequests, 0u) << kScenarios[i].name;
            EXPECT_TRUE(HasLineStarting(run.log, kScenarios[i].proof)) << kScenarios[i].name;
            EXPECT_NE(run.trace.exitCode, -1) << kScenarios[i].name;
            for (const MappedLibrary& library : run.trace.libraries) {
                std::wstring name = LibraryName(library.path);
                if (library.beforeEntry) atStart_.insert(name);
                planted_.insert(name);
            }
        }
        for (const std::wstring& name : atStart_) {
            if (MayBeMappedAtStart(name)) planted_.erase(name);
        }
        for (const StartupException& exception : kStartupExceptions) {
            EXPECT_TRUE(atStart_.count(exception.name))
                << WideToUtf8(exception.name) << " is excepted as " << exception.reason << " but not mapped at start";
        }
        // Sanity of the trace itself: the network, crypto and drawing stacks are in it.
        for (const wchar_t* expected : {L"winhttp", L"crypt32", L"secur32", L"gdiplus"}) {
            EXPECT_TRUE(planted_.count(expected))
                << WideToUtf8(expected) << " missing from " << JoinNames(planted_);
        }
        std::cout << "mapped at start: " << JoinNames(atStart_) << "\n"
                  << "planted, native-first: " << JoinNames(planted_) << "\n";
    }

    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"quilmo-downloads-" + std::to_wstring(GetCurrentProcessId());
        RemoveTree(folder_);
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(SetupExePath().c_str(), (folder_ + L"\\QuilmoSetup.exe").c_str(), FALSE));
        ASSERT_TRUE(CopyFileW(PlantedSource("load_probe.exe").c_str(), (folder_ + L"\\load_probe.exe").c_str(), FALSE));
        std::wstring flavour = PlantedSource(GetParam()) + L".dll";
        for (const std::wstring& name : planted_) {
            ASSERT_TRUE(CopyFileW(flavour.c_str(), (folder_ + L"\\" + PlantedFileName(name)).c_str(), FALSE))
                << WideToUtf8(name);
        }
        SetNativeFirst(L"QuilmoSetup.exe", planted_);
        SetNativeFirst(L"load_probe.exe", planted_);
    }

    void TearDown() override {
        SetNativeFirst(L"QuilmoSetup.exe", {});
        SetNativeFirst(L"load_probe.exe", {});
        RemoveTree(folder_);
    }

    // Names of the planted copies that ran their DllMain, marker files removed.
    std::set<std::wstring> TakeMarkers() {
        std::set<std::wstring> loaded;
        const std::wstring suffix = L".loaded";
        for (const auto& entry : ListNames(folder_)) {
            const std::wstring& file = entry.first;
            if (file.size() <= suffix.size() || Lower(file.substr(file.size() - suffix.size())) != suffix) continue;
            loaded.insert(LibraryName(file.substr(0, file.size() - suffix.size())));
            DeleteFileW((folder_ + L"\\" + file).c_str());
        }
        return loaded;
    }

    // Names of the libraries the run mapped out of the planting folder.
    std::set<std::wstring> MappedFromFolder(const TracedRun& run) {
        std::set<std::wstring> names;
        std::wstring prefix = Lower(folder_ + L"\\");
        for (const MappedLibrary& library : run.libraries) {
            if (Lower(library.path).rfind(prefix, 0) == 0) names.insert(LibraryName(library.path));
        }
        return names;
    }

    static std::vector<RunResult> clean_;
    static std::set<std::wstring> atStart_;  // the libraries the runs mapped before the entry point
    static std::set<std::wstring> planted_;  // every library the runs mapped but the ones excepted above
    std::wstring folder_;
};

std::vector<RunResult> PlantedDlls::clean_;
std::set<std::wstring> PlantedDlls::planted_;
std::set<std::wstring> PlantedDlls::atStart_;

TEST_P(PlantedDlls, ControlProgramLoadsEachPlantedLibraryByBareName) {
    // Without this, runs that leave no marker would prove nothing: loaded the
    // unsafe way, each name planted native-first gets the planted copy.
    LoaderTrace probe;
    std::wstring commandLine = L"\"" + folder_ + L"\\load_probe.exe\"";
    for (const std::wstring& name : planted_) commandLine += L" " + PlantedFileName(name);
    ASSERT_TRUE(probe.Start(commandLine, folder_, 60000));
    TracedRun run = probe.Finish();
    EXPECT_NE(run.exitCode, -1);
    EXPECT_EQ(JoinNames(TakeMarkers()), JoinNames(planted_));
    EXPECT_EQ(JoinNames(MappedFromFolder(run)), JoinNames(planted_));
}

TEST_P(PlantedDlls, CompleteRunsLoadNoneAndEndAsWithoutThem) {
    std::vector<RunResult> planted = RunAllScenarios(folder_ + L"\\QuilmoSetup.exe", folder_);
    ASSERT_EQ(planted.size(), clean_.size());
    for (size_t i = 0; i < planted.size(); ++i) {
        SCOPED_TRACE(kScenarios[i].name);
        EXPECT_EQ(JoinNames(MappedFromFolder(planted[i].trace)), "(none)");
        EXPECT_EQ(planted[i].trace.exitCode, clean_[i].trace.exitCode);
        ASSERT_FALSE(planted[i].log.empty());
        ASSERT_FALSE(clean_[i].log.empty());
        EXPECT_EQ(planted[i].log.back(), clean_[i].log.back());
        EXPECT_EQ(planted[i].releaseRequests, clean_[i].releaseRequests);
        EXPECT_TRUE(HasLineStarting(planted[i].log, kScenarios[i].proof));
    }
    EXPECT_EQ(JoinNames(TakeMarkers()), "(none)");
}

INSTANTIATE_TEST_SUITE_P(Flavours, PlantedDlls, testing::Values("planted_quiet", "planted_crash"));

}  // namespace
}  // namespace quilmo::test
