#include "manifest/manifest_fetch.h"

namespace quilmo {

// No HTTP client is built in yet, so the server is never reached: the run
// gets the message an unreachable server gives, and no manifest.
bool FetchManifest(std::string& manifest, std::string& message) {
    manifest.clear();
    message = "无法连接到服务器，请检查网络连接。";
    return false;
}

}  // namespace quilmo
