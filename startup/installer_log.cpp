#include "startup/installer_log.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>

#include "startup/paths.h"

namespace quilmo {

std::string FormatLogLine(const LogTime& time, const std::string& message) {
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "[%04d-%02d-%02d %02d:%02d:%02d] ", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
    std::string line(prefix);
    line += message;
    line += "\r\n";
    return line;
}

std::wstring InstallerLogPath() {
    std::wstring folder = ProductDataFolder();
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return folder + L"installer-auto.log";
}

void WriteLog(const std::string& message) {
    std::wstring path = InstallerLogPath();
    FILE* file = _wfopen(path.c_str(), L"ab");
    if (!file) return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::string line = FormatLogLine({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond}, message);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fclose(file);
}

void DeleteInstallerLog() { DeleteFileW(InstallerLogPath().c_str()); }

const char* LogBool(bool value) { return value ? "true" : "false"; }

}  // namespace quilmo
