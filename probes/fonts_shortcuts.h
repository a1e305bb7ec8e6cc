// Two small install steps after registration: the TrueType fonts a version
// ships under "fonts\" are installed for the current user (no administrator
// rights needed), and shortcuts to the product's manual are created. Neither
// reports anything: a font that cannot be copied is skipped, a shortcut that
// cannot be made is simply absent.
#pragma once

#include <string>

namespace quilmo {

// versionDir (UTF-8) ends with a backslash. Copies versionDir\fonts\*.ttf
// into the per-user font folder, loads each and registers it under
// HKCU\...\Fonts as "<name> (TrueType)".
void InstallVersionFonts(const std::string& versionDir);

// Writes the shell link linkPath to target (all UTF-8), working in the
// target's directory, with the target's first icon; replaces an existing one.
void CreateShortcut(const std::string& target, const std::string& linkPath, const std::string& description);

// The registry value name of a font file: the name before its last dot
// (the whole name without one) followed by " (TrueType)".
std::wstring FontValueName(const std::wstring& fileName);

}  // namespace quilmo
