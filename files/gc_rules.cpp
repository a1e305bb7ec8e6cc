#include "files/gc_rules.h"

#include <cstdio>

namespace quilmo {

namespace {

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsHexDigit(wchar_t c) { return IsDigit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }
bool IsLabelChar(wchar_t c) {
    return IsDigit(c) || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'.' || c == L'_' || c == L'-';
}

// Index after a run of at least one digit starting at i, or npos.
size_t SkipDigits(const std::wstring& s, size_t i) {
    const size_t start = i;
    while (i < s.size() && IsDigit(s[i])) ++i;
    return i > start ? i : std::wstring::npos;
}

bool IsLabelTail(const std::wstring& s, size_t i) {
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i) {
        if (!IsLabelChar(s[i])) return false;
    }
    return true;
}

bool IsHexTail(const std::wstring& s, size_t i) {
    const size_t length = s.size() - i;
    if (length < 4 || length > 16) return false;
    for (; i < s.size(); ++i) {
        if (!IsHexDigit(s[i])) return false;
    }
    return true;
}

bool EndsWithNoCase(const std::wstring& s, const wchar_t* suffix) {
    const std::wstring tail(suffix);
    if (s.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        wchar_t c = s[s.size() - tail.size() + i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != tail[i]) return false;
    }
    return true;
}

}  // namespace

bool IsVersionDirectoryName(const std::wstring& name) {
    if (name.size() < 6) return false;
    for (size_t i = 0; i < 4; ++i) {
        if (!IsDigit(name[i])) return false;
    }
    if (name[4] != L'.') return false;
    size_t i = SkipDigits(name, 5);
    if (i == std::wstring::npos) return false;
    // Further ".digits" groups; a dot followed by no digit ends the number.
    while (i < name.size() && name[i] == L'.') {
        const size_t next = SkipDigits(name, i + 1);
        if (next == std::wstring::npos) break;
        i = next;
    }
    if (i == name.size()) return true;
    if (name[i] == L'-') return IsLabelTail(name, i + 1);
    if (name[i] == L'_') return IsHexTail(name, i + 1);
    return false;
}

bool HasBinaryExtension(const std::wstring& path) {
    for (const wchar_t* extension : {L".dll", L".exe", L".xll", L".ocx", L".sys", L".cpl"}) {
        if (EndsWithNoCase(path, extension)) return true;
    }
    return false;
}

bool IsAbsoluteWindowsPath(const std::wstring& path) {
    size_t i = 0;
    while (i < path.size() && (path[i] == L' ' || path[i] == L'\t' || path[i] == L'"' || path[i] == L'\r' ||
                               path[i] == L'\n')) {
        ++i;
    }
    const auto separator = [&](size_t at) { return at < path.size() && (path[at] == L'\\' || path[at] == L'/'); };
    if (separator(i) && separator(i + 1)) return true;
    const bool letter = i < path.size() && ((path[i] >= L'A' && path[i] <= L'Z') || (path[i] >= L'a' && path[i] <= L'z'));
    return letter && i + 1 < path.size() && path[i + 1] == L':' && separator(i + 2);
}

bool IsOldEnough(uint64_t latestTouch, uint64_t now) {
    if (latestTouch == 0 || latestTouch > now) return false;
    return now - latestTouch >= kGcMinimumAge;
}

std::string FormatGcSummary(const GcResult& r) {
    char line[384] = {};
    std::snprintf(line, sizeof line,
                  "old-version gc done: deleted=%d protected=%d recent=%d locked=%d unsafe=%d invalid=%d migFail=%d "
                  "lockBusy=%d sharedAcl=%d protAbort=%d parentGateSkip=%d",
                  static_cast<int>(r.deleted), static_cast<int>(r.protectedDirs), static_cast<int>(r.recent),
                  static_cast<int>(r.locked), static_cast<int>(r.unsafe), static_cast<int>(r.invalid),
                  static_cast<int>(r.migFail), r.lockBusy ? 1 : 0, r.sharedAcl ? 1 : 0, r.protAbort ? 1 : 0,
                  r.parentGateSkip ? 1 : 0);
    return line;
}

}  // namespace quilmo
