// The Authenticode decisions over the evidence WinVerifyTrust gives, for
// statuses and systems Wine cannot produce on demand, and the exact texts
// of the refusals.
#include "manifest/code_signing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/text_encoding.h"

namespace quilmo::test {
namespace {

constexpr LONG kValid = 0;
constexpr LONG kUntrustedRoot = static_cast<LONG>(0x800B0109);
constexpr LONG kNoSignature = static_cast<LONG>(0x800B0100);
constexpr LONG kBadDigest = static_cast<LONG>(0x80096010);
constexpr bool kWindows7 = false;
constexpr bool kWindows10 = true;

const wchar_t kPublisher[] = L"奎墨软件有限公司";
const char kKeyHash[] = "0F1E2D3C4B5A69788796A5B4C3D2E1F00F1E2D3C4B5A69788796A5B4C3D2E1F0";
const char kKeyHashLower[] = "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0";
const char kOtherKeyHash[] = "1111111111111111111111111111111111111111111111111111111111111111";

std::wstring ComponentRefusal(const std::wstring& status, const std::wstring& publisher) {
    return L"待执行组件 Authenticode 签名或发布者校验失败（状态码：" + status + L"，发布者：" + publisher + L"）。";
}

std::wstring MicrosoftRefusal(const std::wstring& status, const std::wstring& publisher) {
    return L"依赖安装器微软签名校验失败（状态码：" + status + L"，发布者：" + publisher + L"）。";
}

ExpectedSigner Signer(const std::wstring& name, const std::string& pin, bool pinIsSufficient) {
    ExpectedSigner signer;
    signer.publisherName = name;
    signer.pinnedKeyHash = pin;
    signer.pinIsSufficient = pinIsSufficient;
    return signer;
}

struct ComponentCase {
    const char* label;
    AuthenticodeEvidence evidence;
    ExpectedSigner signer;
    bool isWindows81OrLater;
    std::wstring refusal;  // empty: accepted
};

TEST(CodeSigningDecision, ComponentNeedsAValidChainAndTheNameOrOnOldWindowsThePinnedKey) {
    const ExpectedSigner pinned = Signer(kPublisher, kKeyHashLower, true);
    const ExpectedSigner ascii = Signer(L"Quilmo Test Co", kKeyHash, true);
    const std::vector<ComponentCase> cases = {
        {"valid, right name", {kValid, kPublisher, kKeyHash}, pinned, kWindows10, L""},
        {"valid, right name, other key", {kValid, kPublisher, kOtherKeyHash}, pinned, kWindows10, L""},
        {"valid, name in other case", {kValid, L"QUILMO test CO", kKeyHash}, ascii, kWindows10, L""},
        {"valid, no name required", {kValid, L"Anyone", ""}, Signer(L"", "", false), kWindows10, L""},
        {"valid, on old Windows", {kValid, kPublisher, kKeyHash}, pinned, kWindows7, L""},
        {"valid, wrong name, right key", {kValid, L"Other Software Co", kKeyHash}, pinned, kWindows10,
         ComponentRefusal(L"0x00000000", L"Other Software Co")},
        {"valid, name only a prefix", {kValid, L"Quilmo Test Co Ltd", kKeyHash}, ascii, kWindows10,
         ComponentRefusal(L"0x00000000", L"Quilmo Test Co Ltd")},
        {"valid, no name read", {kValid, L"", ""}, pinned, kWindows10, ComponentRefusal(L"0x00000000", L"<未知>")},
        {"untrusted root, old Windows, pin and name", {kUntrustedRoot, kPublisher, kKeyHash}, pinned, kWindows7, L""},
        {"untrusted root, Windows 8.1+", {kUntrustedRoot, kPublisher, kKeyHash}, pinned, kWindows10,
         ComponentRefusal(L"0x800B0109", kPublisher)},
        {"untrusted root, pin not sufficient", {kUntrustedRoot, kPublisher, kKeyHash},
         Signer(kPublisher, kKeyHash, false), kWindows7, ComponentRefusal(L"0x800B0109", kPublisher)},
        {"untrusted root, other key", {kUntrustedRoot, kPublisher, kOtherKeyHash}, pinned, kWindows7,
         ComponentRefusal(L"0x800B0109", kPublisher)},
        {"untrusted root, right key, wrong name", {kUntrustedRoot, L"Other Software Co", kKeyHash}, pinned,
         kWindows7, ComponentRefusal(L"0x800B0109", L"Other Software Co")},
        {"untrusted root, no pin and no key", {kUntrustedRoot, kPublisher, ""}, Signer(kPublisher, "", true),
         kWindows7, ComponentRefusal(L"0x800B0109", kPublisher)},
        {"bad digest, old Windows, pin and name", {kBadDigest, kPublisher, kKeyHash}, pinned, kWindows7,
         ComponentRefusal(L"0x80096010", kPublisher)},
        {"unsigned, old Windows", {kNoSignature, L"", ""}, pinned, kWindows7, ComponentRefusal(L"0x800B0100", L"<未知>")},
        {"status with small value", {1, kPublisher, kKeyHash}, pinned, kWindows10,
         ComponentRefusal(L"0x00000001", kPublisher)},
    };
    for (const ComponentCase& c : cases) {
        SCOPED_TRACE(c.label);
        std::wstring message = L"left over";
        EXPECT_EQ(DecideComponentSignature(c.evidence, c.signer, c.isWindows81OrLater, message), c.refusal.empty());
        EXPECT_EQ(WideToUtf8(message), WideToUtf8(c.refusal));
    }
}

struct MicrosoftCase {
    const char* label;
    LONG status;
    const wchar_t* commonName;
    bool isWindows81OrLater;
    std::wstring refusal;  // empty: accepted
};

TEST(CodeSigningDecision, MicrosoftNeedsItsNameInAValidSignatureOrExactlyOnOldWindows) {
    const std::vector<MicrosoftCase> cases = {
        {"valid, exact name", kValid, L"Microsoft Corporation", kWindows10, L""},
        {"valid, name inside another in other case", kValid, L"microsoft corporation (test)", kWindows10, L""},
        {"valid, name at the end", kValid, L"Test MICROSOFT CORPORATION", kWindows10, L""},
        {"valid, on old Windows", kValid, L"Microsoft Corporation", kWindows7, L""},
        {"valid, other company", kValid, L"Contoso Ltd", kWindows10, MicrosoftRefusal(L"0x00000000", L"Contoso Ltd")},
        {"valid, name cut short", kValid, L"Microsoft Corporatio", kWindows10,
         MicrosoftRefusal(L"0x00000000", L"Microsoft Corporatio")},
        {"valid, no name read", kValid, L"", kWindows10, MicrosoftRefusal(L"0x00000000", L"<未知>")},
        {"untrusted root, old Windows, exact name", kUntrustedRoot, L"Microsoft Corporation", kWindows7, L""},
        {"untrusted root, old Windows, name in other case", kUntrustedRoot, L"MICROSOFT corporation", kWindows7, L""},
        {"untrusted root, old Windows, name inside another", kUntrustedRoot, L"Microsoft Corporation (test)",
         kWindows7, MicrosoftRefusal(L"0x800B0109", L"Microsoft Corporation (test)")},
        {"untrusted root, Windows 8.1+", kUntrustedRoot, L"Microsoft Corporation", kWindows10,
         MicrosoftRefusal(L"0x800B0109", L"Microsoft Corporation")},
        {"bad digest, old Windows", kBadDigest, L"Microsoft Corporation", kWindows7,
         MicrosoftRefusal(L"0x80096010", L"Microsoft Corporation")},
        {"unsigned", kNoSignature, L"", kWindows10, MicrosoftRefusal(L"0x800B0100", L"<未知>")},
        {"unsigned, old Windows", kNoSignature, L"", kWindows7, MicrosoftRefusal(L"0x800B0100", L"<未知>")},
    };
    for (const MicrosoftCase& c : cases) {
        SCOPED_TRACE(c.label);
        AuthenticodeEvidence evidence;
        evidence.status = c.status;
        evidence.commonName = c.commonName;
        std::wstring message = L"left over";
        EXPECT_EQ(DecideMicrosoftSignature(evidence, c.isWindows81OrLater, message), c.refusal.empty());
        EXPECT_EQ(WideToUtf8(message), WideToUtf8(c.refusal));
    }
}

TEST(CodeSigningDecision, EmptyPathIsRefusedWithItsOwnMessage) {
    std::wstring message;
    EXPECT_FALSE(VerifyComponentSignature(L"", Signer(L"", "", false), message));
    EXPECT_EQ(WideToUtf8(message), WideToUtf8(L"待校验文件路径为空。"));
    EXPECT_FALSE(VerifyMicrosoftSignature(L"", message));
    EXPECT_EQ(WideToUtf8(message), WideToUtf8(L"依赖安装器路径为空。"));
}

}  // namespace
}  // namespace quilmo::test
