#include "ui/controls.h"

namespace quilmo {

// Painting belongs to the drawn-controls work that follows; until then the
// controls exist with their geometry and states and draw nothing.
void ButtonElement::Paint(Gdiplus::Graphics&) {}
void CheckboxElement::Paint(Gdiplus::Graphics&) {}
void CloseButtonElement::Paint(Gdiplus::Graphics&) {}
void ProgressBarElement::Paint(Gdiplus::Graphics&) {}
void VersionTagElement::Paint(Gdiplus::Graphics&) {}

UiElement* ControlList::Find(int kind) const {
    for (const auto& control : controls_) {
        if (control->kind == kind) return control.get();
    }
    return nullptr;
}

UiElement* ControlList::HitTest(int px, int py) const {
    for (const auto& control : controls_) {
        if (control->visible && control->Contains(px, py)) return control.get();
    }
    return nullptr;
}

void CreateMainWindowControls(ControlList& list, float uiScale, const std::string& mainCaption) {
    auto S = [uiScale](double v) { return static_cast<int>(v * uiScale); };
    const int W = S(480);
    const int bx = (W - S(280) - S(8) - S(80)) / 2;  // left edge of the directory row

    auto close = std::make_unique<CloseButtonElement>(kCloseButton, W - S(40), 0, S(40), S(30));

    auto main = std::make_unique<ButtonElement>(kMainButton, (W - S(180)) / 2, S(175), S(180), S(40), true);
    main->state = kStateDisabled;  // enabled once the manifest is verified
    main->text.Set(mainCaption);

    auto agreement =
        std::make_unique<CheckboxElement>(kAgreementCheckbox, (W - S(200)) / 2 + S(30), S(230), S(200), S(20));
    agreement->checked = true;
    agreement->text.Set("已阅读并同意 用户协议");
    agreement->prefixText.Set("已阅读并同意 ");
    agreement->linkText.Set("用户协议");

    auto change =
        std::make_unique<ButtonElement>(kChangeDirButton, bx + S(280) + S(8), S(305) + S(20), S(80), S(36), false);
    change->visible = false;
    change->text.Set("更改 >");

    auto advanced = std::make_unique<ButtonElement>(kAdvancedButton, (W - S(80)) / 2, S(265), S(80), S(30), false);
    advanced->text.Set("高级设置");

    auto enterOffice =
        std::make_unique<ButtonElement>(kEnterOfficeButton, (W - S(180)) / 2, S(175), S(180), S(40), true);
    enterOffice->visible = false;
    enterOffice->text.Set("进入Office");

    auto progress = std::make_unique<ProgressBarElement>(kProgressBar, (W - S(240)) / 2, S(305) - S(100), S(240), S(6));
    progress->visible = false;

    auto versionTag = std::make_unique<VersionTagElement>(kVersionTag, 0, 0, 0, 0);
    versionTag->visible = false;

    list.Add(std::move(close));
    list.Add(std::move(main));
    list.Add(std::move(agreement));
    list.Add(std::move(change));
    list.Add(std::move(advanced));
    list.Add(std::move(enterOffice));
    list.Add(std::move(progress));
    list.Add(std::move(versionTag));
}

}  // namespace quilmo
