// Office, WPS and the product's own programs keep the add-in's files loaded:
// the install button finds them and, once the user agreed, ends them.
#pragma once

#include <string>

namespace quilmo {

constexpr int kHostProcessNameCount = 11;
extern const wchar_t* const kHostProcessNames[kHostProcessNameCount];  // HostProcessNames

// Whether an executable name is one of HostProcessNames (any case).
bool IsHostProcessName(const std::wstring& exeName);

// Any such process running, in any session, for any user.
bool IsAnyHostProcessRunning();

// Ends every such process the installer may open; no waiting, no report.
void TerminateHostProcesses();

}  // namespace quilmo
