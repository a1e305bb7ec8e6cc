// The per-user registration of the add-in's COM server: class and ProgID
// keys in the 32-bit and 64-bit views, "ManagedDir", the Office add-in keys
// and the WPS allow-list, written under a snapshot that is put back on the
// first failure. Plus the read-back the pipeline runs afterwards, and the
// removal of a machine-wide registration.
#pragma once

#include <windows.h>

#include <string>

#include "registration/registration_target.h"

namespace quilmo {

// The server DLLs next to the managed core, one per host bitness.
inline constexpr wchar_t kCoreLibraryName[] = L"Quilmo.Core.dll";
inline constexpr wchar_t kServer32Name[] = L"ZUDodi32.dll";
inline constexpr wchar_t kServer64Name[] = L"REDero64.dll";

// The add-in's name and description as the hosts list them; an empty one
// takes the built-in text.
struct AddinTexts {
    std::wstring friendlyName;
    std::wstring description;
};

struct CoreRegistrationResult {
    bool ok = false;
    bool reg32 = false;  // the 32-bit server is registered
    bool reg64 = false;  // the 64-bit server is registered
    std::string detail;  // UTF-8 message for the user; empty on success
};

// The four classes at one location, in table order: class key default,
// InprocServer32 default (dllPath) and "ThreadingModel", "ProgID", "Control"
// for the task-pane host, then the ProgID key and its "CLSID". Each value is
// its own create-set-close; the first failure ends the call.
bool RegisterComClasses(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& dllPath);

// Delete the four class keys / the four ProgID keys; every deletion is
// attempted, ok when all succeed.
bool RemoveComClassKeys(HKEY hive, const std::wstring& root, REGSAM view);
bool RemoveProgIdKeys(HKEY hive, const std::wstring& root, REGSAM view);

// Class keys, ProgID keys, Office add-in keys and allow-list values at the
// machine 32-bit pass and, on 64-bit Windows, the machine 64-bit pass.
bool RemoveMachineComRegistration(const RegistrationTarget& target);

// Registers the server(s) found in installDir (UTF-8; forward slashes and
// trailing separators allowed) for the requested bitnesses, with the given
// display name and description. On failure nothing
// of the previous registration is lost, reg32 and reg64 are false and
// detail names the step that failed.
CoreRegistrationResult RegisterCoreComponents(const std::string& installDir, bool register32, bool register64,
                                              const RegistrationTarget& target, const AddinTexts& texts);

// Reads the user hive back: ManagedDir, every InprocServer32 path asked for,
// the neutral ProgID keys, the Office keys with LoadBehavior 3 and the WPS
// allow-list values. Changes nothing.
bool VerifyCoreRegistration(const std::string& installDir, bool register32, bool register64,
                            const RegistrationTarget& target);

}  // namespace quilmo
