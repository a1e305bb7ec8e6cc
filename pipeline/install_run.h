// Everything one RunInstaller call owns, from the verified manifest to the
// files of the new version; the later phase adds its own fields.
#pragma once

#include <string>
#include <vector>

#include "files/gc_base_lock.h"
#include "manifest/manifest_reader.h"

namespace quilmo {

// A prerequisite bootstrapper the release ships as an ordinary file. Only a
// verified one may ever be started.
struct PrerequisiteFile {
    bool present = false;
    bool verified = false;
    std::string sha256;
    std::wstring localPath;
};

struct InstallRun {
    std::string manifestText;
    std::string version;  // "Vison", or "unknown"
    std::string productName;
    std::string productDescription;
    std::string installedVersion;
    std::string installedDir;
    std::string targetDir;  // UTF-8, ends with a backslash
    std::wstring targetDirW;
    GcBaseLock baseLock;  // released when the run ends, whatever the outcome
    std::string vstoUrl;
    std::string postCommand;
    std::vector<ManifestFileEntry> entries;
    std::vector<ManifestFileEntry> needed;
    std::vector<std::string> failedPaths;
    PrerequisiteFile net48Setup;
    PrerequisiteFile webView2Setup;
};

// What the next step of a run is: go on, or end with a code.
struct StepOutcome {
    bool goOn = true;
    int code = 0;
    static StepOutcome Continue() { return {true, 0}; }
    static StepOutcome End(int code) { return {false, code}; }
};

}  // namespace quilmo
