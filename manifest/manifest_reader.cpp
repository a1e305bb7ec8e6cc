#include "manifest/manifest_reader.h"

#include <utility>

#include "manifest/url_template.h"

namespace quilmo {

namespace {

constexpr std::string::size_type kNone = std::string::npos;

bool IsJsonBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool EndsBareValue(char c) { return IsJsonBlank(c) || c == ',' || c == '}' || c == ']'; }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// The closing quote of a string whose content starts at pos. A quote right
// after a backslash never closes, even when that backslash is itself escaped.
std::string::size_type FindClosingQuote(const std::string& text, std::string::size_type pos) {
    std::string::size_type quote = text.find('"', pos);
    while (quote != kNone && text[quote - 1] == '\\') quote = text.find('"', quote + 1);
    return quote;
}

// The byte a two-byte escape stands for; 0 for escapes kept as written.
char SimpleEscape(char c) {
    switch (c) {
        case '"': return '"';
        case '/': return '/';
        case '\\': return '\\';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return 0;
    }
}

std::string::size_type FindFilesKey(const std::string& text) {
    std::string::size_type key = text.find("\"Files\"");
    return key != kNone ? key : text.find("\"files\"");
}

// The '}' that closes the '{' at open, counting braces only; kNone when the
// text ends first. Quotes are not tracked, so a brace inside a string counts.
std::string::size_type MatchingBrace(const std::string& text, std::string::size_type open) {
    std::string::size_type depth = 1;
    for (std::string::size_type i = open + 1; i < text.size(); ++i) {
        if (text[i] == '{') {
            ++depth;
        } else if (text[i] == '}' && --depth == 0) {
            return i;
        }
    }
    return kNone;
}

// Where to look for the next element after the one closing at close; kNone
// once a ']' comes before any ','.
std::string::size_type NextElementSearchStart(const std::string& text, std::string::size_type close) {
    const std::string::size_type comma = text.find(',', close + 1);
    const std::string::size_type listEnd = text.find(']', close + 1);
    if (listEnd != kNone && (comma == kNone || listEnd < comma)) return kNone;
    return comma != kNone ? comma + 1 : close + 1;
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsIgnoringAsciiCase(const std::string& text, const char* word) {
    std::string::size_type i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= text.size() || AsciiUpper(text[i]) != word[i]) return false;
    }
    return i == text.size();
}

// "1" to "9", "0", and the superscripts ¹ ² ³ (UTF-8), which Windows also
// takes as the number of a COM or LPT port.
bool IsPortNumber(const std::string& text) {
    if (text.size() == 1) return text[0] >= '0' && text[0] <= '9';
    return text == "\xC2\xB9" || text == "\xC2\xB2" || text == "\xC2\xB3";
}

// Windows opens the device, not a file, for these names, also with any
// extension and with blanks before the first dot.
bool IsDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"}) {
        if (EqualsIgnoringAsciiCase(stem, device)) return true;
    }
    if (stem.size() < 4) return false;
    const std::string prefix = stem.substr(0, 3);
    return (EqualsIgnoringAsciiCase(prefix, "COM") || EqualsIgnoringAsciiCase(prefix, "LPT")) &&
           IsPortNumber(stem.substr(3));
}

bool IsForbiddenNameByte(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*';
}

// A name Windows stores and opens as written: trailing dots and blanks are
// dropped silently, so such a name would be another file's, and a device
// name or a wildcard never names a file at all.
bool WindowsHoldsName(const std::string& name) {
    if (name.empty() || name.back() == '.' || name.back() == ' ') return false;
    for (char c : name) {
        if (IsForbiddenNameByte(c)) return false;
    }
    return !IsDeviceName(name);
}

std::string WithBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

// A "size" that is no byte count is ignored, as every key was before
// "size" had a meaning: such an entry is bounded by the general cap.
ManifestFileEntry ReadElement(const std::string& element, const std::string& version,
                              const std::string& downloadBaseUrl) {
    ManifestFileEntry entry;
    entry.url = ExpandUrlTemplate(GetManifestValue(element, "url"), version, downloadBaseUrl);
    entry.path = WithBackslashes(GetManifestValue(element, "path"));
    entry.hash = GetManifestValue(element, "hash");
    uint64_t size = 0;
    if (ParseListedSize(GetManifestValue(element, "size"), size)) entry.size = size;
    return entry;
}

}  // namespace

std::string GetManifestValue(const std::string& manifest, const std::string& key) {
    const std::string needle = '"' + key + '"';
    const std::string::size_type found = manifest.find(needle);
    if (found == kNone) return std::string();
    const std::string::size_type afterKey = found + needle.size();
    if (afterKey >= manifest.size()) return std::string();
    const std::string::size_type colon = manifest.find(':', afterKey);
    if (colon == kNone) return std::string();

    std::string::size_type start = colon + 1;
    while (start < manifest.size() && IsJsonBlank(manifest[start])) ++start;
    if (start >= manifest.size()) return std::string();

    if (manifest[start] != '"') {
        std::string::size_type end = start;
        while (end < manifest.size() && !EndsBareValue(manifest[end])) ++end;
        return manifest.substr(start, end - start);
    }
    const std::string::size_type close = FindClosingQuote(manifest, start + 1);
    if (close == kNone) return std::string();
    return UnescapeJsonString(manifest.substr(start + 1, close - start - 1));
}

std::string UnescapeJsonString(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    std::string::size_type i = 0;
    while (i < raw.size()) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out += raw[i++];
            continue;
        }
        const char next = raw[i + 1];
        if (next == 'u') {
            // Names in the manifest are UTF-8 already; a "\uXXXX" is dropped
            // whole, and a cut-off one keeps everything after its backslash.
            if (raw.size() - (i + 2) < 4) {
                out.append(raw, i + 1, kNone);
                break;
            }
            i += 6;
        } else if (const char plain = SimpleEscape(next)) {
            out += plain;
            i += 2;
        } else {
            out += '\\';  // the next byte is read as an ordinary one
            ++i;
        }
    }
    return out;
}

bool ReadFileEntries(const std::string& manifest, const std::string& version, const std::string& downloadBaseUrl,
                     std::vector<ManifestFileEntry>& entries, std::string& badPath, std::string& badHash) {
    entries.clear();
    badPath.clear();
    badHash.clear();
    const std::string::size_type key = FindFilesKey(manifest);
    if (key == kNone) return true;
    const std::string::size_type listStart = manifest.find('[', key);
    if (listStart == kNone) return true;

    std::string::size_type scan = listStart + 1;
    while (scan < manifest.size()) {
        const std::string::size_type open = manifest.find('{', scan);
        if (open == kNone) break;
        const std::string::size_type close = MatchingBrace(manifest, open);
        if (close == kNone) break;  // a truncated manifest ends the list

        ManifestFileEntry entry = ReadElement(manifest.substr(open, close - open + 1), version, downloadBaseUrl);
        if (!entry.url.empty() && !entry.path.empty()) {
            if (!IsSafeRelativePath(entry.path) || !IsSha256Hex(entry.hash)) {
                badPath = entry.path;
                badHash = entry.hash;
                entries.clear();
                return false;
            }
            entries.push_back(std::move(entry));
        }
        scan = NextElementSearchStart(manifest, close);
    }
    return true;
}

bool IsSafeRelativePath(const std::string& path) {
    if (path.empty()) return false;
    if (path.find(':') != kNone || path.find("..") != kNone) return false;
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;
    // One leading separator still means the version directory itself.
    std::string::size_type start = IsSeparator(path[0]) ? 1 : 0;
    for (;;) {
        std::string::size_type end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        if (!WindowsHoldsName(path.substr(start, end - start))) return false;
        if (end == path.size()) return true;
        start = end + 1;
    }
}

bool ParseListedSize(const std::string& text, uint64_t& size) {
    if (text.empty() || text.size() > 19) return false;  // 19 digits always fit
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    size = value;
    return true;
}

bool IsSha256Hex(const std::string& hash) {
    if (hash.size() != 64) return false;
    for (char c : hash) {
        if (!IsHexDigit(c)) return false;
    }
    return true;
}

}  // namespace quilmo
