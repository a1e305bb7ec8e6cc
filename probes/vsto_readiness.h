// Whether the Microsoft VSTO runtime the legacy add-in needs is ready,
// missing or uncertain on this machine, from its registration, its loader
// files in the architectures of the installed hosts, and the hosts found.
// Only reads; every error counts as unknown, never as ready.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "probes/vsto_rules.h"

namespace quilmo {

VstoReadiness EvaluateVstoReadiness();

// "Version" of ...\VSTO Runtime Setup\v4 or \v4R in the machine hive:
// present for a DWORD of at least 10,000,000 or a dotted text 10.x.y or
// later; kProbePresent, kProbeAbsent or kProbeUnknown.
int ReadVstoRuntimeRegistration(REGSAM view);

// vstoee.dll and 10.0\VSTOLoader.dll under Common Files\Microsoft
// Shared\VSTO of the view, both DLLs for the machine type.
int CheckVstoLoader(REGSAM view, uint16_t machine);

// kProbePresent for a DLL of that machine type, kProbeAbsent for a missing
// or other file, kProbeUnknown when it could not be read.
int CheckPeImage(const std::wstring& path, uint16_t machine);

// The file's SHA-256 is one of the known runtime installers.
bool IsKnownVstoRedistributable(const std::wstring& path);

}  // namespace quilmo
