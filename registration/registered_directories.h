// The directories the add-in's registrations name, in both hives and, on
// 64-bit Windows, both registry views: the core's "ManagedDir", the
// Uninstall entry's "InstallLocation", every class's server directory and
// every legacy add-in manifest's directory. The old-version collector keeps
// them.
#pragma once

#include <windows.h>

#include <string>

#include "files/old_version_gc.h"

namespace quilmo {

// Normalised and without duplicates. A value that is not empty but names no
// full path marks the result malformed (and empties it): where it points
// cannot be known, so nothing may be proved unused.
RegisteredDirectories GatherRegisteredDirectories();

// A REG_SZ or REG_EXPAND_SZ value of more than one byte, cut at its first
// NUL; REG_EXPAND_SZ text with '%' is expanded when that yields 1 to 32,768
// characters. valueName nullptr or empty: the default value.
bool ReadRegistryString(HKEY hive, const std::wstring& keyPath, REGSAM viewFlag, const wchar_t* valueName,
                        std::wstring* text);

}  // namespace quilmo
