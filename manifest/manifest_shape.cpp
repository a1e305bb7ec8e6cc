#include "manifest/manifest_shape.h"

namespace quilmo {

namespace {

constexpr std::string::size_type kNone = std::string::npos;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string::size_type SkipBlanks(const std::string& text, std::string::size_type pos) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    return pos;
}

// Skips blanks; true (and steps over it) when the next byte is token.
bool TakeToken(const std::string& text, std::string::size_type& pos, char token) {
    pos = SkipBlanks(text, pos);
    if (pos >= text.size() || text[pos] != token) return false;
    ++pos;
    return true;
}

// Notepad saves UTF-8 with a byte-order mark; the server may pass it on.
std::string::size_type SkipByteOrderMark(const std::string& text) {
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

std::string::size_type LastNonBlank(const std::string& text) {
    std::string::size_type end = text.size();
    while (end > 0 && IsBlank(text[end - 1])) --end;
    return end == 0 ? kNone : end - 1;
}

std::string::size_type FindFilesKey(const std::string& text, std::string::size_type from) {
    std::string::size_type key = text.find("\"Files\"", from);
    return key != kNone ? key : text.find("\"files\"", from);
}

}  // namespace

bool HasManifestShape(const std::string& body) {
    std::string::size_type pos = SkipByteOrderMark(body);
    if (!TakeToken(body, pos, '{')) return false;
    const std::string::size_type last = LastNonBlank(body);
    if (last == kNone || body[last] != '}') return false;

    const std::string::size_type key = FindFilesKey(body, pos);
    if (key == kNone) return false;
    pos = key + 7;  // the quoted key
    if (!TakeToken(body, pos, ':') || !TakeToken(body, pos, '[') || !TakeToken(body, pos, '{')) return false;

    const std::string::size_type listEnd = body.find(']', pos);
    return listEnd != kNone && listEnd < last;
}

}  // namespace quilmo
