#include "ui/controls.h"

#include "files/text_encoding.h"
#include "pipeline/installer_state.h"
#include "ui/control_layout.h"
#include "ui/paint_tools.h"
#include "ui/window_geometry.h"
#include "ui/window_state.h"

namespace quilmo {

namespace {

using Gdiplus::Color;

constexpr int kButtonCorner = 16;  // the button's arcs keep their size at every scale

float UiScale() { return Window().uiScale; }

PixelRect RectOf(const UiElement& control) { return PixelRect{control.x, control.y, control.width, control.height}; }

Gdiplus::RectF LayoutOf(const PixelRect& r) {
    return Gdiplus::RectF(static_cast<float>(r.x), static_cast<float>(r.y), static_cast<float>(r.width),
                          static_cast<float>(r.height));
}

void DrawCentred(Gdiplus::Graphics& graphics, const std::wstring& text, float pixels, Color colour,
                 const PixelRect& rect) {
    auto family = UiFontFamily();
    auto font = UiFont(*family, pixels);
    Gdiplus::SolidBrush brush(colour);
    Gdiplus::StringFormat format;
    SetCentredSingleLine(format);
    graphics.DrawString(text.c_str(), static_cast<INT>(text.size()), font.get(), LayoutOf(rect), &format, &brush);
}

Color PrimaryFill(int state) {
    switch (state) {
    case kStateHover: return Color(0xFF06AD56);
    case kStatePressed: return Color(0xFF05994C);
    case kStateDisabled: return Color(0xFFC8C8C8);
    default: return Color(0xFF07C160);
    }
}

// Capsule from two half circles of the bar's height.
void FillCapsule(Gdiplus::Graphics& graphics, int x, int y, int width, int height, Color colour) {
    Gdiplus::GraphicsPath path;
    path.AddArc(x, y, height, height, 90, 180);
    path.AddArc(x + width - height, y, height, height, 270, 180);
    path.CloseFigure();
    Gdiplus::SolidBrush brush(colour);
    graphics.FillPath(&brush, &path);
}

}  // namespace

void ButtonElement::Paint(Gdiplus::Graphics& graphics) {
    if (!visible) return;
    float s = UiScale();
    std::wstring caption = Utf8ToWide(text.Get());
    PixelRect rect = RectOf(*this);
    if (primary) {
        Gdiplus::GraphicsPath path;
        AddRoundedRect(path, rect.x, rect.y, rect.width, rect.height, kButtonCorner);
        Gdiplus::SolidBrush fill(PrimaryFill(state));
        graphics.FillPath(&fill, &path);
        DrawCentred(graphics, caption, 16 * s, Color(0xFFFFFFFF), rect);
    } else {
        Color colour = state == kStateHover ? Color(0xFF07C160) : Color(0xFF787878);
        DrawCentred(graphics, caption, 13 * s, colour, rect);
    }
}

void CheckboxElement::Paint(Gdiplus::Graphics& graphics) {
    if (!visible) return;
    float s = UiScale();
    PixelRect rect = RectOf(*this);
    PixelRect box = CheckboxBoxRect(rect, s);
    Gdiplus::SolidBrush white(Color(0xFFFFFFFF));
    graphics.FillRectangle(&white, box.x, box.y, box.width, box.height);
    Gdiplus::Pen outline(state == kStateHover ? Color(0xFF0078D7) : Color(0xFFA0A0A0), 1.0f);
    graphics.DrawRectangle(&outline, box.x, box.y, box.width, box.height);
    if (checked) {
        int cx = box.x + box.width / 2;
        int cy = box.y + box.height / 2;
        Gdiplus::Point mark[3] = {{cx - Scaled(4, s), cy},
                                  {cx - Scaled(1, s), cy + Scaled(3, s)},
                                  {cx + Scaled(5, s), cy - Scaled(4, s)}};
        Gdiplus::Pen tick(Color(0xFF0078D7), 2.0f);
        graphics.DrawLines(&tick, mark, 3);
    }

    std::wstring label = Utf8ToWide(text.Get());
    if (label.empty()) return;
    auto family = UiFontFamily();
    auto font = UiFont(*family, 12 * s);
    PixelPoint origin = CheckboxLabelOrigin(rect, s);
    Gdiplus::PointF at(static_cast<float>(origin.x), static_cast<float>(origin.y));
    Gdiplus::SolidBrush plain(Color(0xFF505050));
    std::wstring prefix = Utf8ToWide(prefixText.Get());
    std::wstring link = Utf8ToWide(linkText.Get());
    if (prefix.empty() || link.empty()) {
        graphics.DrawString(label.c_str(), static_cast<INT>(label.size()), font.get(), at, &plain);
        return;
    }
    graphics.DrawString(prefix.c_str(), static_cast<INT>(prefix.size()), font.get(), at, &plain);
    Gdiplus::SizeF prefixSize = MeasureText(graphics, prefix, *font);
    Gdiplus::PointF linkAt(at.X + prefixSize.Width, at.Y);
    Gdiplus::SolidBrush blue(Color(0xFF0066CC));
    graphics.DrawString(link.c_str(), static_cast<INT>(link.size()), font.get(), linkAt, &blue);
    Gdiplus::SizeF linkSize = MeasureText(graphics, link, *font);
    Gdiplus::Pen underline(Color(0xFF0066CC), 1.0f);
    float lineY = at.Y + linkSize.Height - 2;
    graphics.DrawLine(&underline, linkAt.X, lineY, linkAt.X + linkSize.Width, lineY);
}

void CloseButtonElement::Paint(Gdiplus::Graphics& graphics) {
    if (!visible) return;
    bool lit = state == kStateHover || state == kStatePressed;
    if (lit) {
        Gdiplus::SolidBrush red(Color(0xFFE81123));
        graphics.FillRectangle(&red, x.load(), y.load(), width.load(), height.load());
    }
    Gdiplus::Pen pen(lit ? Color(0xFFFFFFFF) : Color(0xFF646464), 2.0f);
    int cx = x + width / 2;
    int cy = y + height / 2;
    graphics.DrawLine(&pen, cx - 9, cy - 9, cx + 9, cy + 9);
    graphics.DrawLine(&pen, cx - 9, cy + 9, cx + 9, cy - 9);
}

void ProgressBarElement::Paint(Gdiplus::Graphics& graphics) {
    if (!visible) return;
    FillCapsule(graphics, x, y, width, height, Color(0xFFE6E6E6));
    int fill = ProgressFillWidth(width, height, progress);
    if (fill > 0) FillCapsule(graphics, x, y, fill, height, Color(0xFF07C160));
}

void VersionTagElement::Paint(Gdiplus::Graphics& graphics) {
    InstallerState& shared = State();
    std::string version = shared.manifestVersion.Get();
    if (!visible || version.empty()) return;
    float s = UiScale();
    std::wstring label = SingleLineForDisplay(Utf8ToWide(version));
    auto family = UiFontFamily();
    auto font = UiFont(*family, 10 * s);
    Gdiplus::SizeF measured = MeasureText(graphics, label, *font);
    PixelRect rect = VersionTagRect(MainWindowSize(s).width, measured.Width, measured.Height, s);
    x = rect.x;
    y = rect.y;
    width = rect.width;
    height = rect.height;

    bool highlighted = VersionTagHighlighted(shared.existingInstall, version, shared.installedVersion.Get());
    bool hover = state == kStateHover;
    Color fill = highlighted ? Color(hover ? 0xFF06AD56 : 0xFF07C160) : Color(hover ? 0xFFB4B4B4 : 0xFFC8C8C8);
    Gdiplus::GraphicsPath path;
    AddRoundedRect(path, rect.x, rect.y, rect.width, rect.height, Scaled(6, s));
    Gdiplus::SolidBrush brush(fill);
    graphics.FillPath(&brush, &path);
    Gdiplus::StringFormat format;
    SetCentredSingleLine(format);
    Gdiplus::SolidBrush white(Color(0xFFFFFFFF));
    graphics.DrawString(label.c_str(), static_cast<INT>(label.size()), font.get(), LayoutOf(rect), &format, &white);
}

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

bool ApplyHover(ControlList& list, UiElement* under, bool manifestFailed) {
    bool changed = false;
    for (const auto& control : list.All()) {
        if (control->state == kStatePressed) continue;
        int wanted;
        if (control.get() == under) {
            wanted = (control->kind == kMainButton && manifestFailed) ? kStateDisabled : kStateHover;
        } else if (control->state == kStateHover) {
            wanted = kStateNormal;
        } else {
            continue;
        }
        if (control->state.exchange(wanted) != wanted) changed = true;
    }
    return changed;
}

bool ClearHover(ControlList& list) {
    bool changed = false;
    for (const auto& control : list.All()) {
        int hover = kStateHover;
        if (control->state.compare_exchange_strong(hover, kStateNormal)) changed = true;
    }
    return changed;
}

UiElement* PressedControl(const ControlList& list) {
    UiElement* pressed = nullptr;
    for (const auto& control : list.All()) {
        if (control->state == kStatePressed) pressed = control.get();
    }
    return pressed;
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
