// Text operations on paths and a random token for temporary names. The
// functions in the first group are plain text and build without Windows;
// the second group needs the system (case mapping, full-path resolution,
// random bytes) and lives in path_text_win.cpp.
#pragma once

#include <cstdint>
#include <string>

namespace quilmo {

// --- Plain text (path_text.cpp) ---

// Removes tab, LF, CR, space and '"' from both ends.
std::wstring TrimPath(const std::wstring& s);

// Paths of 240 characters or more get the "\\?\" (or "\\?\UNC\") prefix so
// path-based calls accept them; shorter ones are returned unchanged.
std::wstring ToLongPathForm(const std::wstring& s);

// The parent by text: a drive root for "X:\a", "" for "X:\" or a path of
// three characters or fewer, "\\srv" for "\\srv\share".
std::wstring ParentDirRaw(const std::wstring& s);

// base without trailing '\', one '\', child without leading '\'.
std::wstring JoinPath(const std::wstring& base, const std::wstring& child);

// Backslashes only, no trailing ones: the shape path comparisons and copies
// work on.
std::wstring WithoutTrailingSeparators(const std::wstring& s);

// '/' and '\' are the same, trailing '\' ignored, ASCII case ignored.
bool SamePath(const std::wstring& a, const std::wstring& b);

// inner lies below outer (a real child, never outer itself or "outerX").
bool IsStrictlyInside(const std::wstring& outer, const std::wstring& inner);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& bytes);

// Sixteen lower-case hexadecimal characters from eight bytes of the 64-bit
// linear congruential generator started at seed: the fallback when the
// system's random source is unavailable.
std::wstring LcgHexToken(uint64_t seed);

// The two halves of an Office add-in "Manifest" value before any decoding:
// kind 0 = plain path, 1 = "file:///" local, 2 = "file://" host share; rest
// is what follows the scheme (or the whole value).
struct ManifestLocation {
    int kind = 0;
    std::wstring rest;
};
ManifestLocation SplitManifestValue(const std::wstring& value);

// --- Needs Windows (path_text_win.cpp) ---

// Invariant-locale lower case; ASCII only when the system mapping fails.
std::wstring LowerInvariant(const std::wstring& s);
bool PathEquals(const std::wstring& a, const std::wstring& b);
bool PathStartsWith(const std::wstring& s, const std::wstring& prefix);

// Trimmed full path without "\\?\" and without trailing '\' (a drive root
// keeps its one); "" on failure or empty input.
std::wstring NormalizePath(const std::wstring& s);
std::wstring ParentDirNormalized(const std::wstring& s);

// Percent escapes decoded; runs that are not valid UTF-8 become one
// character per byte; a '%' without two hex digits stays as it is.
std::wstring PercentDecodeUtf8(const std::wstring& s);

// The directory an Office add-in "Manifest" value (".vsto|vstolocal") points into.
std::wstring ManifestValueToDirectory(const std::wstring& value);

// Sixteen lower-case hexadecimal characters for temporary names.
std::wstring RandomHexToken();

// The seed of the fallback generator: process id, tick count and a
// process-wide counter, so two calls never share a seed.
uint64_t FallbackTokenSeed();

}  // namespace quilmo
