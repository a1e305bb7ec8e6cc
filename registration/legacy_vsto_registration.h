// The registration of the previous add-in generation: one VSTO add-in per
// Office host, found through its add-in key's "Manifest" value, and the
// add-in's name in each WPS host's allow-list. Written where the target says
// (the user's hive for an installation), so the install snapshot covers
// every key it touches.
#pragma once

#include <windows.h>

#include <string>

#include "registration/registration_target.h"

namespace quilmo {

// "file:///" + installDir + "Quilmo2025." + shortName + ".vsto|vstolocal";
// installDir ends with a backslash.
std::wstring VstoManifestValue(const std::wstring& installDir, const wchar_t* shortName);

// Creates the add-in key and sets "FriendlyName", "Description",
// "LoadBehavior" 3, "CommandLineSafe" 1, "Bits" 64 and "Manifest", in this
// order; false when the key could not be created or a value not set.
bool WriteVstoAddinKey(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& appName,
                       const std::wstring& appDescription, const std::wstring& manifestValue);

// The three hosts' add-in keys and allow-list values at every location the
// target writes. appName and appDescription are UTF-8.
void RegisterLegacyVstoAddin(const RegistrationTarget& target, const std::wstring& installDir,
                             const std::string& appName, const std::string& appDescription);

// The user's add-in key for the host loads the add-in: "LoadBehavior" 3 and
// a "Manifest" naming this installDir's deployment manifest (letter case
// aside).
bool VerifyLegacyVstoHost(const RegistrationTarget& target, const std::wstring& installDir,
                          const wchar_t* officeKeyName, const wchar_t* shortName);

}  // namespace quilmo
