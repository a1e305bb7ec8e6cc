// The window's geometry and click decisions, without a display.
#include "ui/control_layout.h"

#include <gtest/gtest.h>

#include "ui/controls.h"

namespace quilmo {
namespace {

TEST(ControlLayout, DirectoryRowAndAdvancedHeightScale) {
    // 96 DPI: one centred row 280 + 8 + 80 wide below the closed window's edge.
    PixelRect box = DirectoryBoxRect(480, 1.0f);
    EXPECT_EQ(box.x, 56);
    EXPECT_EQ(box.y, 325);
    EXPECT_EQ(box.width, 280);
    EXPECT_EQ(box.height, 36);
    EXPECT_EQ(WindowHeightForAdvanced(true, 1.0f), 390);
    EXPECT_EQ(WindowHeightForAdvanced(false, 1.0f), 305);
    // 144 DPI: every part truncated on its own.
    box = DirectoryBoxRect(720, 1.5f);
    EXPECT_EQ(box.x, (720 - 420 - 12 - 120) / 2);
    EXPECT_EQ(box.y, 457 + 30);
    EXPECT_EQ(WindowHeightForAdvanced(true, 1.5f), 585);
    EXPECT_EQ(WindowHeightForAdvanced(false, 1.25f), 381);
    // The "更改 >" link made at start-up sits right of the box at every scale.
    for (float s : {1.0f, 1.25f, 1.5f}) {
        ControlList list;
        CreateMainWindowControls(list, s, "x");
        PixelRect row = DirectoryBoxRect(Scaled(480, s), s);
        UiElement* change = list.Find(kChangeDirButton);
        EXPECT_EQ(change->x.load(), row.x + row.width + Scaled(8, s)) << s;
        EXPECT_EQ(change->y.load(), row.y) << s;
    }
}

TEST(ControlLayout, CheckboxLabelAndLinkSpan) {
    PixelRect control{155, 230, 200, 20};
    PixelRect box = CheckboxBoxRect(control, 1.0f);
    EXPECT_EQ(box.x, 155);
    EXPECT_EQ(box.y, 233);
    EXPECT_EQ(box.width, 14);
    PixelPoint label = CheckboxLabelOrigin(control, 1.5f);
    EXPECT_EQ(label.x, 155 + 21 + 12);
    EXPECT_EQ(label.y, 230 + (20 - 21) / 2);
    // The link starts where the measured prefix ends; fractions truncate.
    Span span = AgreementLinkSpan(177, 79.6f, 48.7f);
    EXPECT_EQ(span.left, 256);
    EXPECT_EQ(span.right, 305);
}

TEST(ControlLayout, ProgressFill) {
    struct Case {
        float progress;
        int expected;
    };
    for (Case c : {Case{0.0f, 0}, Case{0.005f, 0}, Case{0.01f, 0}, Case{0.02f, 6}, Case{0.5f, 120},
                   Case{1.0f, 240}, Case{3.0f, 240}}) {
        EXPECT_EQ(ProgressFillWidth(240, 6, c.progress), c.expected) << c.progress;
    }
}

TEST(ControlLayout, VersionTagStaysInsideTheWindow) {
    // Usual case: right-aligned 100 pixels from the edge.
    PixelRect tag = VersionTagRect(480, 40.2f, 13.9f, 1.0f);
    EXPECT_EQ(tag.width, 50);
    EXPECT_EQ(tag.height, 17);
    EXPECT_EQ(tag.x, 480 - 50 - 100);
    EXPECT_EQ(tag.y, 112);
    // A 200-character version measures far wider than the window: the tag
    // keeps clear of the centred title and stays inside the window.
    for (float s : {1.0f, 1.5f}) {
        int width = Scaled(480, s);
        tag = VersionTagRect(width, 5000.0f, 400.0f, s);
        EXPECT_GE(tag.x, width / 2 + Scaled(40, s)) << s;
        EXPECT_EQ(tag.x + tag.width, width - Scaled(100, s)) << s;
        EXPECT_LE(tag.height, Scaled(30, s)) << s;
    }
}

TEST(ControlLayout, ManifestTextsArePaintedOnOneLine) {
    EXPECT_EQ(SingleLineForDisplay(L"奎墨"), L"奎墨");
    EXPECT_EQ(SingleLineForDisplay(L"\x01奎\x07墨\t!\r\nsecond line"), L"奎墨!");
    EXPECT_EQ(SingleLineForDisplay(L"\x200f\x202e\x0645x\x7f"), L"\x200f\x202e\x0645x");  // marks stay, DEL goes
    EXPECT_EQ(SingleLineForDisplay(L"\nall below"), L"");
}

TEST(ControlLayout, VersionTagHighlight) {
    struct Case {
        bool existing;
        const char* offered;
        const char* installed;
        bool green;
    };
    for (Case c : {Case{false, "2026.1.10", "", true}, Case{false, "not-a-version!", "", false},
                   Case{true, "2026.2.1", "2026.1.10", true}, Case{true, "2026.1.10", "2026.1.10", false},
                   Case{true, "2026.1.9", "2026.1.10", false}, Case{true, "2026.2.1", "", false},
                   Case{true, "2026.2.1", "garbage", false}}) {
        EXPECT_EQ(VersionTagHighlighted(c.existing, c.offered, c.installed), c.green)
            << c.existing << " " << c.offered << " " << c.installed;
    }
}

TEST(ControlLayout, MainButtonChecksInOrder) {
    struct Case {
        bool failed, busy, ready, checked;
        MainButtonGate gate;
    };
    for (Case c : {Case{true, true, true, true, MainButtonGate::NetworkError},
                   Case{true, false, false, false, MainButtonGate::NetworkError},
                   Case{false, true, false, false, MainButtonGate::Busy},
                   Case{false, false, false, true, MainButtonGate::NotReady},
                   Case{false, false, false, false, MainButtonGate::NotReady},
                   Case{false, false, true, false, MainButtonGate::NotAgreed},
                   Case{false, false, true, true, MainButtonGate::Proceed}}) {
        EXPECT_EQ(CheckMainButton(c.failed, c.busy, c.ready, c.checked), c.gate)
            << c.failed << c.busy << c.ready << c.checked;
    }
}

TEST(ControlMouse, HoverFollowsTheCursorAndSparesPressedControls) {
    ControlList list;
    CreateMainWindowControls(list, 1.0f, "立即安装");
    UiElement* close = list.Find(kCloseButton);
    UiElement* main = list.MainButton();
    UiElement* advanced = list.Find(kAdvancedButton);

    EXPECT_TRUE(ApplyHover(list, close, false));
    EXPECT_EQ(close->state.load(), kStateHover);
    EXPECT_FALSE(ApplyHover(list, close, false));  // nothing new

    // The disabled main button takes the hover look like any other control,
    // and the close button returns to normal.
    EXPECT_TRUE(ApplyHover(list, main, false));
    EXPECT_EQ(main->state.load(), kStateHover);
    EXPECT_EQ(close->state.load(), kStateNormal);

    // After a failed manifest the main button keeps its grey look.
    main->state = kStateNormal;
    ApplyHover(list, main, true);
    EXPECT_EQ(main->state.load(), kStateDisabled);

    // A pressed control keeps its look while the cursor wanders.
    advanced->state = kStatePressed;
    ApplyHover(list, close, false);
    ApplyHover(list, advanced, false);
    EXPECT_EQ(advanced->state.load(), kStatePressed);
    EXPECT_EQ(close->state.load(), kStateNormal);
    EXPECT_EQ(PressedControl(list), advanced);

    ApplyHover(list, close, false);
    EXPECT_TRUE(ClearHover(list));
    EXPECT_EQ(close->state.load(), kStateNormal);
    EXPECT_EQ(advanced->state.load(), kStatePressed);
    EXPECT_FALSE(ClearHover(list));
}

TEST(ControlMouse, PressedControlIsTheLastInListOrder) {
    ControlList list;
    CreateMainWindowControls(list, 1.0f, "x");
    EXPECT_EQ(PressedControl(list), nullptr);
    list.MainButton()->state = kStatePressed;
    list.Find(kVersionTag)->state = kStatePressed;
    EXPECT_EQ(PressedControl(list)->kind, kVersionTag);
}

TEST(ControlMouse, ClicksHitScaledRectangles) {
    // At 144 DPI the main button spans (225, 262)-(495, 322), the close button
    // (660, 0)-(720, 45); the 96-DPI spots miss or hit other controls.
    ControlList list;
    CreateMainWindowControls(list, 1.5f, "x");
    EXPECT_EQ(list.HitTest(225, 262)->kind, kMainButton);
    EXPECT_EQ(list.HitTest(494, 321)->kind, kMainButton);
    EXPECT_EQ(list.HitTest(224, 262), nullptr);
    EXPECT_EQ(list.HitTest(700, 40)->kind, kCloseButton);
    EXPECT_EQ(list.HitTest(360, 345)->kind, kAgreementCheckbox);
    EXPECT_EQ(list.HitTest(360, 400)->kind, kAdvancedButton);
    EXPECT_EQ(list.HitTest(240, 190), nullptr);  // the 96-DPI button's centre is empty here
}

}  // namespace
}  // namespace quilmo
