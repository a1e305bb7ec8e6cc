// The certificate that signed a detached PKCS#7 signature, and the checks
// that decide whether it is the maker's publisher.
#pragma once

#include <windows.h>
#include "files/wincrypt_plain.h"

#include <string>

#include "files/unique_handle.h"
#include "manifest/expected_signer.h"

namespace quilmo {

// Base64 in any form CryptoAPI reads (bare or with PEM lines); empty when
// it is not Base64.
std::string DecodeBase64Any(const std::string& text);

// Subject common name ("2.5.4.3"); empty when the certificate has none.
std::wstring CertificateCommonName(PCCERT_CONTEXT certificate);
// Upper-case SHA-256 of the certificate's public key bits.
std::string CertificateKeyHash(PCCERT_CONTEXT certificate);

class SignerCertificate {
public:
    bool Valid() const { return certificate_.valid(); }
    PCCERT_CONTEXT Get() const { return certificate_.get(); }
    // The certificates the signature carried, for building the chain.
    HCERTSTORE MessageStore() const { return store_.get(); }
    std::wstring CommonName() const { return CertificateCommonName(certificate_.get()); }

private:
    friend SignerCertificate VerifyDetachedSignature(const std::string& der, const std::string& content);
    UniqueCryptMessage message_;
    UniqueCertStore store_;
    UniqueCertContext certificate_;
};

// The signer of `content` when the detached signature `der` verifies;
// an invalid certificate otherwise.
SignerCertificate VerifyDetachedSignature(const std::string& der, const std::string& content);

// Whether a valid signature's signer is the expected publisher: by name and
// pinned key, or by name, code-signing usage and a trusted chain.
bool AcceptsManifestSigner(const SignerCertificate& certificate, const ExpectedSigner& signer);

// The decision alone, for the facts gathered from a certificate.
struct SignerFacts {
    bool nameMatches = false;
    bool pinMatches = false;
};
template <typename ChainCheck>
bool DecideSigner(const SignerFacts& facts, const ExpectedSigner& signer, ChainCheck chainIsTrusted) {
    if (signer.pinIsSufficient && facts.pinMatches) return facts.nameMatches;
    return facts.nameMatches && chainIsTrusted();
}

bool NameMatches(const std::wstring& commonName, const std::wstring& expected);
bool PinMatches(const std::string& keyHash, const std::string& pinnedKeyHash);

// "更新清单签名证书不受信任或发布者不匹配（发布者：<name>）。"
std::wstring PublisherRejectedMessage(const std::wstring& commonName);

}  // namespace quilmo
