// Reading values and the file list out of a manifest text. The manifest is
// searched as bytes, not parsed: it is only trusted after its signature has
// been checked, and every file entry is checked again here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quilmo {

// The value after the first occurrence of the quoted key anywhere in the text
// (nested objects and string values included): a string value unescaped, a
// bare value (number, true, null, ...) as written. Empty when absent or
// malformed.
std::string GetManifestValue(const std::string& manifest, const std::string& key);

// Undoes the JSON escapes the manifest uses; "\uXXXX" is dropped, not decoded.
std::string UnescapeJsonString(const std::string& raw);

struct ManifestFileEntry {
    std::string url;   // expanded download address
    std::string path;  // relative to the version directory, backslash-separated
    std::string hash;  // SHA-256, 64 hexadecimal digits
    std::optional<uint64_t> size;  // the file's length in bytes, when listed as one
};

// The entries of the manifest's "Files" (or "files") list, in order. Elements
// without a url or path are skipped. False when an element names an unsafe
// path or a malformed hash: the whole release is refused then, entries is
// left empty, and badPath/badHash hold that element's values for the log.
// An element's "size" is taken when it is a decimal byte count and ignored
// otherwise (as all other keys are), so url, path and hash read the same
// with or without it.
bool ReadFileEntries(const std::string& manifest, const std::string& version, const std::string& downloadBaseUrl,
                     std::vector<ManifestFileEntry>& entries, std::string& badPath, std::string& badHash);

// A path that stays inside the version directory and that Windows holds
// under exactly this name: not empty, no drive or stream colon, no "..", not
// a UNC or otherwise doubly rooted path; and no component that is empty or
// ".", ends with a dot or a blank, holds a control character or one of
// < > " | ? *, or is a device name (CON, AUX, COM1, ...) with or without an
// extension.
bool IsSafeRelativePath(const std::string& path);

// The listed size: 1 to 19 decimal digits and nothing else (a number
// written bare or as a string); false for anything else.
bool ParseListedSize(const std::string& text, uint64_t& size);

// Exactly 64 hexadecimal digits, either case.
bool IsSha256Hex(const std::string& hash);

}  // namespace quilmo
