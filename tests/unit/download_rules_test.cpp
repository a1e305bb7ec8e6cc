// The arithmetic of the verify and download steps, the bootstrapper names
// and the tip draw.
#include <gtest/gtest.h>

#include "manifest/payload_names.h"
#include "pipeline/download_rules.h"
#include "ui/tips.h"

namespace quilmo {
namespace {

TEST(DownloadRules, FailureThresholdDependsOnHowManyFilesAreFetched) {
    struct Case {
        size_t failures, needed;
        bool aborts;
    } cases[] = {
        {2, 9, false}, {3, 9, true},   {3, 1, true},   {2, 1, false},  // fewer than 10: the third ends it
        {3, 10, false}, {5, 10, false}, {6, 10, true}, {5, 500, false}, {6, 500, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TooManyDownloadFailures(c.failures, c.needed), c.aborts) << c.failures << " of " << c.needed;
    }
}

TEST(DownloadRules, ProgressSpansItsRangesInIntegerSteps) {
    EXPECT_EQ(VerifyProgress(0, 3), 16);
    EXPECT_EQ(VerifyProgress(2, 3), 50);
    EXPECT_EQ(VerifyProgress(0, 1), 50);
    EXPECT_EQ(DownloadProgress(1, 3), 58);
    EXPECT_EQ(DownloadProgress(3, 3), 75);
    EXPECT_EQ(DownloadProgress(0, 0), 50);
}

TEST(DownloadRules, TipEveryTwentiethFileButNotBeforeTheFirst) {
    EXPECT_FALSE(ShowsTipBeforeNextFile(0));
    EXPECT_FALSE(ShowsTipBeforeNextFile(19));
    EXPECT_TRUE(ShowsTipBeforeNextFile(20));
    EXPECT_FALSE(ShowsTipBeforeNextFile(21));
    EXPECT_TRUE(ShowsTipBeforeNextFile(40));
}

TEST(PayloadNames, TopLevelNameOnlyForFilesDirectlyInTheInstallDirectory) {
    struct Case {
        const char* path;
        const char* name;
    } cases[] = {
        {"NDP48-Web.exe", "ndp48-web.exe"},
        {".\\MicrosoftEdgeWebview2Setup.exe", "microsoftedgewebview2setup.exe"},
        {"/ .\\.\\a.DLL  ", "a.dll"},
        {"sub\\ndp48-web.exe", ""},
        {"sub/ndp48-web.exe", ""},
        {"..", ""},
        {".", ""},
        {"  ", ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(TopLevelName(c.path), c.name) << c.path;
}

int g_draws[] = {3, 3, 3, 10, 6};
int g_drawAt = 0;
int ScriptedRand() { return g_draws[g_drawAt++]; }

TEST(Tips, NeverTheSameTipTwiceInARow) {
    g_drawAt = 0;
    EXPECT_EQ(PickTipIndex(-1, ScriptedRand), 3);
    // 3, 3 and 10 (10 % 7 is 3 as well) repeat the last tip and are drawn again.
    EXPECT_EQ(PickTipIndex(3, ScriptedRand), 6);
    EXPECT_EQ(g_drawAt, 5);
}

}  // namespace
}  // namespace quilmo
