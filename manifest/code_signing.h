// Authenticode checks for the programs the installer is about to run: the
// maker's own post-migration program and Microsoft's prerequisite
// bootstrappers (.NET Framework 4.8, WebView2).
#pragma once

#include <windows.h>

#include <string>

#include "manifest/expected_signer.h"

namespace quilmo {

// Whether the file carries a valid signature of the expected publisher; a
// user-facing message on refusal.
bool VerifyComponentSignature(const std::wstring& path, const ExpectedSigner& signer, std::wstring& message);

// Whether the file carries a valid signature of Microsoft Corporation; a
// user-facing message on refusal.
bool VerifyMicrosoftSignature(const std::wstring& path, std::wstring& message);

// What WinVerifyTrust says about one file, and who signed it.
struct AuthenticodeEvidence {
    LONG status = 0;          // WinVerifyTrust's result; 0: valid and chained to a trusted root
    std::wstring commonName;  // the signer certificate's subject CN; empty: none
    std::string keyHash;      // upper-case SHA-256 of its public key bits; empty: none
};

AuthenticodeEvidence ReadAuthenticodeEvidence(const std::wstring& path);

// The decisions alone, for evidence however obtained. The message is set on
// refusal and left empty on acceptance.
bool DecideComponentSignature(const AuthenticodeEvidence& evidence, const ExpectedSigner& signer,
                              bool isWindows81OrLater, std::wstring& message);
bool DecideMicrosoftSignature(const AuthenticodeEvidence& evidence, bool isWindows81OrLater, std::wstring& message);

}  // namespace quilmo
