// The whole run of the real installer under Wine, through the switch-over:
// releases with the real test COM servers are installed silently, the host
// probes then load what Office and WPS would load, and every abort leaves the
// user's registration byte for byte as it was, with the previous version
// still loading.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "startup/installer_log.h"
#include "registration/registration_tables.h"
#include "support/host_probe.h"
#include "support/legacy_registry.h"
#include "support/registry_fixture.h"
#include "support/install_places.h"
#include "support/log_reader.h"
#include "support/net_framework48.h"
#include "support/registry_dump.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"
#include "support/setup_process.h"
#include "support/word_on_app_paths.h"
#include "support/user_registration.h"

namespace quilmo::test {
namespace {

using testing_support::ClearUserRegistration;
using testing_support::DescribeDumpDifferences;
using testing_support::ExpectedEveryHost;
using testing_support::FixtureGuard;
using testing_support::MachinePlaces;
using testing_support::Place;
using testing_support::PopulateLegacy;
using testing_support::PopulateNeighbours;
using testing_support::RawKeyExists;
using testing_support::RestrictedKey;
using testing_support::ListNames;
using testing_support::ProbeEveryHost;
using testing_support::RegistryDump;
using testing_support::RemoveTree;
using testing_support::SameDump;


std::wstring VersionDir(const std::string& version) { return BaseDir() + Utf8ToWide(version) + L"\\"; }

bool HasLine(const std::vector<std::string>& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
}

bool HasPrefix(const std::vector<std::string>& log, const std::string& prefix) {
    return std::any_of(log.begin(), log.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}

std::wstring ReadUninstallValue(const wchar_t* name) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return buffer;
}

// The trees the registration and the cleanups touch, in both views. Wine's
// own bookkeeping elsewhere in the user hive (menu files of shortcuts, trust
// provider state) changes behind the installer's back and is left out.
RegistryDump DumpRegistrationTrees() {
    std::vector<testing_support::DumpRoot> roots;
    for (REGSAM view : {REGSAM(KEY_WOW64_64KEY), REGSAM(KEY_WOW64_32KEY)}) {
        for (const wchar_t* path : {L"Software\\Classes", L"Software\\Microsoft\\Office", L"Software\\Kingsoft",
                                    L"Software\\QuilmoStudio",
                                    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"}) {
            roots.push_back({HKEY_CURRENT_USER, path, view});
        }
    }
    return testing_support::DumpRegistry(roots);
}

bool Is64BitWindows() {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

// What every host would load: the 32-bit hosts the 32-bit server of dir, and
// on 64-bit Windows the 64-bit hosts the 64-bit server.
// Wine now and then fails to start a process under load (error 1359); such a
// probe that never ran is asked again, a probe's answer never is.
std::vector<std::wstring> ProbeHosts(int bits) {
    std::vector<std::wstring> lines;
    for (int attempt = 0; attempt < 3; ++attempt) {
        lines = ProbeEveryHost(bits);
        bool allRan = std::none_of(lines.begin(), lines.end(),
                                   [](const std::wstring& line) { return line.find(L": -1 ") != std::wstring::npos; });
        if (allRan) break;
    }
    return lines;
}

void ExpectHostsLoad(const std::wstring& dir) {
    EXPECT_EQ(ProbeHosts(32), ExpectedEveryHost(dir + L"ZUDodi32.dll"));
    if (Is64BitWindows()) {
        EXPECT_EQ(ProbeHosts(64), ExpectedEveryHost(dir + L"REDero64.dll"));
    }
}

// Sets a directory's and its files' times back, so the collector sees an
// old version.
void AgeTree(const std::wstring& dir) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value;
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -= 2ULL * 3600ULL * 10000000ULL;
    FILETIME old = {value.LowPart, value.HighPart};
    for (const auto& [name, attributes] : ListNames(dir)) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            AgeTree(dir + L"\\" + name);
            continue;
        }
        UniqueFile file(CreateFileW((dir + L"\\" + name).c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
        SetFileTime(file.get(), &old, &old, &old);
    }
    UniqueFile self(CreateFileW(dir.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    SetFileTime(self.get(), &old, &old, &old);
}

class SwitchOver : public testing::Test {
protected:
    void SetUp() override {
        TrustTestRootCa();
        TrustSigningRootCa();
        Reset();
        net48_.Present(true);
    }
    void TearDown() override { Reset(); }

    static void Reset() {
        ReleaseServer::UseInstallRelease("");
        ReleaseServer::Script("{}");
        ClearUserRegistration();
        RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
        RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKey);
        RegDeleteTreeW(HKEY_CURRENT_USER, kProductKey);
        RegDeleteKeyW(HKEY_CURRENT_USER, kProductKey);
        std::wstring base = BaseDir();
        RemoveTree(base.substr(0, base.size() - 1));
    }

    static int SilentInstall(const std::string& release) {
        ReleaseServer::UseInstallRelease(release);
        return RunSetup({L"/silent"}, 180000);
    }

    NetFramework48 net48_;
};

TEST_F(SwitchOver, FreshSilentInstallLoadsTheNewVersionInEveryHost) {
    ASSERT_EQ(SilentInstall("com1"), 0);
    std::vector<std::string> log = LogMessages();
    std::wstring target = VersionDir("2026.7.1");
    ExpectInOrder(log, {"RunInstaller begin", "target path=" + WideToUtf8(target), "download failed count=0",
                        "payload mode=com detail=COM payload verified", "reg target perUser=true writeHklm=false",
                        "step 2: core register begin", "core register ok=true reg32=true reg64=" +
                            std::string(Is64BitWindows() ? "true" : "false") + " detail=",
                        "legacy vsto cleanup done vstoFilesRemoved=true", "register done", "install fonts begin",
                        "install fonts done", "create shortcuts begin", "create shortcuts done",
                        "webview2 missing in auto/silent mode: core COM add-in enabled, AI/sidebar requires WebView2 "
                        "repair (RIDedavu)",
                        "vsto post-check skipped: com payload mode", "install complete",
                        "silent RunInstaller returned code=0"});
    EXPECT_FALSE(HasPrefix(log, "step 3: HKLM cleanup begin")) << "nothing old in the machine hive";
    EXPECT_FALSE(HasPrefix(log, "file count=")) << "a silent run reports no count";
    ExpectHostsLoad(target);
    EXPECT_EQ(ReadUninstallValue(L"DisplayVersion"), L"2026.7.1");
}

TEST_F(SwitchOver, UpdatesMoveTheRegistrationKeepThePreviousAndCollectTheOldest) {
    ASSERT_EQ(SilentInstall("com1"), 0);
    ASSERT_EQ(SilentInstall("com2"), 0);
    std::vector<std::string> log = LogMessages();
    ExpectInOrder(log, {"installed version=2026.7.1", "copy old version result=true", "download needed count=4",
                        "register done", "install complete"});
    ExpectHostsLoad(VersionDir("2026.7.2"));
    EXPECT_EQ(ReadUninstallValue(L"DisplayVersion"), L"2026.7.2");
    // The version it came from stays, however old: it is protected.
    AgeTree(BaseDir() + L"2026.7.1");
    EXPECT_TRUE(testing_support::Exists(VersionDir("2026.7.1") + L"ZUDodi32.dll"));

    ASSERT_EQ(SilentInstall("com3"), 0);
    ExpectHostsLoad(VersionDir("2026.7.3"));
    EXPECT_EQ(ReadUninstallValue(L"DisplayVersion"), L"2026.7.3");
    // Now the oldest is neither current nor previous, and old enough to go.
    EXPECT_FALSE(testing_support::Exists(BaseDir() + L"2026.7.1"));
    EXPECT_TRUE(testing_support::Exists(VersionDir("2026.7.2") + L"ZUDodi32.dll"));
    EXPECT_TRUE(HasPrefix(LogMessages(), "old-version gc"));
}

TEST_F(SwitchOver, PostMigrationCommandRunsInTheNewVersionBeforeCompletion) {
    ASSERT_EQ(SilentInstall("cmd_ok"), 0);
    std::vector<std::string> log = LogMessages();
    ExpectInOrder(log, {"pre-check post cmd=QMSetupHelper.exe", "reg target perUser=true writeHklm=false",
                        "core register ok=true reg32=true reg64=" + std::string(Is64BitWindows() ? "true" : "false") +
                            " detail=",
                        "post cmd waitRc=0 exitCode=0", "register done", "install complete"});
    EXPECT_TRUE(testing_support::Exists(VersionDir("2026.7.4") + L"helper-ran.txt"));
    ExpectHostsLoad(VersionDir("2026.7.4"));
}

struct AbortCase {
    const char* release;
    int code;
    const char* logLine;  // a line (prefix) the run must log
    bool net48Missing;
    bool afterRegistration = false;  // the failure comes after the registration was written
};

class SwitchOverAborts : public SwitchOver, public testing::WithParamInterface<AbortCase> {};

TEST_P(SwitchOverAborts, LeaveTheUserHiveAsItWasAndThePreviousVersionLoading) {
    const AbortCase& c = GetParam();
    ASSERT_EQ(SilentInstall("com1"), 0);
    std::wstring previous = VersionDir("2026.7.1");
    RegistryDump before = DumpRegistrationTrees();
    if (c.net48Missing) net48_.Present(false);

    EXPECT_EQ(SilentInstall(c.release), c.code);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasPrefix(log, c.logLine)) << c.logLine;
    if (c.net48Missing) {
        ExpectInOrder(log, {"payload mode=com detail=COM payload verified",
                            "prerequisite: .NET Framework 4.8 missing before registration", c.logLine});
    }
    EXPECT_EQ(HasPrefix(log, "step 2: core register begin"), c.afterRegistration);
    EXPECT_FALSE(HasLine(log, "install complete"));
    EXPECT_EQ(log.back(), "silent RunInstaller returned code=" + std::to_string(c.code));
    RegistryDump after = DumpRegistrationTrees();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
    ExpectHostsLoad(previous);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SwitchOverAborts,
    testing::Values(
        AbortCase{"noconfig", 1,
                  "payload mode=invalid-com detail=核心配置文件 Quilmo.Core.dll.config 缺失或下载校验失败。", false},
        AbortCase{"swapped", 1, "abort: core PE architecture mismatch pe32Ok=0", false},
        AbortCase{"empty32", 1, "abort: core PE architecture mismatch pe32Ok=0", false},
        AbortCase{"cut32", 1, "abort: core PE architecture mismatch pe32Ok=0", false},
        AbortCase{"far32", 1, "abort: core PE architecture mismatch pe32Ok=0", false},
        AbortCase{"com2", 2, "abort: .NET 4.8 missing in auto/silent mode; preserving existing plugin configuration",
                  true},
        // The manifest itself is refused for a command off the allow-list.
        AbortCase{"cmd_other", 1, "manifest fetch/verify failed: ", false},
        AbortCase{"cmd_missing", 1, "abort: post cmd file missing before registry mutation: ", false},
        AbortCase{"cmd_unsigned", 1, "abort: post cmd Authenticode verification failed before registry mutation: ",
                  false},
        AbortCase{"cmd_contoso", 1, "abort: post cmd Authenticode verification failed before registry mutation: ",
                  false},
        AbortCase{"cmd_fail", 1, "post cmd waitRc=0 exitCode=1", false, true}),
    [](const testing::TestParamInfo<AbortCase>& info) { return std::string(info.param.release); });

std::wstring UserVstoManifest(const wchar_t* officeHost, const wchar_t* shortName) {
    std::wstring text;
    const std::wstring key = OfficeAddinKeyPath(officeHost, (L"Quilmo2025." + std::wstring(shortName)).c_str());
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Manifest", RRF_RT_REG_SZ, nullptr, buffer, &size) ==
        ERROR_SUCCESS) {
        text = buffer;
    }
    return text;
}

// An unattended run never installs the VSTO runtime: with Office there and
// no runtime, the COM add-in stays registered and loading.
TEST_F(SwitchOver, ASilentLegacyVstoRunWithoutTheRuntimeLeavesTheComAddinLoading) {
    ASSERT_EQ(SilentInstall("com1"), 0);
    testing_support::ScratchDir scratch;
    testing_support::WordOnAppPaths word(scratch / L"Office", Is64BitWindows() ? 64 : 32);
    RegistryDump before = DumpRegistrationTrees();
    EXPECT_EQ(SilentInstall("vsto"), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasPrefix(log, "payload mode=legacy-vsto detail="));
    ExpectInOrder(log, {"automated legacy vsto aborted: runtime missing",
                        "silent RunInstaller returned code=1"});
    EXPECT_TRUE(HasPrefix(log, "vsto before state=missing hosts=" + std::string(Is64BitWindows() ? "x64" : "x86") +
                                   " host_evidence=yes wps_arch_unconfirmed=no machine_registration=absent x86=missing"));
    EXPECT_FALSE(HasLine(log, "register begin"));
    RegistryDump after = DumpRegistrationTrees();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
    ExpectHostsLoad(VersionDir("2026.7.1"));
}

// Without a host to judge by, the runtime is uncertain: an unattended run
// goes on, registers the three VSTO add-ins and removes the COM generation.
TEST_F(SwitchOver, ASilentLegacyVstoRunWithTheRuntimeUncertainSwitchesToTheVstoAddins) {
    ASSERT_EQ(SilentInstall("com1"), 0);
    EXPECT_EQ(SilentInstall("vsto"), 0);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasPrefix(log, "payload mode=legacy-vsto detail="));
    ExpectInOrder(log, {"vsto cert import publishers=0 ca=0 failed=0 ok=false",
                        "disable publisher revocation check done", "register begin",
                        "legacy vsto hkcu com cleanup ok=true", "register done", "install complete",
                        "silent RunInstaller returned code=0"});
    EXPECT_TRUE(HasPrefix(log, "vsto before state=uncertain hosts=unknown host_evidence=no"));
    EXPECT_FALSE(HasPrefix(log, "legacy vsto hklm com cleanup required"));
    const std::wstring target = VersionDir("2026.7.15");
    for (const auto& [office, shortName] : {std::pair<const wchar_t*, const wchar_t*>{L"Word", L"Word"},
                                            {L"Excel", L"Excel"}, {L"PowerPoint", L"PPT"}}) {
        EXPECT_EQ(UserVstoManifest(office, shortName), L"file:///" + target + L"Quilmo2025." + shortName +
                                                           L".vsto|vstolocal");
    }
    for (const ComClass& entry : ComClassTable) {
        if (entry.officeHost == nullptr) continue;
        EXPECT_FALSE(RawKeyExists(HKEY_CURRENT_USER, OfficeAddinKeyPath(entry.officeHost, entry.progId), 0))
            << WideToUtf8(entry.progId);
    }
    EXPECT_EQ(ReadUninstallValue(L"DisplayVersion"), L"2026.7.15");
}

// Older generations in both hives go with a successful run; other vendors'
// entries beside them stay.
TEST_F(SwitchOver, OlderGenerationsInBothHivesAreRemoved) {
    const Place user{HKEY_CURRENT_USER, 0, L""};
    std::vector<Place> places = MachinePlaces();
    places.push_back(user);
    FixtureGuard guard(places);
    for (const Place& at : places) {
        PopulateLegacy(at);
        PopulateNeighbours(at);
    }
    ASSERT_EQ(SilentInstall("com1"), 0);
    std::vector<std::string> log = LogMessages();
    ExpectInOrder(log, {"core register ok=true reg32=true reg64=" + std::string(Is64BitWindows() ? "true" : "false") +
                            " detail=",
                        "step 3: HKLM cleanup ok=true loadableAfter=0 legacy2024After=0", "register done",
                        "install complete"});
    for (const Place& at : places) {
        EXPECT_FALSE(RawKeyExists(at.hive, kLegacyUninstallKey, at.view)) << "view " << at.view;
        EXPECT_TRUE(RawKeyExists(at.hive, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OtherProduct",
                                 at.view));
    }
    ExpectHostsLoad(VersionDir("2026.7.1"));
}

// Registry failures inside the switch-over: a key that cannot be written or
// deleted makes the step fail, and the snapshot puts everything back.
TEST_F(SwitchOver, CoreRegistrationThatFailsIsRolledBack) {
    ASSERT_EQ(SilentInstall("com1"), 0);
    RegistryDump before = DumpRegistrationTrees();
    RestrictedKey locked(HKEY_CURRENT_USER, OfficeAddinKeyPath(L"Excel", L"Quilmo2027.Excel"),
                         testing_support::kReadOnlyKey);
    ASSERT_TRUE(locked.restricted());
    EXPECT_EQ(SilentInstall("com2"), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasPrefix(log, "core register ok=false")) << "the registration itself reports the failure";
    EXPECT_FALSE(HasLine(log, "register done"));
    locked.Release();
    RegistryDump after = DumpRegistrationTrees();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
    ExpectHostsLoad(VersionDir("2026.7.1"));
}

TEST_F(SwitchOver, UserHiveCleanupThatFailsIsRolledBack) {
    const Place user{HKEY_CURRENT_USER, 0, L""};
    FixtureGuard guard({user});
    ASSERT_EQ(SilentInstall("com1"), 0);
    PopulateLegacy(user);
    RegistryDump before = DumpRegistrationTrees();
    RestrictedKey locked(HKEY_CURRENT_USER, kLegacyUninstallKey, testing_support::kReadOnlyKey);
    ASSERT_TRUE(locked.restricted());
    EXPECT_EQ(SilentInstall("com2"), 1);
    std::vector<std::string> log = LogMessages();
    ExpectInOrder(log, {"core register ok=true reg32=true reg64=" + std::string(Is64BitWindows() ? "true" : "false") +
                            " detail=",
                        "abort step 2: HKCU legacy VSTO/2024 cleanup failed; restoring HKCU snapshot",
                        "silent RunInstaller returned code=1"});
    locked.Release();
    RegistryDump after = DumpRegistrationTrees();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
    ExpectHostsLoad(VersionDir("2026.7.1"));
}

TEST_F(SwitchOver, MachineHiveCleanupThatFailsIsRolledBack) {
    std::vector<Place> machine = MachinePlaces();
    FixtureGuard guard(machine);
    ASSERT_EQ(SilentInstall("com1"), 0);
    for (const Place& at : machine) PopulateLegacy(at);
    RegistryDump before = DumpRegistrationTrees();
    RestrictedKey locked(HKEY_LOCAL_MACHINE, kLegacyUninstallKey, testing_support::kReadOnlyKey, machine[0].view);
    ASSERT_TRUE(locked.restricted());
    EXPECT_EQ(SilentInstall("com2"), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasPrefix(log, "step 3: HKLM cleanup begin loadableState="));
    EXPECT_TRUE(HasPrefix(log, "step 3: HKLM cleanup ok=false"));
    EXPECT_FALSE(HasLine(log, "register done"));
    locked.Release();
    RegistryDump after = DumpRegistrationTrees();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
    ExpectHostsLoad(VersionDir("2026.7.1"));
}

// On 32-bit Windows the 64-bit server is never registered, so a wrong one
// does not stop the install. (Run in the 32-bit prefix; on 64-bit Windows
// the same release is an architecture abort.)
TEST_F(SwitchOver, WrongSixtyFourBitServerMattersOnlyOnSixtyFourBitWindows) {
    if (Is64BitWindows()) {
        EXPECT_EQ(SilentInstall("wrong64"), 1);
        EXPECT_TRUE(HasLine(LogMessages(), "abort: core PE architecture mismatch pe32Ok=1 pe64Ok=0"));
        return;
    }
    ASSERT_EQ(SilentInstall("wrong64"), 0);
    ExpectInOrder(LogMessages(), {"core register ok=true reg32=true reg64=false detail=", "install complete"});
    ExpectHostsLoad(VersionDir("2026.7.11"));
}

}  // namespace
}  // namespace quilmo::test
