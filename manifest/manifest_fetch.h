// The only way a release manifest enters the installer: downloaded with its
// detached signature, accepted only from the maker's publisher, and with an
// allowed post-migration command.
#pragma once

#include <string>

#include "manifest/expected_signer.h"

namespace quilmo {

// Verified manifest bytes on success; a user-facing message on failure.
bool FetchManifest(std::string& manifest, std::wstring& message);

// The same from the given servers and signer (the build's own otherwise).
struct ManifestSource {
    std::string downloadBaseUrl;   // https origin ending in "/"
    std::string signatureBaseUrl;  // https origin
};
bool FetchManifestFrom(const ManifestSource& source, const ExpectedSigner& signer, std::string& manifest,
                       std::wstring& message);

bool VerifyManifestSignature(const std::string& manifest, const std::string& signatureFile,
                             const ExpectedSigner& signer, std::wstring& message);

// The detached signature as DER, from a raw DER file or Base64 text.
bool DecodeSignatureFile(const std::string& file, std::string& der);

// Whether the manifest's "Cmd" names the one program allowed to run after
// the switch-over (or nothing).
bool IsAllowedPostCommand(const std::string& command);

}  // namespace quilmo
