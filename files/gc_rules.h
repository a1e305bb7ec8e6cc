// The collector's plain rules: which directory names are version
// directories, which files are binaries, when a directory is old enough and
// how the summary line reads, with the counters it reports. No Windows headers, so the rules also build
// natively for fuzzing.
#pragma once

#include <cstdint>
#include <string>

namespace quilmo {

// Four digits, '.', digits, any ".digits" groups, then the end, or '-' and
// [A-Za-z0-9._-]+, or '_' and 4 to 16 hexadecimal digits; at least 6
// characters. Leftovers renamed for deletion (".__qmdel_") never match.
bool IsVersionDirectoryName(const std::wstring& name);

// Ends in .dll, .exe, .xll, .ocx, .sys or .cpl, in any case.
bool HasBinaryExtension(const std::wstring& path);

// A full path by its text: a drive letter, ':' and a separator, or two
// leading separators (a share or a "\\?\" path). Anything else would be
// resolved against the current directory, which says nothing about what a
// registration means.
bool IsAbsoluteWindowsPath(const std::wstring& path);

// Times in 100 ns units since 1601: old enough when latest is set, not in
// the future and at least 30 minutes before now.
constexpr uint64_t kGcMinimumAge = 18000000000ULL;
bool IsOldEnough(uint64_t latestTouch, uint64_t now);

struct GcResult {
    int32_t deleted = 0;
    int32_t protectedDirs = 0;  // "protected" in the summary line
    int32_t recent = 0;
    int32_t invalid = 0;
    int32_t locked = 0;
    int32_t unsafe = 0;
    int32_t migFail = 0;
    bool parentGateSkip = false;
    bool sharedAcl = false;
    bool lockBusy = false;
    bool protAbort = false;
};

// "old-version gc done: deleted=... parentGateSkip=..."
std::string FormatGcSummary(const GcResult& result);

}  // namespace quilmo
