#include "ui/caption_rule.h"

#include "ui/version.h"

namespace quilmo {

const char kCaptionInstallNow[] = "立即安装";
const char kCaptionUpdate[] = "一键更新";
const char kCaptionReinstall[] = "覆盖安装";

std::string MainButtonCaption(bool existingInstall, const std::string& installedVersion,
                              const std::string& manifestVersion) {
    if (!existingInstall) return kCaptionInstallNow;
    if (!installedVersion.empty()) {
        std::optional<int> order = CompareVersions(manifestVersion, installedVersion);
        if (order && *order > 0) return kCaptionUpdate;
    }
    return kCaptionReinstall;
}

}  // namespace quilmo
