// Download addresses: the manifest's URL templates and the signature mirrors.
#pragma once

#include <string>
#include <vector>

namespace quilmo {

// Fills in "[host]" (the download server, ending in "/"), "[vision]" (the
// release version) and "[rand]" (a fresh number per occurrence, so no proxy
// serves a stale copy), in that order, then turns backslashes into slashes.
std::string ExpandUrlTemplate(const std::string& urlTemplate, const std::string& version,
                              const std::string& downloadBaseUrl);

// The release manifest's address: "<base>install.json?<number>".
std::string ManifestUrl(const std::string& downloadBaseUrl);

// Where the manifest's detached signature is looked for, in order: the copy
// named after the manifest's SHA-256 (only when that digest is 64 hexadecimal
// digits), then the current one with a cache-busting number.
std::vector<std::string> SignatureUrls(const std::string& signatureBaseUrl, const std::string& manifestSha256Hex);

}  // namespace quilmo
