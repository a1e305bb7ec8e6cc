#include "manifest/signer_certificate.h"

#include <cstring>
#include <cwchar>
#include <memory>

#include "manifest/sha256.h"

namespace quilmo {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
// End certificate revocation from the local cache only: nothing is fetched.
constexpr DWORD kChainFlags = CERT_CHAIN_REVOCATION_CHECK_END_CERT | CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY |
                              CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;

bool HasCodeSigningUsage(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size) || size == 0) return false;
    std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.get());
    if (!CertGetEnhancedKeyUsage(certificate, 0, usage, &size)) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], kCodeSigningUsage) == 0) return true;
    }
    return false;
}

bool ChainIsTrustedForAuthenticode(PCCERT_CONTEXT certificate, HCERTSTORE extraStore) {
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof(chainPara);
    UniqueCertChain chain;
    if (!CertGetCertificateChain(nullptr, certificate, nullptr, extraStore, &chainPara, kChainFlags, nullptr,
                                 chain.put())) {
        return false;
    }
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    policyPara.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain.get(), &policyPara, &status) &&
           status.dwError == 0;
}

UniqueCertStore OpenMessageStore(const std::string& der, UniqueCryptMessage& message) {
    message.reset(CryptMsgOpenToDecode(kEncoding, CMSG_DETACHED_FLAG, 0, 0, nullptr, nullptr));
    if (!message) return UniqueCertStore();
    if (!CryptMsgUpdate(message.get(), reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                        TRUE)) {
        return UniqueCertStore();
    }
    return UniqueCertStore(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.get()));
}

}  // namespace

std::string DecodeBase64Any(const std::string& text) {
    DWORD size = 0;
    if (text.empty() || !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64_ANY,
                                              nullptr, &size, nullptr, nullptr)) {
        return std::string();
    }
    std::string decoded(size, '\0');
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64_ANY,
                              reinterpret_cast<BYTE*>(&decoded[0]), &size, nullptr, nullptr)) {
        return std::string();
    }
    decoded.resize(size);
    return decoded;
}

std::wstring CertificateCommonName(PCCERT_CONTEXT certificate) {
    if (certificate == nullptr) return std::wstring();
    wchar_t name[512] = {};
    DWORD length = CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name,
                                      512);
    return length < 2 ? std::wstring() : std::wstring(name);
}

std::string CertificateKeyHash(PCCERT_CONTEXT certificate) {
    if (certificate == nullptr) return std::string();
    const CRYPT_BIT_BLOB& key = certificate->pCertInfo->SubjectPublicKeyInfo.PublicKey;
    return Sha256OfBytes(std::string(reinterpret_cast<const char*>(key.pbData), key.cbData));
}

SignerCertificate VerifyDetachedSignature(const std::string& der, const std::string& content) {
    SignerCertificate result;
    CRYPT_VERIFY_MESSAGE_PARA para = {};
    para.cbSize = sizeof(para);
    para.dwMsgAndCertEncodingType = kEncoding;
    const BYTE* contents[] = {reinterpret_cast<const BYTE*>(content.data())};
    DWORD sizes[] = {static_cast<DWORD>(content.size())};
    PCCERT_CONTEXT signer = nullptr;
    if (!CryptVerifyDetachedMessageSignature(&para, 0, reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()), 1, contents, sizes, &signer)) {
        if (signer != nullptr) CertFreeCertificateContext(signer);
        return result;
    }
    result.certificate_.reset(signer);
    // Without the carried certificates the chain is built from the system
    // stores alone.
    result.store_ = OpenMessageStore(der, result.message_);
    return result;
}

bool NameMatches(const std::wstring& commonName, const std::wstring& expected) {
    return expected.empty() || _wcsicmp(commonName.c_str(), expected.c_str()) == 0;
}

bool PinMatches(const std::string& keyHash, const std::string& pinnedKeyHash) {
    return !pinnedKeyHash.empty() && _stricmp(keyHash.c_str(), pinnedKeyHash.c_str()) == 0;
}

bool AcceptsManifestSigner(const SignerCertificate& certificate, const ExpectedSigner& signer) {
    SignerFacts facts;
    facts.nameMatches = NameMatches(certificate.CommonName(), signer.publisherName);
    facts.pinMatches = PinMatches(CertificateKeyHash(certificate.Get()), signer.pinnedKeyHash);
    return DecideSigner(facts, signer, [&] {
        return HasCodeSigningUsage(certificate.Get()) &&
               ChainIsTrustedForAuthenticode(certificate.Get(), certificate.MessageStore());
    });
}

std::wstring PublisherRejectedMessage(const std::wstring& commonName) {
    return L"更新清单签名证书不受信任或发布者不匹配（发布者：" + (commonName.empty() ? L"<未知>" : commonName) + L"）。";
}

}  // namespace quilmo
