#include "ui/window_geometry.h"

#include <gtest/gtest.h>

#include "ui/controls.h"

namespace quilmo {
namespace {

struct DpiCase {
    int dpi;
    int width;
    int height;
};

class WindowSizeTable : public testing::TestWithParam<DpiCase> {};

TEST_P(WindowSizeTable, ScalesLogicalSize) {
    WindowSize size = MainWindowSize(UiScaleForDpi(GetParam().dpi));
    EXPECT_EQ(size.width, GetParam().width);
    EXPECT_EQ(size.height, GetParam().height);
}

INSTANTIATE_TEST_SUITE_P(Dpis, WindowSizeTable,
                         testing::Values(DpiCase{96, 480, 305}, DpiCase{120, 600, 381}, DpiCase{144, 720, 457},
                                         DpiCase{192, 960, 610}));

TEST(WindowGeometry, CentresWithIntegerDivision) {
    int x = 0, y = 0;
    CentredOrigin(1024, 768, WindowSize{480, 305}, x, y);
    EXPECT_EQ(x, 272);
    EXPECT_EQ(y, 231);  // (768 - 305) / 2 truncates
}

TEST(WindowGeometry, ControlsAreCreatedInHitTestOrder) {
    ControlList list;
    CreateMainWindowControls(list, 1.5f, "立即安装");
    std::vector<int> kinds;
    for (const auto& c : list.All()) kinds.push_back(c->kind);
    EXPECT_EQ(kinds, (std::vector<int>{3, 1, 7, 2, 6, 5, 4, 10}));

    UiElement* main = list.MainButton();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->state.load(), kStateDisabled);
    EXPECT_EQ(main->text.Get(), "立即安装");
    EXPECT_EQ(main->x.load(), (720 - 270) / 2);
    EXPECT_EQ(main->y.load(), 262);  // int(175 * 1.5)
    EXPECT_EQ(list.Find(kCloseButton)->x.load(), 720 - 60);
}

TEST(WindowGeometry, HitTestSkipsHiddenAndUsesHalfOpenRectangles) {
    ControlList list;
    CreateMainWindowControls(list, 1.0f, "立即安装");
    UiElement* close = list.Find(kCloseButton);  // (440, 0, 40, 30)
    EXPECT_EQ(list.HitTest(440, 0), close);
    EXPECT_EQ(list.HitTest(479, 29), close);
    EXPECT_EQ(list.HitTest(480, 0), nullptr);
    EXPECT_EQ(list.HitTest(440, 30), nullptr);
    // The hidden "进入Office" button shares the main button's rectangle.
    EXPECT_EQ(list.HitTest(240, 190)->kind, kMainButton);
    list.MainButton()->visible = false;
    EXPECT_EQ(list.HitTest(240, 190), nullptr);
    list.Find(kEnterOfficeButton)->visible = true;
    EXPECT_EQ(list.HitTest(240, 190)->kind, kEnterOfficeButton);
}

}  // namespace
}  // namespace quilmo
