// What is installed already: the version and directory of the add-in, and
// the install base the user chose last time.
#pragma once

#include <string>

namespace quilmo {

struct InstalledVersion {
    bool found = false;
    std::string version;    // UTF-8
    std::string directory;  // UTF-8
};

InstalledVersion FindInstalledVersion();

// The saved "InstallBaseLocation"; empty when none is saved.
std::string ReadInstallBaseLocation();

}  // namespace quilmo
