#include "registration/host_addin_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/unique_handle.h"
#include "registration/com_registration.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"
#include "support/registry_dump.h"
#include "support/registry_gate.h"
#include "support/scratch_registry.h"

namespace quilmo {
namespace {

using testing_support::DumpRegistryTree;
using testing_support::DumpValueName;
using testing_support::DumpKeyName;
using testing_support::DumpValueText;
using testing_support::CountingGate;
using testing_support::ScratchKey;

// Each test's whole "location" lives below its own scratch key: the scratch
// path is the root, HKCU the hive, no view flag.
class HostAddinKeys : public testing::Test {
protected:
    ScratchKey scratch_{L"HostAddinKeys"};
    HKEY hive_ = HKEY_CURRENT_USER;
    std::wstring root_ = scratch_.path();

    std::wstring At(const std::wstring& path) const { return scratch_.Below(path); }
    void SetString(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
        ASSERT_TRUE(WriteRegString(hive_, At(path), 0, name, text));
    }
    std::string Entry(const std::wstring& path, const wchar_t* name) {
        auto dump = DumpRegistryTree(hive_, root_, 0).entries;
        auto found = dump.find(DumpValueName(hive_, At(path), 0, name));
        return found == dump.end() ? "missing" : found->second;
    }
    bool KeyExists(const std::wstring& path) { return RegKeyState(hive_, At(path), 0) == ProbeState::Present; }
};

std::string SzText(const std::wstring& text) {
    return DumpValueText(REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}
std::string DwordText(DWORD value) { return DumpValueText(REG_DWORD, &value, sizeof(value)); }

TEST_F(HostAddinKeys, OfficeKeysCarryTheCallersNamesForEveryDocumentHost) {
    ASSERT_TRUE(WriteOfficeAddinKeys(hive_, root_, 0, L"奎墨 Pro", L"写作助手"));
    const wchar_t* expectedHosts[][2] = {{L"Word", L"Quilmo2027.Word"},
                                         {L"Excel", L"Quilmo2027.Excel"},
                                         {L"PowerPoint", L"Quilmo2027.PPT"}};
    for (const auto& row : expectedHosts) {
        const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Office\\") + row[0] + L"\\Addins\\" + row[1];
        SCOPED_TRACE(testing::PrintToString(key));
        EXPECT_EQ(Entry(key, L"FriendlyName"), SzText(L"奎墨 Pro"));
        EXPECT_EQ(Entry(key, L"Description"), SzText(L"写作助手"));
        EXPECT_EQ(Entry(key, L"LoadBehavior"), DwordText(3));
        EXPECT_EQ(Entry(key, L"CommandLineSafe"), DwordText(1));
    }
    // Exactly three add-in keys with four values each, nothing for the task-pane host.
    size_t values = 0;
    for (const auto& entry : DumpRegistryTree(hive_, root_, 0).entries) {
        if (entry.first.find("|value:") != std::string::npos) ++values;
    }
    EXPECT_EQ(values, 12u);
}

TEST_F(HostAddinKeys, AllowListIsCreatedWholeWithEmptyStringValues) {
    ASSERT_FALSE(KeyExists(L"SOFTWARE\\Kingsoft"));
    ASSERT_TRUE(WriteWpsAllowList(hive_, root_, 0));
    const wchar_t* expected[][2] = {{L"WPS", L"Quilmo2027.Word"}, {L"ET", L"Quilmo2027.Excel"},
                                    {L"WPP", L"Quilmo2027.PPT"}};
    for (const auto& row : expected) {
        const std::wstring key = std::wstring(L"SOFTWARE\\Kingsoft\\Office\\") + row[0] + L"\\AddinsWL";
        // An empty string: two bytes, the terminating zero, not a missing value.
        EXPECT_EQ(Entry(key, row[1]), DumpValueText(REG_SZ, L"", 2)) << testing::PrintToString(key);
    }
}

TEST_F(HostAddinKeys, RemovalsOfWhatIsNotThereSucceed) {
    EXPECT_TRUE(RemoveWpsAllowList(hive_, root_, 0));
    EXPECT_TRUE(RemoveOfficeAddinKeys(hive_, root_, 0));
    SetString(L"SOFTWARE\\Kingsoft\\Office\\ET\\AddinsWL", L"Other.Addin", L"");
    EXPECT_TRUE(RemoveWpsAllowList(hive_, root_, 0));  // key there, value not
}

TEST_F(HostAddinKeys, RemovingOfficeKeysTakesEverythingBelowThem) {
    ASSERT_TRUE(WriteOfficeAddinKeys(hive_, root_, 0, L"n", L"d"));
    const std::wstring word = L"SOFTWARE\\Microsoft\\Office\\Word\\Addins\\Quilmo2027.Word";
    SetString(word, L"Extra", L"x");
    SetString(word + L"\\Sub\\Deeper", nullptr, L"y");
    SetString(L"SOFTWARE\\Microsoft\\Office\\Word\\Addins\\Someone.Else", L"LoadBehavior", L"3");
    ASSERT_TRUE(RemoveOfficeAddinKeys(hive_, root_, 0));
    for (const wchar_t* host : {L"Word", L"Excel", L"PowerPoint"}) {
        EXPECT_TRUE(KeyExists(std::wstring(L"SOFTWARE\\Microsoft\\Office\\") + host + L"\\Addins")) << host;
    }
    EXPECT_FALSE(KeyExists(word));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Microsoft\\Office\\Excel\\Addins\\Quilmo2027.Excel"));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Microsoft\\Office\\Word\\Addins\\Someone.Else"));
}

TEST_F(HostAddinKeys, AllowListRemovalLeavesOtherAddinsAndTheKeys) {
    ASSERT_TRUE(WriteWpsAllowList(hive_, root_, 0));
    SetString(L"SOFTWARE\\Kingsoft\\Office\\WPS\\AddinsWL", L"Other.Addin", L"kept");
    ASSERT_TRUE(RemoveWpsAllowList(hive_, root_, 0));
    EXPECT_EQ(Entry(L"SOFTWARE\\Kingsoft\\Office\\WPS\\AddinsWL", L"Quilmo2027.Word"), "missing");
    EXPECT_EQ(Entry(L"SOFTWARE\\Kingsoft\\Office\\WPS\\AddinsWL", L"Other.Addin"), SzText(L"kept"));
    for (const wchar_t* host : {L"WPS", L"ET", L"WPP"}) {
        EXPECT_TRUE(KeyExists(std::wstring(L"SOFTWARE\\Kingsoft\\Office\\") + host + L"\\AddinsWL")) << host;
    }
}

TEST_F(HostAddinKeys, RewritingReplacesTheFourValuesAndKeepsOthers) {
    const std::wstring excel = L"SOFTWARE\\Microsoft\\Office\\Excel\\Addins\\Quilmo2027.Excel";
    ASSERT_TRUE(WriteRegDword(hive_, At(excel), 0, L"LoadBehavior", 2));
    SetString(excel, L"FriendlyName", L"old name");
    SetString(excel, L"Manifest", L"kept");
    ASSERT_TRUE(WriteRegString(hive_, At(excel), 0, L"CommandLineSafe", L"1"));  // wrong type before
    ASSERT_TRUE(WriteOfficeAddinKeys(hive_, root_, 0, L"new name", L"new text"));
    EXPECT_EQ(Entry(excel, L"FriendlyName"), SzText(L"new name"));
    EXPECT_EQ(Entry(excel, L"Description"), SzText(L"new text"));
    EXPECT_EQ(Entry(excel, L"LoadBehavior"), DwordText(3));
    EXPECT_EQ(Entry(excel, L"CommandLineSafe"), DwordText(1));
    EXPECT_EQ(Entry(excel, L"Manifest"), SzText(L"kept"));
}

// The first refused write ends the operation; nothing after it is tried.
TEST_F(HostAddinKeys, WritesStopAtTheFirstFailure) {
    struct Case {
        const char* what;
        int failAt;
        int expectedSeen;
    };
    const Case officeCases[] = {{"first value", 1, 1}, {"Excel's LoadBehavior", 7, 7}, {"last value", 12, 12}};
    for (const Case& c : officeCases) {
        ScratchKey fresh{L"HostAddinKeysStop"};
        CountingGate gate(c.failAt);
        ScopedRegistryWriteGate scope(&gate);
        EXPECT_FALSE(WriteOfficeAddinKeys(hive_, fresh.path(), 0, L"n", L"d")) << c.what;
        EXPECT_EQ(gate.seen(), c.expectedSeen) << c.what;
    }
    for (int failAt = 1; failAt <= 3; ++failAt) {
        ScratchKey fresh{L"HostAddinKeysStop"};
        CountingGate gate(failAt);
        ScopedRegistryWriteGate scope(&gate);
        EXPECT_FALSE(WriteWpsAllowList(hive_, fresh.path(), 0)) << failAt;
        EXPECT_EQ(gate.seen(), failAt);
    }
    CountingGate all;
    ScopedRegistryWriteGate scope(&all);
    ASSERT_TRUE(WriteOfficeAddinKeys(hive_, root_, 0, L"n", L"d"));
    ASSERT_TRUE(WriteWpsAllowList(hive_, root_, 0));
    EXPECT_EQ(all.seen(), 15);
}

// Every removal is attempted even after one failed, and the failure shows.
TEST_F(HostAddinKeys, RemovalsTryEveryEntryAndReportAFailure) {
    ASSERT_TRUE(WriteOfficeAddinKeys(hive_, root_, 0, L"n", L"d"));
    ASSERT_TRUE(WriteWpsAllowList(hive_, root_, 0));
    {
        CountingGate gate(1);  // Word's key
        ScopedRegistryWriteGate scope(&gate);
        EXPECT_FALSE(RemoveOfficeAddinKeys(hive_, root_, 0));
        EXPECT_EQ(gate.seen(), 3);
    }
    {
        CountingGate gate(2);  // ET's value
        ScopedRegistryWriteGate scope(&gate);
        EXPECT_FALSE(RemoveWpsAllowList(hive_, root_, 0));
        EXPECT_EQ(gate.seen(), 3);
    }
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Microsoft\\Office\\Word\\Addins\\Quilmo2027.Word"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Microsoft\\Office\\Excel\\Addins\\Quilmo2027.Excel"));
    EXPECT_FALSE(KeyExists(L"SOFTWARE\\Microsoft\\Office\\PowerPoint\\Addins\\Quilmo2027.PPT"));
    EXPECT_EQ(Entry(L"SOFTWARE\\Kingsoft\\Office\\WPS\\AddinsWL", L"Quilmo2027.Word"), "missing");
    EXPECT_NE(Entry(L"SOFTWARE\\Kingsoft\\Office\\ET\\AddinsWL", L"Quilmo2027.Excel"), "missing");
    EXPECT_EQ(Entry(L"SOFTWARE\\Kingsoft\\Office\\WPP\\AddinsWL", L"Quilmo2027.PPT"), "missing");
}

}  // namespace
}  // namespace quilmo
