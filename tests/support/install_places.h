// Where an installation run leaves its traces, as the tests look for them:
// the install base (the log's folder) and the product's keys in the user's
// hive.
#pragma once

#include <string>

#include "startup/installer_log.h"

namespace quilmo::test {

inline constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quilmo2025";
inline constexpr wchar_t kProductKey[] = L"Software\\QuilmoStudio";

// The install base, ending with a backslash.
inline std::wstring BaseDir() {
    std::wstring log = InstallerLogPath();
    return log.substr(0, log.size() - std::wstring(L"installer-auto.log").size());
}

}  // namespace quilmo::test
