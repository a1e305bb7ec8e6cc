// Geometry and decisions of the drawn window that need no display: where a
// control's parts lie at a given scale, and what a click or a mouse move
// means. The painting and the window procedure only apply these.
#pragma once

#include <string>

namespace quilmo {

// int(value * uiScale), truncated toward zero as every layout number is.
int Scaled(double value, float uiScale);

struct PixelRect {
    int x, y, width, height;
};

struct PixelPoint {
    int x, y;
};

// Left edge of the directory row (box, gap, "更改 >" link) in a client area
// of the given width.
int DirectoryRowLeft(int clientWidth, float uiScale);
PixelRect DirectoryBoxRect(int clientWidth, float uiScale);

// Window height with the advanced area open or closed.
int WindowHeightForAdvanced(bool open, float uiScale);

// The checkbox's square and the point its label is drawn from.
PixelRect CheckboxBoxRect(const PixelRect& control, float uiScale);
PixelPoint CheckboxLabelOrigin(const PixelRect& control, float uiScale);

// Horizontal span of the underlined link inside the label, both ends
// inclusive, from the measured widths of the plain prefix and the link.
struct Span {
    int left, right;
};
Span AgreementLinkSpan(int labelX, float prefixWidth, float linkWidth);

// Width of the green part of the progress bar; 0 when only the track shows.
int ProgressFillWidth(int width, int height, float progress);

// The version tag's rectangle for its measured text. A tag wider than the
// room between the centred title and its usual place is narrowed (its text
// is then trimmed), so it never covers the title or leaves the window.
PixelRect VersionTagRect(int clientWidth, float textWidth, float textHeight, float uiScale);

// Green tag: the offered version is new to this machine.
bool VersionTagHighlighted(bool existingInstall, const std::string& manifestVersion,
                           const std::string& installedVersion);

// A text from the manifest as one painted line: up to its first line break,
// without control characters.
std::wstring SingleLineForDisplay(const std::wstring& text);

// What the main button does, from the checks that need no question to the
// user, in the order they are made.
enum class MainButtonGate {
    NetworkError,   // the manifest could not be fetched or verified
    Busy,           // an installation runs: nothing
    NotReady,       // the manifest is still being fetched
    NotAgreed,      // the agreement is not checked
    Proceed,        // go on to the running-hosts question and the directory test
};
MainButtonGate CheckMainButton(bool manifestFailed, bool busy, bool manifestReady, bool agreementChecked);

}  // namespace quilmo
