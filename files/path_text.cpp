// Path text that needs no system calls; also built natively for fuzzing.
#include "files/path_text.h"

#include <cwchar>

namespace quilmo {

namespace {

bool IsTrimmed(wchar_t c) { return c == L'\t' || c == L'\n' || c == L'\r' || c == L' ' || c == L'"'; }

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

bool AsciiEqualNoCase(const std::wstring& a, size_t offset, const std::wstring& b) {
    if (a.size() < offset + b.size()) return false;
    for (size_t i = 0; i < b.size(); ++i) {
        if (AsciiLower(a[offset + i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

bool StartsWith(const std::wstring& s, const wchar_t* prefix) { return s.compare(0, std::wcslen(prefix), prefix) == 0; }

}  // namespace

std::wstring WithoutTrailingSeparators(const std::wstring& s) {
    std::wstring out = s;
    for (wchar_t& c : out) {
        if (c == L'/') c = L'\\';
    }
    while (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

std::wstring TrimPath(const std::wstring& s) {
    size_t begin = 0;
    size_t end = s.size();
    while (begin < end && IsTrimmed(s[begin])) ++begin;
    while (end > begin && IsTrimmed(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

std::wstring ToLongPathForm(const std::wstring& s) {
    if (s.empty() || StartsWith(s, L"\\\\?\\") || s.size() < 240) return s;
    if (StartsWith(s, L"\\\\")) return L"\\\\?\\UNC\\" + s.substr(2);
    return L"\\\\?\\" + s;
}

std::wstring ParentDirRaw(const std::wstring& s) {
    if (s.size() <= 3) return std::wstring();
    const size_t i = s.rfind(L'\\');
    if (i == std::wstring::npos || i < 1) return std::wstring();
    if (i == 2 && s[1] == L':') return s.substr(0, 3);
    return s.substr(0, i);
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& child) {
    if (base.empty()) return child;
    size_t baseEnd = base.size();
    while (baseEnd > 0 && base[baseEnd - 1] == L'\\') --baseEnd;
    size_t childBegin = 0;
    while (childBegin < child.size() && child[childBegin] == L'\\') ++childBegin;
    return base.substr(0, baseEnd) + L"\\" + child.substr(childBegin);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring left = WithoutTrailingSeparators(a);
    const std::wstring right = WithoutTrailingSeparators(b);
    return left.size() == right.size() && AsciiEqualNoCase(left, 0, right);
}

bool IsStrictlyInside(const std::wstring& outer, const std::wstring& inner) {
    const std::wstring o = WithoutTrailingSeparators(outer);
    const std::wstring i = WithoutTrailingSeparators(inner);
    if (o.empty() || o.size() >= i.size()) return false;
    return AsciiEqualNoCase(i, 0, o) && i[o.size()] == L'\\';
}

bool IsValidUtf8(const std::string& bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i]);
        size_t extra = 0;
        uint32_t code = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, code = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, code = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, code = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= bytes.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

std::wstring LcgHexToken(uint64_t seed) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring token;
    uint64_t x = seed;
    for (int k = 0; k < 8; ++k) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        const unsigned byte = static_cast<unsigned>((x >> 24) & 0xFF);
        token += kDigits[byte >> 4];
        token += kDigits[byte & 0x0F];
    }
    return token;
}

ManifestLocation SplitManifestValue(const std::wstring& value) {
    std::wstring path = TrimPath(value);
    const size_t bar = path.find(L'|');
    if (bar != std::wstring::npos) path.erase(bar);
    path = TrimPath(path);
    ManifestLocation location;
    if (AsciiEqualNoCase(path, 0, L"file:///")) {
        location.kind = 1;
        location.rest = path.substr(8);
    } else if (AsciiEqualNoCase(path, 0, L"file://")) {
        location.kind = 2;
        location.rest = path.substr(7);
    } else {
        location.rest = path;
    }
    return location;
}

}  // namespace quilmo
