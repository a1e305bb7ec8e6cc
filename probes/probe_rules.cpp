// The plain text rules of the probes: the registry name of a font file and
// the shape of a WebView2 version. No Windows headers, so they also build
// natively.
#include "probes/fonts_shortcuts.h"
#include "probes/runtime_probes.h"

namespace quilmo {

std::wstring FontValueName(const std::wstring& fileName) {
    const size_t dot = fileName.rfind(L'.');
    return (dot == std::wstring::npos ? fileName : fileName.substr(0, dot)) + L" (TrueType)";
}

bool IsUsableWebView2Version(const std::wstring& version) {
    if (version.empty() || version == L"0.0.0.0") return false;
    bool nonZeroDigit = false;
    for (size_t i = 0; i < version.size(); ++i) {
        const wchar_t c = version[i];
        if (c == L'.') {
            if (i > 0 && version[i - 1] == L'.') return false;
            continue;
        }
        if (c < L'0' || c > L'9') return false;
        if (c != L'0') nonZeroDigit = true;
    }
    return nonZeroDigit;
}

}  // namespace quilmo
