#include "registration/version_text.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

struct VersionCase {
    const char* text;
    bool valid;
};

class VersionRule : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionRule, AcceptsOnlyDatedVersions) {
    EXPECT_EQ(IsValidVersion(GetParam().text), GetParam().valid) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionRule,
    testing::Values(VersionCase{"2025.3.14", true}, VersionCase{"2025.3.1", true},  // 9 and 8 bytes
                    VersionCase{"2025.13.1", false}, VersionCase{"2025.0.1", false}, VersionCase{"2025.3.0", false},
                    VersionCase{"2025.3.32", false}, VersionCase{"2019.12.31", false},
                    VersionCase{"2100.12.31", true}, VersionCase{"2101.1.1", false}, VersionCase{"2025.3", false},
                    VersionCase{"2025.3.14.1", true}, VersionCase{"2025.3.14.99999", false},
                    VersionCase{"2025.3.14.1.2", false}, VersionCase{"2025.3.14-beta.2", true},
                    VersionCase{"2025.3.14-", false}, VersionCase{"2025.3.14-beta_2", false},
                    VersionCase{"2025.3.14-rc-1.x", true}, VersionCase{"2025.3.14-beta..2", false},
                    VersionCase{"2025.3.14-beta.", false}, VersionCase{"02025.3.14", false},
                    VersionCase{"2025..14", false}, VersionCase{"2025.3.1a", false}, VersionCase{" 2025.3.14", false},
                    VersionCase{"2025.3.14-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", true},    // 48 bytes
                    VersionCase{"2025.3.14-aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},  // 49 bytes
                    VersionCase{"2025.3.14-\xE6\xB5\x8B", false}, VersionCase{"", false}));

struct FileCase {
    const char* bytes;
    const char* firstLine;
};

class VersionFileLine : public testing::TestWithParam<FileCase> {};

TEST_P(VersionFileLine, TakesTheTrimmedFirstLine) {
    EXPECT_EQ(FirstLineOfVersionFile(GetParam().bytes), GetParam().firstLine);
}

INSTANTIATE_TEST_SUITE_P(
    Files, VersionFileLine,
    testing::Values(FileCase{"\xEF\xBB\xBF" "2025.3.14\n", "2025.3.14"},
                    FileCase{"2025.3.14\r\n2024.1.1\r\n", "2025.3.14"}, FileCase{"2025.3.14\rold", "2025.3.14"},
                    FileCase{" \t2025.3.14-rc.1 \t\n", "2025.3.14-rc.1"}, FileCase{"\n2025.3.14", ""},
                    // A mark anywhere but at the start is data, not a mark.
                    FileCase{" \xEF\xBB\xBF" "2025.3.14", "\xEF\xBB\xBF" "2025.3.14"},
                    FileCase{"\xEF\xBB", "\xEF\xBB"}, FileCase{"", ""}));

}  // namespace
}  // namespace quilmo
