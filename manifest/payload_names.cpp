#include "manifest/payload_names.h"

namespace quilmo {

const char kNet48SetupName[] = "ndp48-web.exe";
const char kWebView2SetupName[] = "microsoftedgewebview2setup.exe";

namespace {

size_t SkipLeadingNoise(const std::string& path, size_t at) {
    for (;;) {
        size_t before = at;
        while (at < path.size() && (path[at] == '\\' || path[at] == ' ' || path[at] == '\t')) ++at;
        if (path.compare(at, 2, ".\\") == 0) at += 2;
        if (at == before) return at;
    }
}

}  // namespace

std::string TopLevelName(const std::string& path) {
    std::string text = path;
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    size_t begin = SkipLeadingNoise(text, 0);
    size_t end = text.size();
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
    std::string name = text.substr(begin, end - begin);
    if (name.empty() || name == "." || name == ".." || name.find('\\') != std::string::npos) return std::string();
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

}  // namespace quilmo
