// The caption of the main button: what pressing it will do, given what is
// installed and what the server offers.
#pragma once

#include <string>

namespace quilmo {

extern const char kCaptionInstallNow[];  // "立即安装"
extern const char kCaptionUpdate[];      // "一键更新"
extern const char kCaptionReinstall[];   // "覆盖安装"

std::string MainButtonCaption(bool existingInstall, const std::string& installedVersion,
                              const std::string& manifestVersion);

}  // namespace quilmo
