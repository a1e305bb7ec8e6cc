// The publisher certificates a VSTO deployment manifest embeds, imported so
// the legacy add-in loads from its folder without a trust prompt: CA
// certificates into "CA", the code-signing one into "TrustedPublisher".
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "files/wincrypt_plain.h"

namespace quilmo {

struct CertificateImport {
    int publishers = 0;  // added to "TrustedPublisher"
    int ca = 0;          // added to "CA"
    int failed = 0;      // undecodable, rejected or not added
    bool ok = false;     // at least one publisher was added
};

// Reads versionDir (with its trailing backslash) + "Quilmo2025.Word.vsto"
// when it holds 1 byte to 1 MiB, and imports what it embeds.
CertificateImport ImportVstoPublisherCertificates(const std::wstring& versionDir);

// The bytes of a base64 certificate text (blanks and line breaks allowed);
// false for an empty or undecodable text.
bool DecodeBase64Certificate(const std::string& text, std::vector<BYTE>* bytes);

// Adds the certificate to the named system store of the current user and
// of the machine; true when either took it.
bool AddToSystemStores(PCCERT_CONTEXT certificate, const wchar_t* storeName);

}  // namespace quilmo
