#include "registration/version_text.h"

#include <vector>

namespace quilmo {

namespace {

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::vector<std::string> SplitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

// 1 to 4 ASCII digits; the number goes to *value.
bool ParseComponent(const std::string& part, int* value) {
    if (part.empty() || part.size() > 4) return false;
    int number = 0;
    for (char c : part) {
        if (!IsAsciiDigit(c)) return false;
        number = number * 10 + (c - '0');
    }
    *value = number;
    return true;
}

bool IsValidCore(const std::string& core) {
    std::vector<std::string> parts = SplitOn(core, '.');
    if (parts.size() != 3 && parts.size() != 4) return false;
    int numbers[4] = {};
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!ParseComponent(parts[i], &numbers[i])) return false;
    }
    return numbers[0] >= 2020 && numbers[0] <= 2100 && numbers[1] >= 1 && numbers[1] <= 12 && numbers[2] >= 1 &&
           numbers[2] <= 31;
}

bool IsValidIdentifier(const std::string& identifier) {
    if (identifier.empty()) return false;
    for (char c : identifier) {
        if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '-') return false;
    }
    return true;
}

bool IsValidSuffix(const std::string& suffix) {
    if (suffix.empty()) return false;
    for (const std::string& identifier : SplitOn(suffix, '.')) {
        if (!IsValidIdentifier(identifier)) return false;
    }
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

bool IsValidVersion(const std::string& text) {
    if (text.size() < 8 || text.size() > 48) return false;
    size_t dash = text.find('-');
    if (dash == std::string::npos) return IsValidCore(text);
    return IsValidCore(text.substr(0, dash)) && IsValidSuffix(text.substr(dash + 1));
}

std::string FirstLineOfVersionFile(const std::string& bytes) {
    std::string text = bytes;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    size_t lineEnd = text.find_first_of("\r\n");
    if (lineEnd != std::string::npos) text.erase(lineEnd);
    size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) ++first;
    size_t last = text.size();
    while (last > first && IsBlank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

}  // namespace quilmo
