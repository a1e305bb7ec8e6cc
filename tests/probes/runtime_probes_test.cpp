// The .NET Framework 4.8 and WebView2 probes against registry values and
// runtime folders made in the prefix for each case.
#include "probes/runtime_probes.h"

#include "files/text_encoding.h"
#include "support/test_registry_key.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <memory>

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::TestRegistryKey;
using testing_support::MakeDirectories;
using testing_support::ScopedVariable;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

constexpr wchar_t kNdpKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";

TEST(NetFramework48, ReleaseThresholdInEitherView) {
    const struct {
        const char* what;
        DWORD view64, view32;  // 0: no value
        bool expected;
    } cases[] = {
        {"no value at all", 0, 0, false},
        {"4.7.2", 461814, 0, false},
        {"one below 4.8", 528039, 0, false},
        {"4.8", 528040, 0, true},
        {"4.8.1 in the 32-bit view only", 0, 533320, true},
        {"old in 64, new in 32", 461808, 528049, true},
    };
    for (const auto& c : cases) {
        std::unique_ptr<TestRegistryKey> key64, key32;
        if (c.view64) {
            key64 = std::make_unique<TestRegistryKey>(HKEY_LOCAL_MACHINE, kNdpKey, KEY_WOW64_64KEY);
            ASSERT_TRUE(key64->SetDword(L"Release", c.view64)) << c.what;
        }
        if (c.view32) {
            key32 = std::make_unique<TestRegistryKey>(HKEY_LOCAL_MACHINE, kNdpKey, KEY_WOW64_32KEY);
            ASSERT_TRUE(key32->SetDword(L"Release", c.view32)) << c.what;
        }
        EXPECT_EQ(IsNetFramework48Installed(), c.expected) << c.what;
    }
    // The type is not checked: four bytes of binary data read as the number.
    TestRegistryKey key(HKEY_LOCAL_MACHINE, kNdpKey, KEY_WOW64_64KEY);
    const DWORD release = 528040;
    ASSERT_TRUE(key.Set(L"Release", REG_BINARY, &release, sizeof release));
    EXPECT_TRUE(IsNetFramework48Installed());
}

TEST(WebView2Version, Grammar) {
    const struct {
        const wchar_t* version;
        bool usable;
    } cases[] = {
        {L"120.0.2210.91", true}, {L"1", true},        {L"0.0.0.1", true},      {L"", false},
        {L"0.0.0.0", false},      {L"0.0", false},     {L"120..0.1", false},    {L"120.0a.1", false},
        {L"120.0 .1", false},     {L"-120.0", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsUsableWebView2Version(c.version), c.usable) << WideToUtf8(c.version);
    }
}

// A folder that holds the runtime's executable and, when given, its library.
void MakeRuntime(const std::wstring& dir, const wchar_t* library = L"EBWebView\\x64\\EmbeddedBrowserWebView.dll") {
    MakeDirectories(dir);
    ASSERT_TRUE(WriteBytes(dir + L"\\msedgewebview2.exe", "exe"));
    if (library == nullptr) return;
    const std::wstring path = dir + L"\\" + library;
    MakeDirectories(path.substr(0, path.rfind(L'\\')));
    ASSERT_TRUE(WriteBytes(path, "dll"));
}

TEST(WebView2RuntimeDir, ExecutableAndOneLibrary) {
    ScratchDir scratch;
    MakeRuntime(scratch / L"x64");
    MakeRuntime(scratch / L"x86", L"EBWebView\\x86\\EmbeddedBrowserWebView.dll");
    MakeRuntime(scratch / L"flat", L"EmbeddedBrowserWebView.dll");
    MakeRuntime(scratch / L"none", nullptr);
    MakeRuntime(scratch / L"dirlib", nullptr);
    MakeDirectories(scratch / L"dirlib\\EmbeddedBrowserWebView.dll");
    MakeDirectories(scratch / L"direxe\\msedgewebview2.exe");
    ASSERT_TRUE(WriteBytes(scratch / L"direxe\\EmbeddedBrowserWebView.dll", "dll"));
    const struct {
        std::wstring dir;
        bool expected;
    } cases[] = {
        {scratch / L"x64", true},     {scratch / L"x64\\", true},   {scratch / L"x64/", true},
        {scratch / L"x86", true},     {scratch / L"flat", true},    {scratch / L"none", false},
        {scratch / L"dirlib", false}, {scratch / L"direxe", false}, {scratch / L"missing", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsWebView2RuntimeDir(c.dir), c.expected) << WideToUtf8(c.dir);
    }
}

constexpr wchar_t kClientKey[] = L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
constexpr wchar_t kWowClientKey[] =
    L"SOFTWARE\\WOW6432Node\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";

// Program folders of this process pointed into the scratch folder, so the
// machine-wide candidates are folders of the test.
class WebView2Registration : public ::testing::Test {
protected:
    ScratchDir scratch;
    ScopedVariable programFilesX86{L"ProgramFiles(x86)", (scratch / L"pf86").c_str()};
    ScopedVariable programFiles{L"ProgramFiles", (scratch / L"pf").c_str()};
};

TEST_F(WebView2Registration, MachineRegistrationsAndTheirFolders) {
    const std::wstring version = L"120.0.2210.91";
    const struct {
        const char* what;
        std::wstring pv;
        std::wstring location;             // empty: no value
        std::wstring runtime;              // folder made to hold the runtime, empty: none
        const wchar_t* library;
        bool expected;
    } cases[] = {
        {"the registered version below location", version, scratch / L"loc", scratch / L"loc\\" + version,
         L"EBWebView\\x64\\EmbeddedBrowserWebView.dll", true},
        {"the same without the library", version, scratch / L"loc", scratch / L"loc\\" + version, nullptr, false},
        {"location itself is the runtime", version, scratch / L"loc", scratch / L"loc",
         L"EmbeddedBrowserWebView.dll", true},
        {"left by an uninstall", L"0.0.0.0", scratch / L"loc", scratch / L"loc", L"EmbeddedBrowserWebView.dll",
         false},
        {"two dots in a row", L"120..2210.91", scratch / L"loc", scratch / L"loc", L"EmbeddedBrowserWebView.dll",
         false},
        {"a letter", L"120.0.2210.9a", scratch / L"loc", scratch / L"loc", L"EmbeddedBrowserWebView.dll", false},
        {"only zeros", L"0.0", scratch / L"loc", scratch / L"loc", L"EmbeddedBrowserWebView.dll", false},
        {"no location, found below Program Files (x86)", version, L"", scratch / L"pf86\\Microsoft\\EdgeWebView\\Application\\" + version,
         L"EBWebView\\x86\\EmbeddedBrowserWebView.dll", true},
        {"a location elsewhere, found below Program Files", version, scratch / L"elsewhere",
         scratch / L"pf\\Microsoft\\EdgeWebView\\Application\\" + version, L"EmbeddedBrowserWebView.dll", true},
        {"location names a file", version, scratch / L"file.txt", L"", nullptr, false},
    };
    for (const REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        for (const auto& c : cases) {
            testing_support::RemoveTree(scratch / L"loc");
            testing_support::RemoveTree(scratch / L"pf86");
            testing_support::RemoveTree(scratch / L"pf");
            ASSERT_TRUE(WriteBytes(scratch / L"file.txt", "not a folder"));
            if (!c.runtime.empty()) MakeRuntime(c.runtime, c.library);
            TestRegistryKey key(HKEY_LOCAL_MACHINE, kClientKey, view);
            ASSERT_TRUE(key.SetString(L"pv", c.pv));
            if (!c.location.empty()) {
                ASSERT_TRUE(key.SetString(L"location", c.location));
            }
            EXPECT_EQ(IsWebView2RuntimeInstalled(), c.expected) << c.what << (view == KEY_WOW64_64KEY ? " (64)" : " (32)");
        }
    }
}

TEST_F(WebView2Registration, TheUpdatersOwnLayoutAndValueTypes) {
    const std::wstring version = L"121.0.2277.83";
    MakeRuntime(scratch / L"loc\\" + version);
    {
        // Where the updater writes on 64-bit Windows, seen from the 64-bit view.
        TestRegistryKey key(HKEY_LOCAL_MACHINE, kWowClientKey, KEY_WOW64_64KEY);
        ASSERT_TRUE(key.valid());
        ASSERT_TRUE(key.SetString(L"pv", version));
        ASSERT_TRUE(key.SetString(L"location", scratch / L"loc", REG_EXPAND_SZ));
        EXPECT_TRUE(IsWebView2RuntimeInstalled());
    }
    EXPECT_FALSE(IsWebView2RuntimeInstalled()) << "the key is gone again";
    {
        TestRegistryKey key(HKEY_LOCAL_MACHINE, kClientKey, KEY_WOW64_64KEY);
        const std::wstring wrongType = version;
        ASSERT_TRUE(key.Set(L"pv", REG_BINARY, wrongType.c_str(),
                            static_cast<DWORD>((wrongType.size() + 1) * sizeof(wchar_t))));
        ASSERT_TRUE(key.SetString(L"location", scratch / L"loc"));
        EXPECT_FALSE(IsWebView2RuntimeInstalled()) << "a version that is not text";
        // A version longer than the 256-byte buffer does not count.
        ASSERT_TRUE(key.SetString(L"pv", std::wstring(130, L'1')));
        MakeRuntime(scratch / L"loc\\" + std::wstring(130, L'1'));
        EXPECT_FALSE(IsWebView2RuntimeInstalled());
    }
}

std::wstring LocalAppData() {
    wchar_t folder[MAX_PATH] = {};
    return SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))
               ? std::wstring(folder)
               : std::wstring();
}

TEST_F(WebView2Registration, PerUserRuntimeThroughLocalApplicationData) {
    const std::wstring local = LocalAppData();
    ASSERT_FALSE(local.empty());
    const std::wstring edgeWebView = local + L"\\Microsoft\\EdgeWebView";
    ASSERT_FALSE(Exists(edgeWebView)) << "this prefix should hold no WebView2 runtime";
    const std::wstring version = L"119.0.2151.58";
    struct Tidy {
        std::wstring path;
        ~Tidy() { testing_support::RemoveTree(path); }
    } tidy{edgeWebView};

    TestRegistryKey userKey(HKEY_CURRENT_USER, kClientKey, 0);
    ASSERT_TRUE(userKey.SetString(L"pv", version));
    EXPECT_FALSE(IsWebView2RuntimeInstalled()) << "registered but not on disk";
    MakeRuntime(edgeWebView + L"\\Application\\" + version);
    EXPECT_TRUE(IsWebView2RuntimeInstalled());
    // A per-user registration is not looked for below the machine's folders.
    testing_support::RemoveTree(edgeWebView);
    MakeRuntime(scratch / L"pf86\\Microsoft\\EdgeWebView\\Application\\" + version);
    EXPECT_FALSE(IsWebView2RuntimeInstalled());
}

}  // namespace
}  // namespace quilmo
