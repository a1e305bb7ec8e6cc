#include "registration/installed_version.h"

namespace quilmo {

// Until the Uninstall entry is read from the registry, start-up sees a
// machine without an installation and without a saved base location.
InstalledVersion FindInstalledVersion() { return InstalledVersion{}; }

std::string ReadInstallBaseLocation() { return std::string(); }

}  // namespace quilmo
