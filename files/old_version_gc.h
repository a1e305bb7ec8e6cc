// The collector of old version directories: at the end of a successful
// install it deletes version directories below the install base that are
// provably unused and keeps everything else. A directory goes only when it
// has a version name and a marker file, is referenced by no registration,
// has not been touched for 30 minutes, holds no link, no hard-linked file and
// nothing in use, and its user files have been migrated. Every decision is
// counted, and the run ends with one summary line in the installer log.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files/gc_base_lock.h"
#include "files/gc_rules.h"

namespace quilmo {

// The directories the registrations name, gathered by the registry layer.
struct RegisteredDirectories {
    std::vector<std::wstring> directories;
    bool malformed = false;  // a value named no full path: nothing may go
};

// Deletes the provably unused version directories below basePath.
// registered: what the registrations name; malformed ends the collection
// before anything is scanned. protectedPaths: the version just installed
// and, when known, the previous one (empty entries are ignored).
// userDataDir receives the user files of a directory before it goes. lock:
// the base lock the caller holds, or nullptr to take the lock file for the
// scan alone. Writes one log line.
GcResult CollectOldVersions(const std::wstring& basePath, const RegisteredDirectories& registered,
                            const std::vector<std::wstring>& protectedPaths, const std::wstring& userDataDir,
                            const GcBaseLock* lock);

}  // namespace quilmo
