#include "ui/version.h"

#include <climits>

namespace quilmo {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsIdentifierChar(char c) {
    return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

std::string TrimBlanksAndTabs(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::optional<int> ParseComponent(const std::string& digits) {
    if (digits.empty()) return std::nullopt;
    long long value = 0;
    for (char c : digits) {
        if (!IsDigit(c)) return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return std::nullopt;
    }
    return static_cast<int>(value);
}

bool IsValidIdentifier(const std::string& identifier) {
    if (identifier.empty()) return false;
    for (char c : identifier) {
        if (!IsIdentifierChar(c)) return false;
    }
    return true;
}

bool IsNumericIdentifier(const std::string& identifier) {
    for (char c : identifier) {
        if (!IsDigit(c)) return false;
    }
    return true;
}

int Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

// Numbers of any length: leading zeros ignored, then longer is greater,
// then digit by digit.
int CompareNumericIdentifiers(const std::string& a, const std::string& b) {
    size_t za = a.find_first_not_of('0');
    size_t zb = b.find_first_not_of('0');
    std::string ta = za == std::string::npos ? std::string() : a.substr(za);
    std::string tb = zb == std::string::npos ? std::string() : b.substr(zb);
    if (ta.size() != tb.size()) return ta.size() < tb.size() ? -1 : 1;
    return Sign(ta.compare(tb));
}

int CompareIdentifiers(const std::string& a, const std::string& b) {
    bool numericA = IsNumericIdentifier(a);
    bool numericB = IsNumericIdentifier(b);
    if (numericA && numericB) return CompareNumericIdentifiers(a, b);
    if (numericA != numericB) return numericA ? -1 : 1;
    return Sign(a.compare(b));
}

int ComparePreRelease(const ParsedVersion& a, const ParsedVersion& b) {
    if (!a.hasPreRelease && !b.hasPreRelease) return 0;
    if (a.hasPreRelease != b.hasPreRelease) return a.hasPreRelease ? -1 : 1;
    size_t common = a.preRelease.size() < b.preRelease.size() ? a.preRelease.size() : b.preRelease.size();
    for (size_t i = 0; i < common; ++i) {
        int result = CompareIdentifiers(a.preRelease[i], b.preRelease[i]);
        if (result != 0) return result;
    }
    if (a.preRelease.size() == b.preRelease.size()) return 0;
    return a.preRelease.size() < b.preRelease.size() ? -1 : 1;
}

}  // namespace

std::optional<ParsedVersion> ParseVersion(const std::string& text) {
    std::string trimmed = TrimBlanksAndTabs(text);
    if (trimmed.empty()) return std::nullopt;
    if (trimmed[0] == 'v' || trimmed[0] == 'V') {
        trimmed.erase(0, 1);
        if (trimmed.empty()) return std::nullopt;
    }
    if (trimmed.find('+') != std::string::npos) return std::nullopt;

    size_t hyphen = trimmed.find('-');
    std::string core = trimmed.substr(0, hyphen);
    std::vector<std::string> componentTexts = Split(core, '.');
    if (componentTexts.size() > 4) return std::nullopt;

    ParsedVersion version;
    for (const std::string& componentText : componentTexts) {
        std::optional<int> value = ParseComponent(componentText);
        if (!value) return std::nullopt;
        version.components[version.componentCount++] = *value;
    }
    if (hyphen != std::string::npos) {
        std::string preRelease = trimmed.substr(hyphen + 1);
        if (preRelease.empty()) return std::nullopt;
        version.hasPreRelease = true;
        version.preRelease = Split(preRelease, '.');
        for (const std::string& identifier : version.preRelease) {
            if (!IsValidIdentifier(identifier)) return std::nullopt;
        }
    }
    return version;
}

std::optional<int> CompareVersions(const std::string& first, const std::string& second) {
    std::optional<ParsedVersion> a = ParseVersion(first);
    std::optional<ParsedVersion> b = ParseVersion(second);
    if (!a || !b) return std::nullopt;
    for (int i = 0; i < 4; ++i) {
        if (a->components[i] != b->components[i]) return a->components[i] < b->components[i] ? -1 : 1;
    }
    return ComparePreRelease(*a, *b);
}

}  // namespace quilmo
