// Small GDI+ helpers shared by the window and its controls. Every paint
// makes and drops its own brushes, pens and fonts; nothing is kept.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <memory>
#include <string>

namespace quilmo {

// The named font family ("Microsoft YaHei" unless another is asked for), or
// where it is missing the product's face or one every Windows has, so text
// is never silently dropped.
std::unique_ptr<Gdiplus::FontFamily> UiFontFamily(const wchar_t* name = L"Microsoft YaHei");

// A regular font of the given size in pixels (already scaled).
std::unique_ptr<Gdiplus::Font> UiFont(const Gdiplus::FontFamily& family, float pixels);

// Rounded rectangle from four arcs with square corners of the given side.
void AddRoundedRect(Gdiplus::GraphicsPath& path, int x, int y, int width, int height, int corner);

// Centred in both directions, on one line, trimmed with an ellipsis when it
// does not fit: texts from the manifest may be of any length.
void SetCentredSingleLine(Gdiplus::StringFormat& format);

// Width and height of a text drawn from a point in the given font.
Gdiplus::SizeF MeasureText(Gdiplus::Graphics& graphics, const std::wstring& text, const Gdiplus::Font& font);

}  // namespace quilmo
