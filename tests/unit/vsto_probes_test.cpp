// The VSTO runtime probes and the legacy add-in registration in the test's
// Wine prefix: loader files as header-only stand-ins of either machine type
// (or locked), the runtime's registration values, host programs placed
// behind App Paths, InstallRoot, Click-to-Run and a per-user WPS folder, and
// the add-in keys written below a private key.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "probes/host_detection.h"
#include "probes/vsto_readiness.h"
#include "registration/legacy_vsto_registration.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"
#include "support/host_probe.h"
#include "support/scratch_dir.h"
#include "support/scratch_registry.h"
#include "support/test_registry_key.h"
#include "support/vsto_runtime.h"

namespace quilmo {
namespace {

using testing_support::DeleteKeyInView;
using testing_support::HostFixtureDir;
using testing_support::kAmd64;
using testing_support::kI386;
using testing_support::kRuntimeV4;
using testing_support::kRuntimeV4R;
using testing_support::LoaderFiles;
using testing_support::PeHeaders;
using testing_support::View32;
using testing_support::MakeDirectories;
using testing_support::OnWow64;
using testing_support::RemoveTree;
using testing_support::ScratchDir;
using testing_support::ScratchKey;
using testing_support::TestRegistryKey;
using testing_support::WriteBytes;

TEST(PeImage, ADllOfTheMachineTypeIsPresentEverythingElseMissingAndUnreadableUnknown) {
    ScratchDir scratch;
    struct Row {
        const char* what;
        std::string bytes;
        uint16_t machine;
        int expected;
    };
    std::string badSignature = PeHeaders(kI386, true);
    badSignature[64] = 'N';
    std::string lowOffset = PeHeaders(kI386, true);
    lowOffset[60] = 32;
    const Row rows[] = {
        {"i386 DLL", PeHeaders(kI386, true), kI386, kProbePresent},
        {"i386 DLL asked as AMD64", PeHeaders(kI386, true), kAmd64, kProbeAbsent},
        {"AMD64 DLL", PeHeaders(kAmd64, true), kAmd64, kProbePresent},
        {"AMD64 DLL where i386 is expected", PeHeaders(kAmd64, true), kI386, kProbeAbsent},
        {"an i386 program, not a DLL", PeHeaders(kI386, false), kI386, kProbeAbsent},
        {"headers further in", PeHeaders(kI386, true, 200), kI386, kProbePresent},
        {"no PE signature", badSignature, kI386, kProbeAbsent},
        {"header offset inside the DOS header", lowOffset, kI386, kProbeAbsent},
        {"cut inside the PE header", PeHeaders(kI386, true).substr(0, 80), kI386, kProbeAbsent},
        {"header offset past the end", PeHeaders(kI386, true, 4096).substr(0, 64), kI386, kProbeAbsent},
        {"shorter than a DOS header", "MZ", kI386, kProbeAbsent},
        {"not MZ", std::string(128, 'x'), kI386, kProbeAbsent},
        {"empty", "", kI386, kProbeAbsent},
    };
    int n = 0;
    for (const Row& row : rows) {
        const std::wstring path = scratch / (L"image" + std::to_wstring(n++) + L".dll");
        ASSERT_TRUE(WriteBytes(path, row.bytes));
        EXPECT_EQ(CheckPeImage(path, row.machine), row.expected) << row.what;
    }
    EXPECT_EQ(CheckPeImage(scratch / L"none.dll", kI386), kProbeAbsent);
    EXPECT_EQ(CheckPeImage(scratch / L"no\\such\\dir.dll", kI386), kProbeAbsent);

    // Held open by another without sharing: it cannot be read, so nothing
    // can be said about it.
    const std::wstring locked = scratch / L"locked.dll";
    ASSERT_TRUE(WriteBytes(locked, PeHeaders(kI386, true)));
    UniqueFile holder(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(CheckPeImage(locked, kI386), kProbeUnknown);
}

TEST(VstoRuntimeRegistration, AVersionOfTenOrLaterInEitherKeyIsPresent) {
    struct Row {
        const char* what;
        const wchar_t* key;  // nullptr: no key at all
        DWORD type;          // REG_NONE: the key without a "Version"
        std::wstring text;
        DWORD number;
        int expected;
    };
    const Row rows[] = {
        {"nothing registered", nullptr, REG_NONE, L"", 0, kProbeAbsent},
        {"DWORD 10,000,000", kRuntimeV4, REG_DWORD, L"", 10000000, kProbePresent},
        {"DWORD 9,999,999", kRuntimeV4, REG_DWORD, L"", 9999999, kProbeUnknown},
        {"text 10.0.60910", kRuntimeV4, REG_SZ, L"10.0.60910", 0, kProbePresent},
        {"text 9.0.1", kRuntimeV4, REG_SZ, L"9.0.1", 0, kProbeUnknown},
        {"text 10.0", kRuntimeV4, REG_SZ, L"10.0", 0, kProbeUnknown},
        {"only the v4R key", kRuntimeV4R, REG_SZ, L"10.0.60910.0", 0, kProbePresent},
        {"a key without a version", kRuntimeV4, REG_NONE, L"", 0, kProbeUnknown},
        {"a version of another type", kRuntimeV4, REG_EXPAND_SZ, L"10.0.60910", 0, kProbeUnknown},
    };
    const REGSAM view = View32();
    for (const Row& row : rows) {
        DeleteKeyInView(kRuntimeV4, view);
        DeleteKeyInView(kRuntimeV4R, view);
        if (row.key != nullptr) {
            TestRegistryKey key(HKEY_LOCAL_MACHINE, row.key, view);
            ASSERT_TRUE(key.valid()) << row.what;
            if (row.type == REG_DWORD) key.SetDword(L"Version", row.number);
            if (row.type == REG_SZ || row.type == REG_EXPAND_SZ) key.SetString(L"Version", row.text, row.type);
            EXPECT_EQ(ReadVstoRuntimeRegistration(view), row.expected) << row.what;
        } else {
            EXPECT_EQ(ReadVstoRuntimeRegistration(view), row.expected) << row.what;
        }
    }
}

TEST(VstoLoader, BothFilesOfTheMachineTypeArePresentAndALockedOneIsUnknown) {
    LoaderFiles loader(View32());
    EXPECT_EQ(CheckVstoLoader(View32(), kI386), kProbeAbsent);
    loader.Place(kI386, false);
    EXPECT_EQ(CheckVstoLoader(View32(), kI386), kProbeAbsent) << "VSTOLoader.dll missing";
    loader.Place(kAmd64);
    EXPECT_EQ(CheckVstoLoader(View32(), kI386), kProbeAbsent) << "AMD64 files where i386 is expected";
    loader.Place(kI386);
    EXPECT_EQ(CheckVstoLoader(View32(), kI386), kProbePresent);
    UniqueFile holder(CreateFileW(loader.Engine().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(CheckVstoLoader(View32(), kI386), kProbeUnknown);
}

const wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

std::wstring HostProgram(int bits) { return HostFixtureDir() + L"\\host_probe" + std::to_wstring(bits) + L".exe"; }

// A copy of the 32-bit or 64-bit test program under a host's file name.
std::wstring PlaceHost(const std::wstring& directory, const wchar_t* name, int bits) {
    MakeDirectories(directory);
    const std::wstring path = directory + L"\\" + name;
    CopyFileW(HostProgram(bits).c_str(), path.c_str(), FALSE);
    return path;
}

std::wstring LocalWpsRoot() {
    wchar_t local[MAX_PATH] = {};
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local);
    return std::wstring(local) + L"\\Kingsoft\\WPS Office";
}

class Hosts : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ExeArchBits(HostProgram(32)), 1);
        ASSERT_EQ(ExeArchBits(HostProgram(64)), 2);
        RemoveTree(LocalWpsRoot());
    }
    void TearDown() override { RemoveTree(LocalWpsRoot()); }

    std::vector<REGSAM> Views() const {
        return OnWow64() ? std::vector<REGSAM>{KEY_WOW64_32KEY, KEY_WOW64_64KEY} : std::vector<REGSAM>{0};
    }

    ScratchDir scratch;
};

TEST_F(Hosts, NothingInstalledIsNoEvidence) {
    HostScan scan = DiscoverHosts(Views());
    EXPECT_EQ(scan.hostBits, 0);
    EXPECT_FALSE(scan.hostEvidence);
    EXPECT_FALSE(scan.wpsArchUnconfirmed);
}

TEST_F(Hosts, AppPathsValuesQuotedOrExpandedOnAFixedDriveCount) {
    struct Row {
        const char* what;
        const wchar_t* program;
        int bits;
        int valueKind;  // 0 plain, 1 quoted, 2 REG_EXPAND_SZ, 3 a network path, 4 no drive letter
        int expected;
    };
    const Row rows[] = {
        {"64-bit Word", L"winword.exe", 64, 0, 2},      {"32-bit Excel, quoted", L"excel.exe", 32, 1, 1},
        {"32-bit WPS, expanded", L"wps.exe", 32, 2, 1}, {"a network drive", L"powerpnt.exe", 64, 3, 0},
        {"no drive letter", L"et.exe", 64, 4, 0},
    };
    for (const Row& row : rows) {
        const std::wstring path = PlaceHost(scratch / L"apps", row.program, row.bits);
        std::wstring value = path;
        DWORD type = REG_SZ;
        if (row.valueKind == 1) value = L"\"" + path + L"\"";
        if (row.valueKind == 2) {
            SetEnvironmentVariableW(L"QM_HOSTS_TEST", (scratch / L"apps").c_str());
            value = std::wstring(L"%QM_HOSTS_TEST%\\") + row.program;
            type = REG_EXPAND_SZ;
        }
        if (row.valueKind == 3) value = std::wstring(L"\\\\server\\share\\") + row.program;
        if (row.valueKind == 4) value = row.program;
        TestRegistryKey key(HKEY_CURRENT_USER, kAppPaths + std::wstring(row.program), 0);
        key.SetString(L"", value, type);
        EXPECT_EQ(DiscoverHosts(Views()).hostBits, row.expected) << row.what;
    }
    SetEnvironmentVariableW(L"QM_HOSTS_TEST", nullptr);
}

TEST_F(Hosts, WpsByItsInstallRootAndOfficeByClickToRun) {
    const std::wstring wps = scratch / L"WPS";
    PlaceHost(wps + L"\\office6", L"wps.exe", 32);
    {
        TestRegistryKey root(HKEY_CURRENT_USER, L"SOFTWARE\\Kingsoft\\Office\\6.0\\common", 0);
        root.SetString(L"InstallRoot", wps);
        HostScan scan = DiscoverHosts(Views());
        EXPECT_EQ(scan.hostBits, 1);
        EXPECT_FALSE(scan.wpsArchUnconfirmed);
        EXPECT_TRUE(scan.hostEvidence);
    }
    const std::wstring office = scratch / L"Microsoft Office";
    PlaceHost(office + L"\\root\\Office16", L"winword.exe", 64);
    for (REGSAM view : Views()) {
        TestRegistryKey clickToRun(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Office\\ClickToRun\\Configuration", view);
        clickToRun.SetString(L"InstallationPath", office);
        EXPECT_EQ(DiscoverHosts(Views()).hostBits, 2) << "view " << view;
    }
    // In the user's hive Click-to-Run is not looked for.
    TestRegistryKey userClickToRun(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Office\\ClickToRun\\Configuration", 0);
    userClickToRun.SetString(L"InstallationPath", office);
    EXPECT_EQ(DiscoverHosts(Views()).hostBits, 0);
}

TEST_F(Hosts, ALauncherOrAPerUserWpsWithoutReadableProgramsLeavesTheArchitectureUnconfirmed) {
    const std::wstring launcherDir = scratch / L"Kingsoft";
    const std::wstring launcher = PlaceHost(launcherDir, L"ksolaunch.exe", 32);
    {
        TestRegistryKey key(HKEY_CURRENT_USER, kAppPaths + std::wstring(L"ksolaunch.exe"), 0);
        key.SetString(L"", launcher);
        HostScan scan = DiscoverHosts(Views());
        EXPECT_EQ(scan.hostBits, 0);
        EXPECT_TRUE(scan.wpsArchUnconfirmed);
        EXPECT_TRUE(scan.hostEvidence);
        // Beside the launcher a readable wps.exe settles the architecture.
        PlaceHost(launcherDir, L"wps.exe", 64);
        scan = DiscoverHosts(Views());
        EXPECT_EQ(scan.hostBits, 2);
        EXPECT_FALSE(scan.wpsArchUnconfirmed);
    }
    // A per-user WPS in a version-named folder, and a folder whose name is
    // no version, which is not looked into.
    PlaceHost(LocalWpsRoot() + L"\\not-a-version\\office6", L"ksolaunch.exe", 32);
    EXPECT_FALSE(DiscoverHosts(Views()).hostEvidence);
    PlaceHost(LocalWpsRoot() + L"\\12.1.0.17827\\office6", L"ksolaunch.exe", 32);
    HostScan scan = DiscoverHosts(Views());
    EXPECT_TRUE(scan.wpsArchUnconfirmed);
    EXPECT_TRUE(scan.hostEvidence);
    EXPECT_EQ(scan.hostBits, 0);
}

// The machine of the Part's first examples: 32-bit WPS by its InstallRoot,
// the runtime registered in the 32-bit view, i386 loader files only.
class Readiness : public Hosts {
protected:
    void SetUp() override {
        Hosts::SetUp();
        DeleteKeyInView(kRuntimeV4, View32());
        DeleteKeyInView(kRuntimeV4R, View32());
        if (OnWow64()) {
            DeleteKeyInView(kRuntimeV4, KEY_WOW64_64KEY);
            DeleteKeyInView(kRuntimeV4R, KEY_WOW64_64KEY);
        }
    }
    void InstallWps32() {
        const std::wstring wps = scratch / L"WPS";
        PlaceHost(wps + L"\\office6", L"wps.exe", 32);
        root_.SetString(L"InstallRoot", wps);
    }
    TestRegistryKey root_{HKEY_CURRENT_USER, L"SOFTWARE\\Kingsoft\\Office\\6.0\\common", 0};
};

TEST_F(Readiness, TheMachineDecidesFromHostsRegistrationAndLoaders) {
    LoaderFiles loader32(View32());
    VstoReadiness r = EvaluateVstoReadiness();
    EXPECT_EQ(r.state, kVstoUncertain) << "no registration, no loaders, no host evidence";
    EXPECT_EQ(r.osBits, OnWow64() ? 3 : 1);
    EXPECT_EQ(r.machineRegistration, kProbeAbsent);

    InstallWps32();
    r = EvaluateVstoReadiness();
    EXPECT_EQ(r.state, kVstoMissing) << FormatVstoReadiness(r);

    TestRegistryKey runtime(HKEY_LOCAL_MACHINE, kRuntimeV4, View32());
    runtime.SetString(L"Version", L"10.0.60910");
    loader32.Place(kI386);
    r = EvaluateVstoReadiness();
    EXPECT_EQ(r.state, kVstoReady) << FormatVstoReadiness(r);
    EXPECT_EQ(r.hosts, 1);
    if (OnWow64()) {
        EXPECT_EQ(FormatVstoReadiness(r),
                  "state=ready hosts=x86 host_evidence=yes wps_arch_unconfirmed=no machine_registration=present "
                  "x86=present x64=missing");
    } else {
        EXPECT_EQ(FormatVstoReadiness(r),
                  "state=ready hosts=x86 host_evidence=yes wps_arch_unconfirmed=no machine_registration=present "
                  "x86=present x64=n/a");
    }
}

TEST_F(Readiness, AnUnconfirmedWpsNeedsEveryArchitectureOfWindows) {
    if (!OnWow64()) GTEST_SKIP() << "needs 64-bit Windows";
    LoaderFiles loader32(View32());
    loader32.Place(kI386);
    TestRegistryKey runtime(HKEY_LOCAL_MACHINE, kRuntimeV4, View32());
    runtime.SetString(L"Version", L"10.0.60910");
    const std::wstring launcher = PlaceHost(scratch / L"Kingsoft", L"ksolaunch.exe", 32);
    TestRegistryKey key(HKEY_CURRENT_USER, kAppPaths + std::wstring(L"ksolaunch.exe"), 0);
    key.SetString(L"", launcher);
    const VstoReadiness r = EvaluateVstoReadiness();
    EXPECT_TRUE(r.wpsArchUnconfirmed);
    EXPECT_EQ(r.state, kVstoUncertain) << FormatVstoReadiness(r);
    EXPECT_NE(DescribeVstoGap(r).find("\n未在常规路径检测到完整的 64 位加载组件。"), std::string::npos);
}

// The three add-ins written below a private key that stands for the
// user's hive; the machine roots stay empty in a user-only target.
class LegacyVstoKeys : public testing::Test {
protected:
    void SetUp() override {
        target.userHive = HKEY_CURRENT_USER;
        target.machineHive = HKEY_CURRENT_USER;
        target.neutralRoot = scratch.Below(L"N");
        target.user32Root = scratch.Below(L"U32");
        target.user64Root = scratch.Below(L"U64");
        target.machine32Root = scratch.Below(L"M32");
        target.machine64Root = scratch.Below(L"M64");
        target.writeMachine = false;
        target.is64BitWindows = true;
    }
    std::wstring AddinKey(const wchar_t* office, const wchar_t* shortName) {
        return scratch.Below(L"N\\") + OfficeAddinKeyPath(office, (L"Quilmo2025." + std::wstring(shortName)).c_str());
    }
    ScratchKey scratch{L"LegacyVstoKeys"};
    RegistrationTarget target;
    const std::wstring dir = L"C:\\用户\\奎墨 安装\\2026.7.15\\";
};

TEST_F(LegacyVstoKeys, EachHostGetsItsAddinKeyAndAllowListValueAndVerifies) {
    RegisterLegacyVstoAddin(target, dir, "奎墨", "旧版");
    const struct {
        const wchar_t* office;
        const wchar_t* shortName;
        const wchar_t* wps;
    } hosts[] = {{L"Word", L"Word", L"WPS"}, {L"Excel", L"Excel", L"ET"}, {L"PowerPoint", L"PPT", L"WPP"}};
    for (const auto& host : hosts) {
        const std::wstring key = AddinKey(host.office, host.shortName);
        std::wstring text;
        ASSERT_TRUE(ReadRegString(HKEY_CURRENT_USER, key, 0, L"Manifest", &text)) << WideToUtf8(key);
        EXPECT_EQ(text, L"file:///" + dir + L"Quilmo2025." + host.shortName + L".vsto|vstolocal");
        ASSERT_TRUE(ReadRegString(HKEY_CURRENT_USER, key, 0, L"FriendlyName", &text));
        EXPECT_EQ(text, L"奎墨");
        ASSERT_TRUE(ReadRegString(HKEY_CURRENT_USER, key, 0, L"Description", &text));
        EXPECT_EQ(text, L"旧版");
        std::wstring allowed = L"<none>";
        EXPECT_TRUE(ReadRegString(HKEY_CURRENT_USER, scratch.Below(L"N\\") + WpsAllowListKeyPath(host.wps), 0,
                                  (L"Quilmo2025." + std::wstring(host.shortName)).c_str(), &allowed));
        EXPECT_EQ(allowed, L"");
        EXPECT_TRUE(VerifyLegacyVstoHost(target, dir, host.office, host.shortName));
    }
    for (const wchar_t* root : {L"M32", L"M64"}) {
        UniqueRegKey machine;
        EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, scratch.Below(root).c_str(), 0, KEY_READ, machine.put()),
                  ERROR_SUCCESS)
            << "a user-only target wrote below " << WideToUtf8(root);
    }
}

TEST_F(LegacyVstoKeys, VerificationWantsLoadBehaviorThreeAndThisDirectorysManifest) {
    struct Row {
        const char* what;
        DWORD loadBehavior;
        std::wstring manifest;
        bool verified;
    };
    const Row rows[] = {
        {"as written", 3, L"file:///" + dir + L"Quilmo2025.Word.vsto|vstolocal", true},
        {"another letter case", 3, L"FILE:///C:\\用户\\奎墨 安装\\2026.7.15\\quilmo2025.WORD.vsto|VSTOLOCAL", true},
        {"another directory", 3, L"file:///C:\\other\\Quilmo2025.Word.vsto|vstolocal", false},
        {"without the suffix", 3, L"file:///" + dir + L"Quilmo2025.Word.vsto", false},
        {"not loaded", 2, L"file:///" + dir + L"Quilmo2025.Word.vsto|vstolocal", false},
    };
    for (const Row& row : rows) {
        const std::wstring key = AddinKey(L"Word", L"Word");
        ASSERT_TRUE(WriteVstoAddinKey(HKEY_CURRENT_USER, key, 0, L"奎墨", L"", row.manifest));
        ASSERT_TRUE(WriteRegDword(HKEY_CURRENT_USER, key, 0, L"LoadBehavior", row.loadBehavior));
        EXPECT_EQ(VerifyLegacyVstoHost(target, dir, L"Word", L"Word"), row.verified) << row.what;
    }
    EXPECT_FALSE(VerifyLegacyVstoHost(target, dir, L"Excel", L"Excel")) << "no key at all";
}

}  // namespace
}  // namespace quilmo
