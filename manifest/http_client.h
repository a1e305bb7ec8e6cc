// Fetching one URL with a plain GET, into memory or into a file, through
// WinHTTP first and WinINet last. Failures are silent: the caller chooses
// what to tell the user. Only https:// URLs are accepted.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace quilmo {

extern const wchar_t kUserAgent[];  // "Quilmo-Installer/2026"

// The body of a successful GET; empty when every attempt failed. An empty
// body is a failure, and with requireManifestShape so is a body that does
// not look like a release manifest. A body longer than maxBytes fails its
// attempt like one cut short.
std::string FetchText(const std::string& url, bool requireManifestShape, uint64_t maxBytes);

// Writes the body of a successful GET to destinationPath. A failed attempt
// leaves no file behind; an empty body gives an empty file. With a listed
// size the body must have exactly that length, and fails as soon as it grows
// past it; without one it may not grow past the general cap on files.
bool DownloadFile(const std::string& url, const std::wstring& destinationPath,
                  const std::optional<uint64_t>& listedSize = std::nullopt);

class Sha256Stream;
// The same, and the SHA-256 (lower case) of exactly the bytes written to the
// file, computed on the stream's thread while the download runs. sha256 is
// empty when the download failed. Once *stop is set the download fails soon
// (after the read or request under way) and sends no further request.
bool DownloadFile(const std::string& url, const std::wstring& destinationPath, Sha256Stream& digest,
                  std::string& sha256, const std::optional<uint64_t>& listedSize = std::nullopt,
                  const std::atomic<bool>* stop = nullptr);

}  // namespace quilmo
