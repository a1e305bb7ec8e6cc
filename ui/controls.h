// The window's drawn controls. The window has no child windows: each control
// knows its rectangle, state, visibility and text and paints itself onto the
// window's back buffer. Fields that the worker changes while the window
// thread paints are atomics or shared texts.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/shared_text.h"

namespace Gdiplus {
class Graphics;
}

namespace quilmo {

enum ControlKind : int {
    kMainButton = 1,
    kChangeDirButton = 2,
    kCloseButton = 3,
    kProgressBar = 4,
    kEnterOfficeButton = 5,
    kAdvancedButton = 6,
    kAgreementCheckbox = 7,
    kVersionTag = 10,
};

enum ControlState : int { kStateNormal = 0, kStateHover = 1, kStatePressed = 2, kStateDisabled = 3 };

class UiElement {
public:
    UiElement(int kind, int x, int y, int width, int height) : kind(kind), x(x), y(y), width(width), height(height) {}
    virtual ~UiElement() = default;
    virtual void Paint(Gdiplus::Graphics& graphics) = 0;

    bool Contains(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }

    const int kind;
    std::atomic<int> x, y, width, height;
    std::atomic<int> state{kStateNormal};
    std::atomic<bool> visible{true};
    SharedText<std::string> text;
};

class ButtonElement : public UiElement {
public:
    ButtonElement(int kind, int x, int y, int width, int height, bool primary)
        : UiElement(kind, x, y, width, height), primary(primary) {}
    void Paint(Gdiplus::Graphics& graphics) override;
    const bool primary;
};

class CheckboxElement : public UiElement {
public:
    using UiElement::UiElement;
    void Paint(Gdiplus::Graphics& graphics) override;
    std::atomic<bool> checked{false};
    SharedText<std::string> linkText;
    SharedText<std::string> prefixText;
};

class CloseButtonElement : public UiElement {
public:
    using UiElement::UiElement;
    void Paint(Gdiplus::Graphics& graphics) override;
};

class ProgressBarElement : public UiElement {
public:
    using UiElement::UiElement;
    void Paint(Gdiplus::Graphics& graphics) override;
    std::atomic<float> progress{0.0f};
};

class VersionTagElement : public UiElement {
public:
    using UiElement::UiElement;
    void Paint(Gdiplus::Graphics& graphics) override;
};

// The window's controls in creation order, which is also hit-test order.
class ControlList {
public:
    void Add(std::unique_ptr<UiElement> control) { controls_.push_back(std::move(control)); }
    void Clear() { controls_.clear(); }
    bool Empty() const { return controls_.empty(); }

    UiElement* Find(int kind) const;
    // First visible control whose rectangle holds the point.
    UiElement* HitTest(int px, int py) const;
    const std::vector<std::unique_ptr<UiElement>>& All() const { return controls_; }

    ButtonElement* MainButton() const { return static_cast<ButtonElement*>(Find(kMainButton)); }
    ProgressBarElement* ProgressBar() const { return static_cast<ProgressBarElement*>(Find(kProgressBar)); }

private:
    std::vector<std::unique_ptr<UiElement>> controls_;
};

// Mouse over a control: the control under the cursor takes the hover look
// (the main button keeps its disabled look while the manifest failed), every
// other hovered control returns to normal; pressed controls are left alone.
// Returns whether any state changed.
bool ApplyHover(ControlList& list, UiElement* under, bool manifestFailed);
// The mouse left the window: every hovered control returns to normal.
bool ClearHover(ControlList& list);
// The control a button release completes: the last pressed one in list order.
UiElement* PressedControl(const ControlList& list);

// Creates the eight controls of the main window for client width
// int(480 * uiScale), in the order hit-testing walks them.
void CreateMainWindowControls(ControlList& list, float uiScale, const std::string& mainCaption);

}  // namespace quilmo
