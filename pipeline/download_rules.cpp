#include "pipeline/download_rules.h"

namespace quilmo {

int VerifyProgress(size_t index, size_t entryCount) {
    if (entryCount == 0) return 0;
    return static_cast<int>((index + 1) * 50 / entryCount);
}

int DownloadProgress(size_t downloaded, size_t neededCount) {
    if (neededCount == 0) return 50;
    return 50 + static_cast<int>(downloaded * 25 / neededCount);
}

bool ShowsTipBeforeNextFile(size_t downloaded) { return downloaded > 0 && downloaded % 20 == 0; }

bool TooManyDownloadFailures(size_t failures, size_t neededCount) {
    return failures > 5 || (neededCount < 10 && failures > 2);
}

bool IsSafeVersionDirectoryName(const std::string& version) {
    if (version.empty() || version.size() > 128) return false;
    if (version == "." || version == "..") return false;
    for (unsigned char c : version) {
        if (c < 0x20 || c == 0x7F) return false;
        switch (c) {
            case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
                return false;
            default:
                break;
        }
    }
    // Windows drops trailing dots and blanks, which would make two versions
    // share a directory.
    char last = version.back();
    return last != '.' && last != ' ';
}

}  // namespace quilmo
