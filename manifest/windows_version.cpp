#include "manifest/windows_version.h"

#include <windows.h>

namespace quilmo {

bool IsWindowsVersionOrLater(unsigned major, unsigned minor) {
    // Answers truthfully only because the executable's manifest lists
    // Windows 8.1 and 10 as supported.
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = major;
    version.dwMinorVersion = minor;
    version.wServicePackMajor = 0;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition) != FALSE;
}

bool IsWindows81OrLater() { return IsWindowsVersionOrLater(6, 3); }

}  // namespace quilmo
