// What kind of add-in a downloaded version is, and whether it is complete
// enough to register. The rules are plain byte logic over facts the caller
// gathers (manifest paths, failed downloads, which files lie on disk, the
// bytes of a PE header), so they build and fuzz without Windows; the
// Windows-side wrappers that gather those facts are declared at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quilmo {

enum class PayloadMode : int { Com = 0, LegacyVsto = 1, InvalidCom = 2 };

// "com", "legacy-vsto" or "invalid-com", as the log writes it.
const char* PayloadModeName(PayloadMode mode);

struct PayloadCheck {
    PayloadMode mode = PayloadMode::InvalidCom;
    bool coreListed = false;
    bool coreConfigListed = false;
    bool libraryListed = false;
    bool libraryConfigListed = false;
    bool core32Listed = false;
    bool core64Listed = false;
    bool vstoListed = false;
    bool coreOnDisk = false;
    bool coreConfigOnDisk = false;
    bool libraryOnDisk = false;
    bool libraryConfigOnDisk = false;
    bool core32OnDisk = false;
    bool core64OnDisk = false;
    bool register32 = false;
    bool register64 = false;
    std::string detail;  // UTF-8; the verdict's message, shown to the user on failure
};

// File names as they lie in a version directory.
extern const char kCoreFileName[];       // "Quilmo.Core.dll"
extern const char kCore32FileName[];     // "ZUDodi32.dll"
extern const char kCore64FileName[];     // "REDero64.dll"

const uint16_t kMachineI386 = 0x14C;
const uint16_t kMachineAmd64 = 0x8664;

// A failed download that makes the version unusable: code, configuration
// and deployment files. The WebView2 bootstrapper never is, and the .NET
// Framework 4.8 bootstrapper only while the framework is missing.
bool IsCriticalPayloadFile(const std::string& path, bool net48Installed);

// Whether a file of this exact name lies in the version directory (as a
// file: a directory of that name does not count).
using FileOnDiskFn = std::function<bool(const std::string& fileName)>;

PayloadCheck ClassifyPayloadWith(const std::vector<std::string>& manifestPaths, const FileOnDiskFn& fileOnDisk,
                                 bool is64BitWindows, const std::vector<std::string>& failedPaths,
                                 bool net48Installed);

// Reads count bytes at offset into out; true only when all of them were read.
using ReadAtFn = std::function<bool(uint32_t offset, size_t count, unsigned char* out)>;

// The headers name a PE image for this machine: "MZ", a PE header offset in
// [64, 1048575], "PE\0\0" there, and the file header's machine field.
bool PeMachineMatchesWith(const ReadAtFn& readAt, uint16_t machine);

// Windows side: the on-disk facts from the target directory, and the PE
// header read from a file opened with full sharing.
PayloadCheck ClassifyPayload(const std::vector<std::string>& manifestPaths, const std::wstring& targetDir,
                             bool is64BitWindows, const std::vector<std::string>& failedPaths, bool net48Installed);
bool PeMachineMatches(const std::wstring& path, uint16_t machine);

}  // namespace quilmo
