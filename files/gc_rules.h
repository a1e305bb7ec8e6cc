// The collector's plain rules: which directory names are version
// directories, which files are binaries, when a directory is old enough and
// how the summary line reads. No Windows headers, so the rules also build
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

// Times in 100 ns units since 1601: old enough when latest is set, not in
// the future and at least 30 minutes before now.
constexpr uint64_t kGcMinimumAge = 18000000000ULL;
bool IsOldEnough(uint64_t latestTouch, uint64_t now);

// "old-version gc done: deleted=... parentGateSkip=..."
struct GcResult;
std::string FormatGcSummary(const GcResult& result);

}  // namespace quilmo
