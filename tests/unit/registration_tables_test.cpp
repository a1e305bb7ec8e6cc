#include "registration/registration_tables.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace quilmo {
namespace {

// The tables are read by position elsewhere (host i of Office is host i of
// WPS); these checks keep them consistent when one of them is edited.
TEST(RegistrationTables, HostsLineUpAcrossTheTables) {
    for (size_t i = 0; i < OfficeHostNames.size(); ++i) {
        EXPECT_STREQ(ComClassTable[i].officeHost, OfficeHostNames[i]);
        EXPECT_STREQ(ComClassTable[i].wpsHost, WpsHostNames[i]);
        EXPECT_FALSE(ComClassTable[i].isControl);
        EXPECT_STREQ(LegacyVstoHost[i].officeHost, OfficeHostNames[i]);
        EXPECT_STREQ(LegacyVstoHost[i].wpsHost, WpsHostNames[i]);
        EXPECT_EQ(std::wstring(LegacyVstoHost[i].addinName), std::wstring(L"Quilmo2025.") + LegacyVstoHost[i].shortName);
    }
    const ComClass& control = ComClassTable.back();
    EXPECT_TRUE(control.isControl);
    EXPECT_EQ(control.officeHost, nullptr);
    EXPECT_EQ(control.wpsHost, nullptr);
    std::set<std::wstring> clsids;
    std::set<std::wstring> progIds;
    for (const ComClass& c : ComClassTable) {
        std::wstring clsid = c.clsid;
        EXPECT_EQ(clsid.size(), 38u);
        EXPECT_EQ(clsid.front(), L'{');
        EXPECT_EQ(clsid.back(), L'}');
        clsids.insert(clsid);
        progIds.insert(c.progId);
    }
    EXPECT_EQ(clsids.size(), ComClassTable.size());
    EXPECT_EQ(progIds.size(), ComClassTable.size());
    for (size_t i = 0; i < LegacyComProgIds.size(); ++i) EXPECT_STREQ(LegacyComProgIds[i], LegacyProgIds[i]);
}

TEST(RegistrationTables, KeyPathsAreRelativeAndJoinedOnce) {
    EXPECT_EQ(ComClassKeyPath(ComClassTable[0].clsid),
              L"Software\\Classes\\CLSID\\{B4C10001-6B4F-4E2A-9D31-8A7F2E10C001}");
    EXPECT_EQ(ProgIdKeyPath(ComClassTable[2].progId), L"Software\\Classes\\Quilmo2027.PPT");
    EXPECT_EQ(OfficeAddinKeyPath(L"PowerPoint", L"Quilmo2025.PPT"),
              L"SOFTWARE\\Microsoft\\Office\\PowerPoint\\Addins\\Quilmo2025.PPT");
    EXPECT_EQ(WpsAllowListKeyPath(L"ET"), L"SOFTWARE\\Kingsoft\\Office\\ET\\AddinsWL");
    EXPECT_EQ(std::wstring(kSavedVstoLoadBehaviorKey).rfind(kQuilmoCoreKey, 0), 0u);
}

}  // namespace
}  // namespace quilmo
