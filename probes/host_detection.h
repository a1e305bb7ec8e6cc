// Which Office and WPS hosts are installed, and in which architectures: the
// App Paths of their programs, WPS's "InstallRoot", its launcher, Office's
// Click-to-Run folder and a per-user WPS folder. Only reads.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quilmo {

// 64-bit Windows, as this 32-bit program sees it: IsWow64Process is there,
// succeeds and reports WOW64.
bool Is64BitWindows();

struct HostScan {
    int hostBits = 0;  // 1 a 32-bit host, 2 a 64-bit host, 3 both
    bool hostEvidence = false;
    // No WPS program's architecture could be read, but its launcher or a
    // per-user WPS folder was found.
    bool wpsArchUnconfirmed = false;
};

// Searches both hives in each of the given registry views, in order.
HostScan DiscoverHosts(const std::vector<REGSAM>& views);

// A REG_SZ or REG_EXPAND_SZ path (expanded, unquoted) on a fixed drive:
// "X:\..." whose drive is DRIVE_FIXED; otherwise empty. valueName nullptr:
// the default value.
std::wstring ReadFixedDrivePath(HKEY hive, REGSAM view, const std::wstring& keyPath, const wchar_t* valueName);

// 1 for a 32-bit program, 2 for a 64-bit one, 0 for anything else.
int ExeArchBits(const std::wstring& path);

// What WPS folders showed: the architectures of wps.exe, et.exe and
// wpp.exe, and whether its launcher was seen.
struct WpsRecord {
    int bits = 0;
    bool launcherFound = false;
};

// Adds what directory (and its office6 folder) holds; nothing for "".
void ProbeWpsDirectory(WpsRecord& record, const std::wstring& directory);

// A WPS installed for this user alone under Local AppData\Kingsoft\WPS
// Office, directly or in a version-named folder.
bool FindPerUserWps();

// The path text a registry value holds as a candidate: the surrounding
// double quotes removed; empty unless it begins "X:\".
std::wstring DrivePathText(std::wstring text);

}  // namespace quilmo
