// FetchManifest end to end: releases made by the publishing tool, served by
// the local release server, signed by the test publishers.
#include "manifest/manifest_fetch.h"

#include <windows.h>
#include "files/wincrypt_plain.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "startup/installer_log.h"
#include "support/log_reader.h"
#include "support/release_server.h"

namespace quilmo::test {
namespace {

const wchar_t kMismatch[] = L"更新清单数字签名校验失败（内容可能被篡改或与签名不匹配）。";
const wchar_t kMissing[] = L"更新清单签名文件（install.json.sig）缺失或下载失败，已拒绝继续安装。";
const wchar_t kUnreachable[] = L"无法连接到服务器，请检查网络连接。";
const wchar_t kCommand[] = L"更新清单包含未受信任的后置命令，已拒绝继续安装。";

std::string ReadState(const std::string& relativePath) {
    std::ifstream in(ReleaseServer::StatePath(relativePath).c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void TrustSigningRoot() {
    std::string der = ReadState("signing/ca.der");
    ASSERT_FALSE(der.empty());
    UniqueCertStore root(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    ASSERT_TRUE(root.valid());
    ASSERT_TRUE(CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING,
                                                 reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                 nullptr));
}

ExpectedSigner TestPublisher() {
    ExpectedSigner signer;
    signer.publisherName = kPublisherName;
    std::string pin = ReadState("signing/pin.txt");
    signer.pinnedKeyHash = pin.substr(0, 64);
    signer.pinIsSufficient = true;
    return signer;
}

ManifestSource SourceFor(const std::string& release) {
    std::string base = ReleaseServer::HttpsBase() + "trust/" + release + "/";
    return {base, base.substr(0, base.size() - 1)};
}

struct FetchCase {
    const char* release;
    bool accepted;
    std::wstring message;     // when refused
    int signatureIndex;       // of the "manifest sig fetched" line; -1: none
};

class FetchManifestCases : public testing::TestWithParam<FetchCase> {
protected:
    static void SetUpTestSuite() {
        TrustTestRootCa();
        TrustSigningRoot();
    }
    void SetUp() override {
        ReleaseServer::Script("{}");
        ReleaseServer::ClearRequests();
        DeleteInstallerLog();
    }
};

TEST_P(FetchManifestCases, AcceptsOnlyTheMakersSignature) {
    const FetchCase& c = GetParam();
    std::string manifest;
    std::wstring message;
    bool accepted = FetchManifestFrom(SourceFor(c.release), TestPublisher(), manifest, message);
    EXPECT_EQ(accepted, c.accepted) << WideToUtf8(message);
    if (c.accepted) {
        EXPECT_EQ(manifest, ReadState(std::string("www/trust/") + c.release + "/install.json"));
        EXPECT_EQ(message, L"");
    } else {
        EXPECT_EQ(manifest, "");
        EXPECT_EQ(WideToUtf8(message), WideToUtf8(c.message));
    }
    std::vector<std::string> log = LogMessages();
    if (c.signatureIndex < 0) {
        EXPECT_TRUE(log.empty());
        return;
    }
    ASSERT_EQ(log.size(), 1u);
    std::string expected = "manifest sig fetched from index=" + std::to_string(c.signatureIndex) + " url=" +
                           ReleaseServer::HttpsBase() + "trust/" + c.release +
                           (c.signatureIndex == 0 ? "/manifest-sigs/" : "/install.json.sig?");
    EXPECT_EQ(log[0].compare(0, expected.size(), expected), 0) << log[0];
}

std::wstring RejectedPublisher(const std::wstring& name) {
    return L"更新清单签名证书不受信任或发布者不匹配（发布者：" + name + L"）。";
}

INSTANTIATE_TEST_SUITE_P(
    Releases, FetchManifestCases,
    testing::Values(FetchCase{"good", true, L"", 0}, FetchCase{"noattr", true, L"", 0},
                    // The same signature as Base64 text, as published, with a
                    // byte-order mark, and on one line without PEM lines.
                    FetchCase{"b64pem", true, L"", 1}, FetchCase{"b64bom", true, L"", 1},
                    FetchCase{"b64flat", true, L"", 1},
                    // The pinned key alone carries a self-signed certificate.
                    FetchCase{"selfsigned", true, L"", 0},
                    // Another key: a trusted chain and the code-signing usage.
                    FetchCase{"otherkey", true, L"", 0},
                    FetchCase{"nocs", false, RejectedPublisher(kPublisherName), 0},
                    FetchCase{"renamed", false, RejectedPublisher(L"Other Software Co"), 0},
                    FetchCase{"tampered", false, kMismatch, 1}, FetchCase{"wrongfirst", false, kMismatch, 0},
                    FetchCase{"nosig", false, kMissing, -1}, FetchCase{"badcmd", false, kCommand, 0},
                    FetchCase{"goodcmd", true, L"", 0}, FetchCase{"no-such-release", false, kUnreachable, -1}),
    [](const testing::TestParamInfo<FetchCase>& info) {
        std::string name = info.param.release;
        for (char& ch : name) {
            if (ch == '-') ch = '_';
        }
        return name;
    });

TEST(FetchManifestRequests, WrongFirstSignatureIsFinal) {
    TrustTestRootCa();
    ReleaseServer::ClearRequests();
    std::string manifest;
    std::wstring message;
    EXPECT_FALSE(FetchManifestFrom(SourceFor("wrongfirst"), TestPublisher(), manifest, message));
    for (const ServerRequest& r : ReleaseServer::Requests()) {
        EXPECT_EQ(r.path.find("install.json.sig"), std::string::npos) << "the second signature was fetched";
    }
    EXPECT_EQ(ReleaseServer::Requests().size(), 2u);  // the manifest and its digest-named signature
}

TEST(FetchManifestRequests, TamperedManifestFallsBackToTheSecondSignatureUrl) {
    TrustTestRootCa();
    ReleaseServer::ClearRequests();
    std::string manifest;
    std::wstring message;
    EXPECT_FALSE(FetchManifestFrom(SourceFor("tampered"), TestPublisher(), manifest, message));
    std::vector<ServerRequest> requests = ReleaseServer::Requests();
    // Manifest once; the digest-named copy (absent: four attempts); the
    // current signature once.
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].path, "/trust/tampered/install.json");
    EXPECT_EQ(requests[1].path.find("/trust/tampered/manifest-sigs/"), 0u);
    EXPECT_EQ(requests[5].path, "/trust/tampered/install.json.sig");
}

}  // namespace
}  // namespace quilmo::test
