// What is installed already: the version and directory of the add-in, the
// install base the user chose last time, and the Uninstall entry that
// records them for Windows and for the next run.
#pragma once

#include <windows.h>

#include <string>

#include "registration/version_text.h"

namespace quilmo {

struct InstalledVersion {
    bool found = false;
    std::string version;    // UTF-8
    std::string directory;  // UTF-8
};

// From the Uninstall entry, "ManagedDir" and the directory's "app.version".
InstalledVersion FindInstalledVersion();

// The saved "InstallBaseLocation"; empty when none is saved.
std::string ReadInstallBaseLocation();

// The version of an install directory: its "app.version", else its own name.
bool ReadVersionFromDirectory(const std::wstring& directory, std::string* version);

// targetPath and basePath are UTF-8 and end with a backslash. Silent: a
// failure here never fails an installation.
void WriteUninstallEntry(const std::string& version, const std::string& displayName, const std::string& targetPath,
                         const std::string& basePath);

// Starts the legacy product's "_uninstall.bat" when its Uninstall entry
// names an install location; does not wait.
void RunLegacyUninstaller();
using ShellExecuteFn = HINSTANCE(WINAPI*)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
void RunLegacyUninstallerWith(ShellExecuteFn shellExecute);

// Blanks and quotes trimmed, "/" as "\", made absolute, trailing backslashes
// removed (a drive root keeps its own).
std::wstring NormalizeFullPath(const std::wstring& path);
// Both non-empty after normalising and equal without regard to case.
bool SameFullPath(const std::wstring& a, const std::wstring& b);

}  // namespace quilmo
