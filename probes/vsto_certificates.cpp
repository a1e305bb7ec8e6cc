#include "probes/vsto_certificates.h"

#include "files/unique_handle.h"
#include "probes/vsto_rules.h"

namespace quilmo {

namespace {

const char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
const char* const kBasicConstraintsOids[] = {"2.5.29.19", "2.5.29.10"};
const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The whole deployment manifest, or empty when it is missing, empty, over
// 1 MiB or unreadable.
std::string ReadDeploymentManifest(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size)) return std::string();
    if (size.QuadPart < 1 || size.QuadPart > static_cast<LONGLONG>(kMaxVstoManifestBytes)) return std::string();
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()) {
        return std::string();
    }
    return bytes;
}

// The first basic-constraints extension found decides.
bool IsCaCertificate(PCCERT_CONTEXT certificate) {
    for (const char* oid : kBasicConstraintsOids) {
        PCERT_EXTENSION extension =
            CertFindExtension(oid, certificate->pCertInfo->cExtension, certificate->pCertInfo->rgExtension);
        if (extension == nullptr) continue;
        CERT_BASIC_CONSTRAINTS2_INFO info = {};
        DWORD size = sizeof info;
        return CryptDecodeObjectEx(kEncoding, X509_BASIC_CONSTRAINTS2, extension->Value.pbData,
                                   extension->Value.cbData, 0, nullptr, &info, &size) &&
               info.fCA;
    }
    return false;
}

bool IsCodeSigningCertificate(PCCERT_CONTEXT certificate) {
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size) || size == 0) return false;
    std::vector<BYTE> buffer(size);
    auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
    if (!CertGetEnhancedKeyUsage(certificate, 0, usage, &size)) return false;
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::string(usage->rgpszUsageIdentifier[i]) == kCodeSigningUsage) return true;
    }
    return false;
}

UniqueCertContext CertificateFrom(const std::vector<BYTE>& bytes) {
    return UniqueCertContext(
        CertCreateCertificateContext(kEncoding, bytes.data(), static_cast<DWORD>(bytes.size())));
}

void Count(bool added, int& success, int& failed) { ++(added ? success : failed); }

}  // namespace

bool DecodeBase64Certificate(const std::string& text, std::vector<BYTE>* bytes) {
    const std::string compact = CompactBase64Text(text);
    if (compact.empty()) return false;
    DWORD size = 0;
    if (!CryptStringToBinaryA(compact.c_str(), static_cast<DWORD>(compact.size()), CRYPT_STRING_BASE64, nullptr,
                              &size, nullptr, nullptr) ||
        size == 0) {
        return false;
    }
    bytes->assign(size, 0);
    if (!CryptStringToBinaryA(compact.c_str(), static_cast<DWORD>(compact.size()), CRYPT_STRING_BASE64,
                              bytes->data(), &size, nullptr, nullptr) ||
        size == 0) {
        return false;
    }
    bytes->resize(size);
    return true;
}

bool AddToSystemStores(PCCERT_CONTEXT certificate, const wchar_t* storeName) {
    bool added = false;
    for (DWORD location : {CERT_SYSTEM_STORE_CURRENT_USER, CERT_SYSTEM_STORE_LOCAL_MACHINE}) {
        UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, storeName));
        if (store && CertAddCertificateContextToStore(store.get(), certificate, CERT_STORE_ADD_REPLACE_EXISTING,
                                                      nullptr)) {
            added = true;
        }
    }
    return added;
}

CertificateImport ImportVstoPublisherCertificates(const std::wstring& versionDir) {
    CertificateImport result;
    const std::string manifest = ReadDeploymentManifest(versionDir + L"Quilmo2025.Word.vsto");
    if (manifest.empty()) {
        result.failed = 1;
        return result;
    }
    // A certificate that is neither CA nor code signing stands in for the
    // publisher when the manifest names no code-signing certificate.
    std::vector<BYTE> fallback;
    for (const std::string& text : ExtractX509Certificates(manifest)) {
        std::vector<BYTE> bytes;
        UniqueCertContext certificate;
        if (DecodeBase64Certificate(text, &bytes)) certificate = CertificateFrom(bytes);
        if (!certificate) {
            ++result.failed;
        } else if (IsCaCertificate(certificate.get())) {
            Count(AddToSystemStores(certificate.get(), L"CA"), result.ca, result.failed);
        } else if (IsCodeSigningCertificate(certificate.get())) {
            Count(AddToSystemStores(certificate.get(), L"TrustedPublisher"), result.publishers, result.failed);
        } else if (fallback.empty()) {
            fallback = bytes;
        }
    }
    if (result.publishers == 0 && !fallback.empty()) {
        UniqueCertContext certificate = CertificateFrom(fallback);
        Count(certificate && AddToSystemStores(certificate.get(), L"TrustedPublisher"), result.publishers,
              result.failed);
    }
    result.ok = result.publishers > 0;
    return result;
}

}  // namespace quilmo
