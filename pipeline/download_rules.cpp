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

}  // namespace quilmo
