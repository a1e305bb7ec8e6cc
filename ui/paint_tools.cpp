#include "ui/paint_tools.h"

namespace quilmo {

std::unique_ptr<Gdiplus::FontFamily> UiFontFamily(const wchar_t* name) {
    // The product's face, then faces every Windows has.
    for (const wchar_t* face : {name, L"Microsoft YaHei", L"SimSun", L"Tahoma", L"Arial"}) {
        auto family = std::make_unique<Gdiplus::FontFamily>(face);
        if (family->GetLastStatus() == Gdiplus::Ok) return family;
    }
    return std::make_unique<Gdiplus::FontFamily>(name);
}

std::unique_ptr<Gdiplus::Font> UiFont(const Gdiplus::FontFamily& family, float pixels) {
    return std::make_unique<Gdiplus::Font>(&family, pixels, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
}

void AddRoundedRect(Gdiplus::GraphicsPath& path, int x, int y, int width, int height, int corner) {
    path.AddArc(x, y, corner, corner, 180, 90);
    path.AddArc(x + width - corner, y, corner, corner, 270, 90);
    path.AddArc(x + width - corner, y + height - corner, corner, corner, 0, 90);
    path.AddArc(x, y + height - corner, corner, corner, 90, 90);
    path.CloseFigure();
}

void SetCentredSingleLine(Gdiplus::StringFormat& format) {
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    format.SetFormatFlags(Gdiplus::StringFormatFlagsNoWrap);
    format.SetTrimming(Gdiplus::StringTrimmingEllipsisCharacter);
}

Gdiplus::SizeF MeasureText(Gdiplus::Graphics& graphics, const std::wstring& text, const Gdiplus::Font& font) {
    Gdiplus::RectF bounds;
    graphics.MeasureString(text.c_str(), static_cast<INT>(text.size()), &font, Gdiplus::PointF(0, 0), &bounds);
    return Gdiplus::SizeF(bounds.Width, bounds.Height);
}

}  // namespace quilmo
