#include "ui/control_layout.h"

#include <algorithm>

#include "ui/version.h"

namespace quilmo {

int Scaled(double value, float uiScale) { return static_cast<int>(value * uiScale); }

int DirectoryRowLeft(int clientWidth, float uiScale) {
    return (clientWidth - Scaled(280, uiScale) - Scaled(8, uiScale) - Scaled(80, uiScale)) / 2;
}

PixelRect DirectoryBoxRect(int clientWidth, float uiScale) {
    return PixelRect{DirectoryRowLeft(clientWidth, uiScale), Scaled(305, uiScale) + Scaled(20, uiScale),
                     Scaled(280, uiScale), Scaled(36, uiScale)};
}

int WindowHeightForAdvanced(bool open, float uiScale) { return Scaled(open ? 390 : 305, uiScale); }

PixelRect CheckboxBoxRect(const PixelRect& control, float uiScale) {
    int side = Scaled(14, uiScale);
    return PixelRect{control.x, control.y + (control.height - side) / 2, side, side};
}

PixelPoint CheckboxLabelOrigin(const PixelRect& control, float uiScale) {
    return PixelPoint{control.x + Scaled(14, uiScale) + Scaled(8, uiScale),
                      control.y + (control.height - Scaled(14, uiScale)) / 2};
}

Span AgreementLinkSpan(int labelX, float prefixWidth, float linkWidth) {
    int left = static_cast<int>(labelX + prefixWidth);
    int right = static_cast<int>(labelX + prefixWidth + linkWidth);
    return Span{left, right};
}

int ProgressFillWidth(int width, int height, float progress) {
    if (!(progress > 0.01f)) return 0;
    float clamped = std::min(progress, 1.0f);
    return std::max(static_cast<int>(width * clamped), height);
}

PixelRect VersionTagRect(int clientWidth, float textWidth, float textHeight, float uiScale) {
    int width = Scaled(10, uiScale) + static_cast<int>(textWidth);
    int height = Scaled(4, uiScale) + static_cast<int>(textHeight);
    // A long version grows leftwards only up to a gap right of the centred
    // title, so it never covers the product name.
    int widest = clientWidth / 2 - Scaled(140, uiScale);
    width = std::max(0, std::min(width, widest));
    height = std::min(height, Scaled(30, uiScale));
    return PixelRect{clientWidth - width - Scaled(100, uiScale), Scaled(112, uiScale), width, height};
}

bool VersionTagHighlighted(bool existingInstall, const std::string& manifestVersion,
                           const std::string& installedVersion) {
    if (!existingInstall) return ParseVersion(manifestVersion).has_value();
    if (installedVersion.empty()) return false;
    std::optional<int> order = CompareVersions(manifestVersion, installedVersion);
    return order && *order == 1;
}

std::wstring SingleLineForDisplay(const std::wstring& text) {
    std::wstring line;
    for (wchar_t c : text) {
        if (c == L'\r' || c == L'\n') break;
        if (c < 0x20 || c == 0x7F) continue;
        line += c;
    }
    return line;
}

MainButtonGate CheckMainButton(bool manifestFailed, bool busy, bool manifestReady, bool agreementChecked) {
    if (manifestFailed) return MainButtonGate::NetworkError;
    if (busy) return MainButtonGate::Busy;
    if (!manifestReady) return MainButtonGate::NotReady;
    if (!agreementChecked) return MainButtonGate::NotAgreed;
    return MainButtonGate::Proceed;
}

}  // namespace quilmo
