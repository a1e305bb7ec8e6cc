#include "ui/caption_rule.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

struct CaptionCase {
    bool existingInstall;
    const char* installed;
    const char* manifest;
    const char* expected;
};

class CaptionTable : public testing::TestWithParam<CaptionCase> {};

TEST_P(CaptionTable, NamesWhatTheButtonWillDo) {
    const CaptionCase& c = GetParam();
    EXPECT_EQ(MainButtonCaption(c.existingInstall, c.installed, c.manifest), c.expected)
        << c.existingInstall << " " << c.installed << " -> " << c.manifest;
}

INSTANTIATE_TEST_SUITE_P(Cases, CaptionTable,
                         testing::Values(CaptionCase{false, "", "", "立即安装"},
                                         CaptionCase{false, "1.0", "2.0", "立即安装"},
                                         CaptionCase{true, "", "", "覆盖安装"},          // at start-up
                                         CaptionCase{true, "1.0.0", "1.1.0", "一键更新"},
                                         CaptionCase{true, "1.1.0", "1.1.0", "覆盖安装"},
                                         CaptionCase{true, "1.2.0", "1.1.0", "覆盖安装"},
                                         CaptionCase{true, "1.2.0-rc.1", "1.2.0", "一键更新"},
                                         CaptionCase{true, "", "1.1.0", "覆盖安装"},    // version unreadable
                                         CaptionCase{true, "garbage", "1.1.0", "覆盖安装"},
                                         CaptionCase{true, "1.0", "garbage", "覆盖安装"}));

}  // namespace
}  // namespace quilmo
