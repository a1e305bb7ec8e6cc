#include "manifest/manifest_fetch.h"

#include <cctype>

#include "build_constants.h"
#include "manifest/http_client.h"
#include "manifest/manifest_reader.h"
#include "manifest/sha256.h"
#include "manifest/signer_certificate.h"
#include "manifest/transfer_limits.h"
#include "manifest/url_template.h"
#include "startup/installer_log.h"

namespace quilmo {

const wchar_t kPublisherName[] = L"奎墨软件有限公司";

namespace {

const wchar_t kServerUnreachable[] = L"无法连接到服务器，请检查网络连接。";
const wchar_t kSignatureMissing[] = L"更新清单签名文件（install.json.sig）缺失或下载失败，已拒绝继续安装。";
const wchar_t kSignatureRejected[] = L"更新清单签名验证失败，已拒绝继续安装。";
const wchar_t kCommandRejected[] = L"更新清单包含未受信任的后置命令，已拒绝继续安装。";
const wchar_t kManifestEmpty[] = L"更新清单内容为空。";
const wchar_t kSignatureMalformed[] = L"更新清单签名格式无效（不是有效的 PKCS#7 / Base64 签名）。";
const wchar_t kSignatureMismatch[] = L"更新清单数字签名校验失败（内容可能被篡改或与签名不匹配）。";

constexpr char kAllowedPostCommand[] = "QMSetupHelper.exe";

std::string ToLower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsBase64TextByte(unsigned char c) {
    return std::isalnum(c) || c == '\t' || c == '\n' || c == '\r' || c == ' ' || c == '+' || c == '/' || c == '=';
}

// A file that starts like DER and is not text is used as it is.
bool LooksLikeRawDer(const std::string& file) {
    if (file.size() <= 15 || file[0] != 0x30) return false;
    size_t probe = file.size() < 32 ? file.size() : 32;
    for (size_t i = 0; i < probe; ++i) {
        if (!IsBase64TextByte(static_cast<unsigned char>(file[i]))) return true;
    }
    return false;
}

// Returns the first signature any of the URLs serves, and which one.
std::string FetchFirstSignature(const std::vector<std::string>& urls) {
    for (size_t i = 0; i < urls.size(); ++i) {
        std::string signature = FetchText(urls[i], false, CurrentTransferLimits().signatureBytes);
        if (signature.empty()) continue;
        WriteLog("manifest sig fetched from index=" + std::to_string(i) + " url=" + urls[i]);
        return signature;
    }
    return std::string();
}

}  // namespace

bool DecodeSignatureFile(const std::string& file, std::string& der) {
    der.clear();
    if (file.empty()) return false;
    if (LooksLikeRawDer(file)) {
        der = file;
        return true;
    }
    std::string text = file.compare(0, 3, "\xEF\xBB\xBF") == 0 ? file.substr(3) : file;
    der = DecodeBase64Any(text);
    if (der.size() <= 15 || der[0] != 0x30) {
        der.clear();
        return false;
    }
    return true;
}

bool VerifyManifestSignature(const std::string& manifest, const std::string& signatureFile,
                             const ExpectedSigner& signer, std::wstring& message) {
    message.clear();
    if (manifest.empty()) {
        message = kManifestEmpty;
        return false;
    }
    std::string der;
    if (!DecodeSignatureFile(signatureFile, der)) {
        message = kSignatureMalformed;
        return false;
    }
    SignerCertificate certificate = VerifyDetachedSignature(der, manifest);
    if (!certificate.Valid()) {
        message = kSignatureMismatch;
        return false;
    }
    if (!AcceptsManifestSigner(certificate, signer)) {
        message = PublisherRejectedMessage(certificate.CommonName());
        return false;
    }
    return true;
}

bool IsAllowedPostCommand(const std::string& command) {
    if (command.empty()) return true;
    if (command.find_first_of("\t \"&'/:;\\|") != std::string::npos) return false;
    return ToLower(command) == ToLower(kAllowedPostCommand);
}

bool FetchManifestFrom(const ManifestSource& source, const ExpectedSigner& signer, std::string& manifest,
                       std::wstring& message) {
    manifest.clear();
    message.clear();
    std::string body = FetchText(ManifestUrl(source.downloadBaseUrl), true, CurrentTransferLimits().manifestBytes);
    if (body.empty()) {
        message = kServerUnreachable;
        return false;
    }
    std::string signature = FetchFirstSignature(SignatureUrls(source.signatureBaseUrl, ToLower(Sha256OfBytes(body))));
    if (signature.empty()) {
        message = kSignatureMissing;
        return false;
    }
    if (!VerifyManifestSignature(body, signature, signer, message)) {
        if (message.empty()) message = kSignatureRejected;
        return false;
    }
    if (!IsAllowedPostCommand(GetManifestValue(body, "Cmd"))) {
        message = kCommandRejected;
        return false;
    }
    manifest = std::move(body);
    return true;
}

bool FetchManifest(std::string& manifest, std::wstring& message) {
    ExpectedSigner signer;
    signer.publisherName = kPublisherName;
    signer.pinnedKeyHash = kPinnedKeySha256;
    signer.pinIsSufficient = true;
    return FetchManifestFrom({kDownloadBaseUrl, kSignatureBaseUrl}, signer, manifest, message);
}

}  // namespace quilmo
