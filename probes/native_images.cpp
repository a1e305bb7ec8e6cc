#include "probes/native_images.h"

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "probes/runtime_probes.h"
#include "startup/installer_log.h"

#include <shlwapi.h>

#include <atomic>
#include <vector>

namespace quilmo {

namespace {

struct Generator {
    const wchar_t* relativePath;  // below the Windows directory
    const char* label;
};

const Generator kGenerators[] = {
    {L"\\Microsoft.NET\\Framework\\v4.0.30319\\ngen.exe", "x86"},
    {L"\\Microsoft.NET\\Framework64\\v4.0.30319\\ngen.exe", "x64"},
};

const char* const kComAssemblies[] = {"Library.dll", "Quilmo.Core.dll"};
const char* const kVstoAssemblies[] = {"Library.dll", "Quilmo2025.Word.dll", "Quilmo2025.Excel.dll",
                                       "Quilmo2025.PPT.dll"};

ULONGLONG WINAPI SystemTicks() { return GetTickCount64(); }

std::atomic<TickClockFn> tickClock{&SystemTicks};

uint64_t Now() { return tickClock.load()(); }

std::wstring WindowsDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(buffer, length);
}

std::vector<const char*> AssembliesFor(bool isComPayload) {
    if (isComPayload) return std::vector<const char*>(std::begin(kComAssemblies), std::end(kComAssemblies));
    return std::vector<const char*>(std::begin(kVstoAssemblies), std::end(kVstoAssemblies));
}

DWORD MillisecondsLeft(uint64_t deadline) {
    const uint64_t now = Now();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

void LogSubmissionResult(HANDLE process, DWORD wait, const std::string& logPrefix) {
    if (wait == WAIT_TIMEOUT) {
        WriteLog(logPrefix + " submission not confirmed before deadline");
        return;
    }
    DWORD exitCode = 0;
    if (wait != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &exitCode)) {
        WriteLog(logPrefix + " could not read submission result, error=" + std::to_string(GetLastError()));
        return;
    }
    if (exitCode != 0) {
        WriteLog(logPrefix + " submission failed, exit=" + std::to_string(exitCode));
        return;
    }
    WriteLog(logPrefix + " submission accepted");
}

}  // namespace

ScopedNativeImageClock::ScopedNativeImageClock(TickClockFn clock) : previous_(tickClock.exchange(clock)) {}
ScopedNativeImageClock::~ScopedNativeImageClock() { tickClock.store(previous_); }

bool IsWindows10OrLater() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 10;
    version.dwMinorVersion = 0;
    version.wServicePackMajor = 0;
    ULONGLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, condition) != FALSE;
}

void SubmitNativeImage(const std::wstring& generatorPath, const std::wstring& assemblyPath, uint64_t deadline,
                       const std::string& logPrefix) {
    std::wstring commandLine = L"\"" + generatorPath + L"\" install \"" + assemblyPath + L"\" /queue:3 /nologo";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(generatorPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &info)) {
        WriteLog(logPrefix + " launch failed, error=" + std::to_string(GetLastError()));
        return;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    thread.reset();
    // A generator still running at the deadline is left to finish on its own.
    const DWORD wait = WaitForSingleObject(process.get(), MillisecondsLeft(deadline));
    LogSubmissionResult(process.get(), wait, logPrefix);
}

void QueueNativeImages(const std::string& versionDir, bool vstoRestartNeeded, bool isComPayload) {
    if (!IsWindows10OrLater()) {
        WriteLog("ngen skipped: requires Windows 10 or later");
        return;
    }
    if (vstoRestartNeeded || !IsNetFramework48Installed()) {
        WriteLog("ngen skipped: .NET runtime not ready or restart required");
        return;
    }
    const std::wstring windowsDirectory = WindowsDirectory();
    if (windowsDirectory.empty()) {
        WriteLog("ngen skipped: Windows directory unavailable");
        return;
    }
    const uint64_t deadline = Now() + kNativeImageBudgetMs;
    const std::wstring wideVersionDir = Utf8ToWide(versionDir);
    for (const Generator& generator : kGenerators) {
        const std::wstring generatorPath = windowsDirectory + generator.relativePath;
        if (!PathFileExistsW(generatorPath.c_str())) continue;
        for (const char* assembly : AssembliesFor(isComPayload)) {
            if (Now() >= deadline) {
                WriteLog("ngen deadline reached; remaining submissions skipped");
                return;
            }
            const std::string logPrefix = std::string("ngen ") + generator.label + " " + assembly;
            const std::wstring assemblyPath = wideVersionDir + Utf8ToWide(assembly);
            if (!PathFileExistsW(assemblyPath.c_str())) {
                WriteLog(logPrefix + " skipped: assembly unavailable");
                continue;
            }
            SubmitNativeImage(generatorPath, assemblyPath, deadline, logPrefix);
        }
    }
}

}  // namespace quilmo
