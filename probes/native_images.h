// Native images for the add-in's managed assemblies: at the end of an
// install the .NET Framework 4 generator (ngen.exe, 32-bit and 64-bit) is
// asked to queue them for background compilation. Best effort under one
// 2-second budget shared by all submissions; every outcome is a log line and
// none of them fails the install.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace quilmo {

constexpr uint64_t kNativeImageBudgetMs = 2000;

// versionDir (UTF-8) ends with a backslash. vstoRestartNeeded suppresses all
// submissions; isComPayload chooses the assembly list.
void QueueNativeImages(const std::string& versionDir, bool vstoRestartNeeded, bool isComPayload);

// Starts "generatorPath" install "assemblyPath" /queue:3 /nologo without a
// window and waits for it until deadline (a tick count in ms); logs the
// outcome after logPrefix ("ngen x64 Library.dll").
void SubmitNativeImage(const std::wstring& generatorPath, const std::wstring& assemblyPath, uint64_t deadline,
                       const std::string& logPrefix);

bool IsWindows10OrLater();

// The clock of the deadline (GetTickCount64 normally), replaceable by tests
// for the lifetime of the object.
using TickClockFn = ULONGLONG(WINAPI*)();
class ScopedNativeImageClock {
public:
    explicit ScopedNativeImageClock(TickClockFn clock);
    ~ScopedNativeImageClock();
    ScopedNativeImageClock(const ScopedNativeImageClock&) = delete;
    ScopedNativeImageClock& operator=(const ScopedNativeImageClock&) = delete;

private:
    TickClockFn previous_;
};

}  // namespace quilmo
