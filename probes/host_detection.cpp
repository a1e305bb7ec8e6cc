#include "probes/host_detection.h"

#include <shlobj.h>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "probes/vsto_rules.h"
#include "registration/registration_target.h"

namespace quilmo {

namespace {

const wchar_t* const kWpsPrograms[] = {L"wps.exe", L"et.exe", L"wpp.exe"};
const wchar_t* const kOfficePrograms[] = {L"winword.exe", L"excel.exe", L"powerpnt.exe"};
const wchar_t kAppPaths[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\";

bool IsExecutableBinary(const std::wstring& path) {
    DWORD type = 0;
    return GetBinaryTypeW(path.c_str(), &type) && (type == SCS_32BIT_BINARY || type == SCS_64BIT_BINARY);
}

bool OnFixedDrive(const std::wstring& path) {
    return path.size() >= 3 && GetDriveTypeW(path.substr(0, 3).c_str()) == DRIVE_FIXED;
}

// The registry value as text: REG_SZ as it is, REG_EXPAND_SZ expanded into
// at most 1,024 characters; anything else empty.
std::wstring ReadPathValue(HKEY hive, REGSAM view, const std::wstring& keyPath, const wchar_t* valueName) {
    UniqueRegKey key;
    if (RegOpenKeyExW(hive, keyPath.c_str(), 0, KEY_QUERY_VALUE | view, key.put()) != ERROR_SUCCESS) return L"";
    wchar_t buffer[1024] = {};
    DWORD type = 0;
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        return L"";
    }
    if (type == REG_SZ) return buffer;
    if (type != REG_EXPAND_SZ) return L"";
    wchar_t expanded[1024] = {};
    DWORD needed = ExpandEnvironmentStringsW(buffer, expanded, 1024);
    if (needed == 0 || needed > 1024) return L"";
    return expanded;
}

void AddProgramBits(int& bits, const std::wstring& directory, const wchar_t* name) {
    bits |= ExeArchBits(directory + L"\\office6\\" + name);
    bits |= ExeArchBits(directory + L"\\" + name);
}

std::wstring ParentOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring LocalAppData() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return L"";
    return path;
}

bool ShowsWps(const std::wstring& directory) {
    WpsRecord record;
    ProbeWpsDirectory(record, directory);
    return record.bits != 0 || record.launcherFound;
}

// One hive in one view: App Paths, InstallRoot, the launcher and, in the
// machine hive, Click-to-Run.
void ScanHive(HKEY hive, REGSAM view, int& officeBits, WpsRecord& wps) {
    for (const wchar_t* name : kWpsPrograms) {
        wps.bits |= ExeArchBits(ReadFixedDrivePath(hive, view, kAppPaths + std::wstring(name), nullptr));
    }
    for (const wchar_t* name : kOfficePrograms) {
        officeBits |= ExeArchBits(ReadFixedDrivePath(hive, view, kAppPaths + std::wstring(name), nullptr));
    }
    ProbeWpsDirectory(wps, ReadFixedDrivePath(hive, view, L"SOFTWARE\\Kingsoft\\Office\\6.0\\common", L"InstallRoot"));
    const std::wstring launcher = ReadFixedDrivePath(hive, view, kAppPaths + std::wstring(L"ksolaunch.exe"), nullptr);
    if (!launcher.empty() && IsExecutableBinary(launcher)) {
        wps.launcherFound = true;
        ProbeWpsDirectory(wps, ParentOf(launcher));
    }
    if (hive != HKEY_LOCAL_MACHINE) return;
    const std::wstring clickToRun = ReadFixedDrivePath(
        hive, view, L"SOFTWARE\\Microsoft\\Office\\ClickToRun\\Configuration", L"InstallationPath");
    if (clickToRun.empty()) return;
    for (const wchar_t* name : kOfficePrograms) officeBits |= ExeArchBits(clickToRun + L"\\root\\Office16\\" + name);
}

}  // namespace

bool Is64BitWindows() { return IsCurrentProcessWow64(); }

std::wstring DrivePathText(std::wstring text) {
    if (text.size() > 1 && text.front() == L'"' && text.back() == L'"') text = text.substr(1, text.size() - 2);
    if (text.size() < 3 || text[1] != L':' || text[2] != L'\\') return L"";
    return text;
}

std::wstring ReadFixedDrivePath(HKEY hive, REGSAM view, const std::wstring& keyPath, const wchar_t* valueName) {
    const std::wstring path = DrivePathText(ReadPathValue(hive, view, keyPath, valueName));
    return OnFixedDrive(path) ? path : std::wstring();
}

int ExeArchBits(const std::wstring& path) {
    if (path.empty()) return 0;
    DWORD type = 0;
    if (!GetBinaryTypeW(path.c_str(), &type)) return 0;
    if (type == SCS_32BIT_BINARY) return kArchX86;
    if (type == SCS_64BIT_BINARY) return kArchX64;
    return 0;
}

void ProbeWpsDirectory(WpsRecord& record, const std::wstring& directory) {
    if (directory.empty()) return;
    for (const wchar_t* name : kWpsPrograms) AddProgramBits(record.bits, directory, name);
    if (record.launcherFound) return;
    record.launcherFound = IsExecutableBinary(directory + L"\\office6\\ksolaunch.exe") ||
                           IsExecutableBinary(directory + L"\\ksolaunch.exe");
}

bool FindPerUserWps() {
    const std::wstring local = LocalAppData();
    if (local.empty()) return false;
    const std::wstring root = local + L"\\Kingsoft\\WPS Office";
    if (DrivePathText(root).empty() || !OnFixedDrive(root)) return false;
    if (ShowsWps(root)) return true;
    WIN32_FIND_DATAW entry = {};
    UniqueFindHandle search(FindFirstFileW((root + L"\\*").c_str(), &entry));
    if (!search) return false;
    do {
        const bool plainDirectory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                                    !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (plainDirectory && ParseDottedVersion(WideToUtf8(entry.cFileName), 1) &&
            ShowsWps(root + L"\\" + entry.cFileName)) {
            return true;
        }
    } while (FindNextFileW(search.get(), &entry));
    return false;
}

HostScan DiscoverHosts(const std::vector<REGSAM>& views) {
    int officeBits = 0;
    WpsRecord wps;
    for (HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        for (REGSAM view : views) ScanHive(hive, view, officeBits, wps);
    }
    HostScan scan;
    scan.wpsArchUnconfirmed = wps.bits == 0 && (wps.launcherFound || FindPerUserWps());
    scan.hostBits = wps.bits | officeBits;
    scan.hostEvidence = scan.hostBits != 0 || scan.wpsArchUnconfirmed;
    return scan;
}

}  // namespace quilmo
