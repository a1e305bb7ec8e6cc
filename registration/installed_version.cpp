#include "registration/installed_version.h"

#include <shellapi.h>

#include <vector>

#include "build_constants.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"

namespace quilmo {

namespace {

constexpr DWORD kVersionFileMaxBytes = 127;
constexpr DWORD kEstimatedSizeKb = 28045;
constexpr wchar_t kPublisher[] = L"奎墨工作室";

std::wstring TrimBlanks(const std::wstring& text, bool quotesToo) {
    auto trimmed = [quotesToo](wchar_t c) { return c == L' ' || c == L'\t' || (quotesToo && c == L'"'); };
    size_t first = 0;
    while (first < text.size() && trimmed(text[first])) ++first;
    size_t last = text.size();
    while (last > first && trimmed(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::wstring FullPathName(const std::wstring& path) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    DWORD written = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (written == 0 || written >= buffer.size()) return path;
    return std::wstring(buffer.data(), written);
}

bool IsDriveRoot(const std::wstring& path) { return path.size() == 3 && path[1] == L':' && path[2] == L'\\'; }

bool IsExistingDirectory(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Up to 127 bytes of the file, empty when it cannot be opened or read.
std::string ReadVersionFileBytes(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    char bytes[kVersionFileMaxBytes] = {};
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes, kVersionFileMaxBytes, &read, nullptr)) return std::string();
    return std::string(bytes, read);
}

std::wstring LastComponent(const std::wstring& directory) {
    size_t at = directory.find_last_of(L"\\/");
    return at == std::wstring::npos ? directory : directory.substr(at + 1);
}

// A value of an open key; empty when the key or the value is missing.
std::wstring ReadValueOf(HKEY hive, const wchar_t* path, const wchar_t* name) {
    UniqueRegKey key;
    if (RegOpenKeyExW(hive, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return std::wstring();
    std::wstring text;
    GetRegString(key.get(), name, &text);
    return text;
}

struct InstallRecord {
    std::wstring displayVersion;
    std::wstring installLocation;
    std::wstring managedDir;
};

InstallRecord ReadInstallRecord() {
    InstallRecord record;
    UniqueRegKey uninstall;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_READ, uninstall.put()) == ERROR_SUCCESS) {
        GetRegString(uninstall.get(), L"DisplayVersion", &record.displayVersion);
        GetRegString(uninstall.get(), L"InstallLocation", &record.installLocation);
    }
    record.managedDir = ReadValueOf(HKEY_CURRENT_USER, kQuilmoCoreKey, kManagedDirValue);
    return record;
}

// "ManagedDir" wins when it names another existing directory: the COM
// registration, not the Uninstall entry, says what Office loads.
std::wstring ChooseInstalledDirectory(const InstallRecord& record) {
    if (record.installLocation.empty()) return record.managedDir;
    if (!record.managedDir.empty() && !SameFullPath(record.managedDir, record.installLocation) &&
        IsExistingDirectory(record.managedDir)) {
        return record.managedDir;
    }
    return record.installLocation;
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

std::wstring NormalizeFullPath(const std::wstring& path) {
    std::wstring text = TrimBlanks(path, true);
    if (text.empty()) return text;
    for (wchar_t& c : text) {
        if (c == L'/') c = L'\\';
    }
    text = FullPathName(text);
    while (!text.empty() && text.back() == L'\\' && !IsDriveRoot(text)) text.pop_back();
    return text;
}

bool SameFullPath(const std::wstring& a, const std::wstring& b) {
    std::wstring left = NormalizeFullPath(a);
    std::wstring right = NormalizeFullPath(b);
    return !left.empty() && !right.empty() && _wcsicmp(left.c_str(), right.c_str()) == 0;
}

bool ReadVersionFromDirectory(const std::wstring& directory, std::string* version) {
    version->clear();
    std::wstring dir = directory;
    while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
    if (dir.empty()) return false;
    std::string fromFile = FirstLineOfVersionFile(ReadVersionFileBytes(dir + L"\\app.version"));
    if (IsValidVersion(fromFile)) {
        *version = fromFile;
        return true;
    }
    std::string fromName = WideToUtf8(LastComponent(dir));
    if (!IsValidVersion(fromName)) return false;
    *version = fromName;
    return true;
}

InstalledVersion FindInstalledVersion() {
    InstallRecord record = ReadInstallRecord();
    std::wstring directory = ChooseInstalledDirectory(record);
    InstalledVersion installed;
    installed.directory = WideToUtf8(directory);
    std::string displayVersion = WideToUtf8(TrimBlanks(record.displayVersion, false));
    if (IsValidVersion(displayVersion) && !record.installLocation.empty() &&
        SameFullPath(directory, record.installLocation)) {
        installed.version = displayVersion;
    } else if (!directory.empty()) {
        ReadVersionFromDirectory(directory, &installed.version);
    }
    installed.found = !installed.version.empty();
    return installed;
}

std::string ReadInstallBaseLocation() {
    return WideToUtf8(ReadValueOf(HKEY_CURRENT_USER, kUninstallKey, L"InstallBaseLocation"));
}

void WriteUninstallEntry(const std::string& version, const std::string& displayName, const std::string& targetPath,
                         const std::string& basePath) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    const std::wstring target = Utf8ToWide(targetPath);
    const std::wstring base = basePath.empty() ? target : Utf8ToWide(basePath);
    const DWORD estimatedSize = kEstimatedSizeKb;
    SetString(key.get(), L"DisplayName", Utf8ToWide(displayName));
    SetString(key.get(), L"DisplayIcon", target + L"logo.ico");
    SetString(key.get(), L"Publisher", kPublisher);
    SetString(key.get(), L"UninstallString", target + L"Uninstall.exe");
    SetString(key.get(), L"InstallLocation", target);
    SetString(key.get(), L"InstallBaseLocation", base);
    SetString(key.get(), L"DisplayVersion", Utf8ToWide(version));
    RegSetValueExW(key.get(), L"EstimatedSize", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&estimatedSize),
                   sizeof(estimatedSize));
    SetString(key.get(), L"URLInfoAbout", Utf8ToWide(kHomeUrl));
}

void RunLegacyUninstallerWith(ShellExecuteFn shellExecute) {
    std::wstring location = ReadValueOf(HKEY_CURRENT_USER, kLegacyUninstallKey, L"InstallLocation");
    if (location.empty()) return;
    const std::wstring batch = location + L"_uninstall.bat";
    shellExecute(nullptr, L"open", L"explorer.exe", batch.c_str(), nullptr, SW_HIDE);
}

void RunLegacyUninstaller() { RunLegacyUninstallerWith(ShellExecuteW); }

}  // namespace quilmo
