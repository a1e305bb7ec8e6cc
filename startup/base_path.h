// Choosing the install base directory: the folder that holds one
// sub-directory per installed version.
#pragma once

#include <string>

namespace quilmo {

struct BasePathInputs {
    bool installFound = false;
    std::string installedVersion;    // UTF-8
    std::string installedDirectory;  // UTF-8
    std::string savedBaseLocation;   // UTF-8, empty when none was saved
    std::string defaultBase;         // UTF-8, the per-user default
};

struct BasePathChoice {
    std::string basePath;  // always ends with a backslash or slash
    bool existingInstall = false;
};

BasePathChoice ChooseBasePath(const BasePathInputs& inputs);

// The choice for this user: what is installed and saved in the registry,
// else the per-user default folder.
struct StartupBase {
    BasePathChoice choice;
    std::string installedVersion;  // UTF-8, empty when none was found
};
StartupBase ChooseStartupBase();

}  // namespace quilmo
