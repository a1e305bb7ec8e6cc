#include "manifest/code_signing.h"

#include <windows.h>
// WinTrust and CryptoAPI are delay-loaded, and wincrypt.h declares its
// functions dllimport, which on x86 makes calls jump through an import slot
// that only the loader fills, bypassing the delay-load stubs: declare them as
// plain functions. This must be the first inclusion of wincrypt.h here.
#pragma push_macro("DECLSPEC_IMPORT")
#undef DECLSPEC_IMPORT
#define DECLSPEC_IMPORT
#include "files/wincrypt_plain.h"
#include <wintrust.h>
#include <softpub.h>
#pragma pop_macro("DECLSPEC_IMPORT")

#include <cwchar>

#include "files/unique_handle.h"
#include "manifest/sha256.h"
#include "manifest/signer_certificate.h"
#include "manifest/windows_version.h"

namespace quilmo {

namespace {

const wchar_t kComponentPathEmpty[] = L"待校验文件路径为空。";
const wchar_t kInstallerPathEmpty[] = L"依赖安装器路径为空。";
const wchar_t kComponentRefused[] = L"待执行组件 Authenticode 签名或发布者校验失败（状态码：";
const wchar_t kMicrosoftRefused[] = L"依赖安装器微软签名校验失败（状态码：";
const wchar_t kMicrosoftName[] = L"Microsoft Corporation";

constexpr LONG kUntrustedRoot = CERT_E_UNTRUSTEDROOT;

// WinVerifyTrust keeps its verification state until a CLOSE call with the
// same data; this owner makes that call.
struct TrustStateTraits {
    using Type = WINTRUST_DATA*;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type data) noexcept {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data->dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, data);
    }
};
using UniqueTrustState = UniqueAny<TrustStateTraits>;

// The signer's own certificate, owned by the verification state.
PCCERT_CONTEXT SignerCertificateOf(HANDLE state) {
    if (state == nullptr) return nullptr;
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    if (provider == nullptr) return nullptr;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr) return nullptr;
    CRYPT_PROVIDER_CERT* certificate = WTHelperGetProvCertFromChain(signer, 0);
    return certificate == nullptr ? nullptr : certificate->pCert;
}

bool ContainsIgnoringCase(const std::wstring& text, const std::wstring& part) {
    if (part.size() > text.size()) return false;
    int length = static_cast<int>(part.size());
    for (size_t at = 0; at + part.size() <= text.size(); ++at) {
        if (CompareStringOrdinal(text.c_str() + at, length, part.c_str(), length, TRUE) == CSTR_EQUAL) return true;
    }
    return false;
}

std::wstring StatusText(LONG status) {
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"0x%08X", static_cast<unsigned>(status));
    return text;
}

std::wstring RefusalMessage(const wchar_t* lead, const AuthenticodeEvidence& evidence) {
    const std::wstring publisher = evidence.commonName.empty() ? L"<未知>" : evidence.commonName;
    return lead + StatusText(evidence.status) + L"，发布者：" + publisher + L"）。";
}

}  // namespace

AuthenticodeEvidence ReadAuthenticodeEvidence(const std::wstring& path) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    // Nothing is fetched from the network while deciding.
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    AuthenticodeEvidence evidence;
    evidence.status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    UniqueTrustState state(&data);
    // Read even when the status is not 0: the refusal names the signer, and
    // an untrusted root may still be acceptable by its pinned key.
    if (PCCERT_CONTEXT certificate = SignerCertificateOf(data.hWVTStateData)) {
        evidence.commonName = CertificateCommonName(certificate);
        evidence.keyHash = CertificateKeyHash(certificate);
    }
    return evidence;
}

bool DecideComponentSignature(const AuthenticodeEvidence& evidence, const ExpectedSigner& signer,
                              bool isWindows81OrLater, std::wstring& message) {
    message.clear();
    const bool nameMatches = NameMatches(evidence.commonName, signer.publisherName);
    if (evidence.status == 0 && nameMatches) return true;
    // Older systems may lack the root a valid chain ends in: the maker's own
    // pinned key stands in for it there, where the signer allows that.
    const bool pinnedKeyStandsIn = !isWindows81OrLater && evidence.status == kUntrustedRoot &&
                                   signer.pinIsSufficient && PinMatches(evidence.keyHash, signer.pinnedKeyHash);
    if (pinnedKeyStandsIn && nameMatches) return true;
    message = RefusalMessage(kComponentRefused, evidence);
    return false;
}

bool DecideMicrosoftSignature(const AuthenticodeEvidence& evidence, bool isWindows81OrLater, std::wstring& message) {
    message.clear();
    if (evidence.status == 0 && ContainsIgnoringCase(evidence.commonName, kMicrosoftName)) return true;
    // Older systems may lack Microsoft's newer roots; there the exact
    // publisher name is required instead.
    if (!isWindows81OrLater && evidence.status == kUntrustedRoot && NameMatches(evidence.commonName, kMicrosoftName)) {
        return true;
    }
    message = RefusalMessage(kMicrosoftRefused, evidence);
    return false;
}

bool VerifyComponentSignature(const std::wstring& path, const ExpectedSigner& signer, std::wstring& message) {
    if (path.empty()) {
        message = kComponentPathEmpty;
        return false;
    }
    return DecideComponentSignature(ReadAuthenticodeEvidence(path), signer, IsWindows81OrLater(), message);
}

bool VerifyMicrosoftSignature(const std::wstring& path, std::wstring& message) {
    if (path.empty()) {
        message = kInstallerPathEmpty;
        return false;
    }
    return DecideMicrosoftSignature(ReadAuthenticodeEvidence(path), IsWindows81OrLater(), message);
}

}  // namespace quilmo
