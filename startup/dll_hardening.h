// Keeps the process from loading code out of the folder it was started from
// (typically Downloads, where anybody may have dropped a DLL).
#pragma once

namespace quilmo {

// Restricts the DLL search to the system directory. Must run before any
// library other than the KnownDLLs is loaded.
void RestrictDllSearchToSystem32();

}  // namespace quilmo

#include <windows.h>

namespace quilmo {

// Loads a system library from the system directory only, never by the
// default search order. Returns NULL when it is absent.
HMODULE LoadSystemLibrary(const wchar_t* fileName);

}  // namespace quilmo
