#include "ui/version.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

struct CompareCase {
    const char* first;
    const char* second;
    int expected;
};

class CompareTable : public testing::TestWithParam<CompareCase> {};

TEST_P(CompareTable, OrdersBothWays) {
    const CompareCase& c = GetParam();
    std::optional<int> forward = CompareVersions(c.first, c.second);
    std::optional<int> backward = CompareVersions(c.second, c.first);
    ASSERT_TRUE(forward.has_value()) << c.first << " vs " << c.second;
    ASSERT_TRUE(backward.has_value());
    EXPECT_EQ(*forward, c.expected) << c.first << " vs " << c.second;
    EXPECT_EQ(*backward, -c.expected) << c.second << " vs " << c.first;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompareTable,
    testing::Values(CompareCase{"v1.2", "1.2.0", 0}, CompareCase{"1.2.0-rc.1", "1.2.0", -1},
                    CompareCase{"1.2.0-rc.2", "1.2.0-rc.10", -1}, CompareCase{"1.2.0-2", "1.2.0-alpha", -1},
                    CompareCase{"1.2.0-alpha", "1.2.0-alpha.1", -1}, CompareCase{"1.2.0-alpha", "1.2.0-beta", -1},
                    CompareCase{"1.2.0-rc.007", "1.2.0-rc.7", 0},
                    CompareCase{"1.2.0-rc.99999999999999999999", "1.2.0-rc.100000000000000000000", -1},
                    CompareCase{"2.0", "10.0", -1}, CompareCase{"1.2.3.4", "1.2.3.5", -1},
                    CompareCase{" \t3.2.0\t ", "3.2", 0}, CompareCase{"2147483647", "2147483646.9", 1}));

TEST(ParseVersion, RejectsMalformedTexts) {
    for (const char* text : {"", " \t", "v", "V", "1.2.3.4.5", "1..2", "1.", ".1", "1.0+build", "1.0-", "1.0-rc..1",
                             "1.0-rc_1", "1.a", "-1", "1.0 beta", "2147483648", "vv1"}) {
        EXPECT_FALSE(ParseVersion(text).has_value()) << '"' << text << '"';
    }
}

TEST(ParseVersion, ReadsComponentsAndPreRelease) {
    std::optional<ParsedVersion> v = ParseVersion("V3.2-rc.1.x-y");
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->componentCount, 2);
    EXPECT_EQ(v->components[0], 3);
    EXPECT_EQ(v->components[1], 2);
    EXPECT_EQ(v->components[2], 0);
    EXPECT_TRUE(v->hasPreRelease);
    EXPECT_EQ(v->preRelease, (std::vector<std::string>{"rc", "1", "x-y"}));
}

TEST(CompareVersions, FailsWhenEitherIsNotAVersion) {
    EXPECT_FALSE(CompareVersions("1.0", "").has_value());
    EXPECT_FALSE(CompareVersions("abc", "1.0").has_value());
}

}  // namespace
}  // namespace quilmo
