// The Authenticode checks on real files through the Wine prefix's
// WinVerifyTrust: copies of one small program signed at test time by
// tests/signing/make_signed_files.sh with the signing PKI of the release
// server's state folder. The same tests run as a Windows 10 and as a
// Windows 7 program (QUILMO_EXPECT_WINDOWS).
#include "manifest/code_signing.h"

#include <windows.h>
#include "files/wincrypt_plain.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/windows_version.h"
#include "support/release_server.h"

namespace quilmo::test {
namespace {

constexpr LONG kValid = 0;
constexpr LONG kNoSignature = static_cast<LONG>(0x800B0100);
constexpr LONG kBadDigest = static_cast<LONG>(0x80096010);

const wchar_t kPublisher[] = L"奎墨软件有限公司";

// Statuses compared as text, so a failure shows them as Windows writes them.
std::string Hex(LONG status) {
    char text[16] = {};
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(status));
    return text;
}

bool ExpectOldWindows() {
    const char* expected = std::getenv("QUILMO_EXPECT_WINDOWS");
    return expected != nullptr && std::string(expected) == "win7";
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::wstring SignedFile(const std::string& name) { return ReleaseServer::StatePath("signed/" + name); }

// The pin as make_signing_pki.sh wrote it, in upper case like the computed hash.
std::string PublisherPin() {
    std::string pin = ReadFileBytes(ReleaseServer::StatePath("signing/pin.txt"));
    while (!pin.empty() && std::isspace(static_cast<unsigned char>(pin.back()))) pin.pop_back();
    for (char& c : pin) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return pin;
}

std::wstring ComponentRefusal(const std::wstring& status, const std::wstring& publisher) {
    return L"待执行组件 Authenticode 签名或发布者校验失败（状态码：" + status + L"，发布者：" + publisher + L"）。";
}

std::wstring MicrosoftRefusal(const std::wstring& status, const std::wstring& publisher) {
    return L"依赖安装器微软签名校验失败（状态码：" + status + L"，发布者：" + publisher + L"）。";
}

UniqueCertStore OpenMachineRoot() {
    return UniqueCertStore(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
}

std::string SigningRootDer() { return ReadFileBytes(ReleaseServer::StatePath("signing/ca.der")); }

// The signing PKI's root in the machine "Root" store, so its chains are trusted.
bool TrustSigningRoot() {
    std::string der = SigningRootDer();
    UniqueCertStore root = OpenMachineRoot();
    return !der.empty() && root &&
           CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                            static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                            nullptr);
}

bool DistrustSigningRoot() {
    std::string der = SigningRootDer();
    UniqueCertStore root = OpenMachineRoot();
    if (der.empty() || !root) return false;
    UniqueCertContext parsed(CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size())));
    if (!parsed) return false;
    PCCERT_CONTEXT stored = CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                       parsed.get(), nullptr);
    // CertDeleteCertificateFromStore frees the context it is given.
    return stored != nullptr && CertDeleteCertificateFromStore(stored);
}

class CodeSigning : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(ReadFileBytes(SignedFile("signed-publisher.exe")).empty())
            << "no signed files: run tests/signing/make_signed_files.sh";
        ASSERT_TRUE(TrustSigningRoot()) << "cannot add the signing root: " << GetLastError();
        pin_ = PublisherPin();
        ASSERT_EQ(pin_.size(), 64u);
    }
    // Whatever a test removed, the others find the root trusted again.
    void TearDown() override { EXPECT_TRUE(TrustSigningRoot()); }

    ExpectedSigner Publisher(bool pinIsSufficient = true) const {
        ExpectedSigner signer;
        signer.publisherName = kPublisher;
        signer.pinnedKeyHash = pin_;
        signer.pinIsSufficient = pinIsSufficient;
        return signer;
    }

    std::string pin_;
};

enum class Key { kNone, kPublishers, kOther };

struct EvidenceCase {
    const char* file;
    LONG status;
    const wchar_t* commonName;
    Key key;
};

// Wine's WinVerifyTrust checks the image hash but does not get to judging
// the chain: a root in no store still gives 0 there, where Windows gives
// 0x800B0109. The rule for that status is proven on the decision alone.
TEST_F(CodeSigning, EvidenceGivesTheStatusTheSignerNameAndItsKeyHash) {
    const std::vector<EvidenceCase> cases = {
        {"signed-publisher.exe", kValid, kPublisher, Key::kPublishers},
        {"signed-renamed.exe", kValid, L"Other Software Co", Key::kPublishers},
        {"signed-otherkey_cs.exe", kValid, kPublisher, Key::kOther},
        {"signed-microsoft.exe", kValid, L"Microsoft Corporation", Key::kOther},
        {"signed-selfsigned.exe", kValid, kPublisher, Key::kPublishers},
        // The hash is compared before the signer is read.
        {"tampered.exe", kBadDigest, L"", Key::kNone},
        {"unsigned.exe", kNoSignature, L"", Key::kNone},
    };
    for (const EvidenceCase& c : cases) {
        SCOPED_TRACE(c.file);
        AuthenticodeEvidence evidence = ReadAuthenticodeEvidence(SignedFile(c.file));
        EXPECT_EQ(Hex(evidence.status), Hex(c.status));
        EXPECT_EQ(WideToUtf8(evidence.commonName), WideToUtf8(c.commonName));
        EXPECT_EQ(evidence.keyHash.size(), c.key == Key::kNone ? 0u : 64u);
        EXPECT_EQ(evidence.keyHash == pin_, c.key == Key::kPublishers);
    }
}

struct ComponentCase {
    const char* file;
    std::wstring refusal;  // empty: accepted
};

TEST_F(CodeSigning, ComponentIsAcceptedOnlyFromThePublisher) {
    const std::vector<ComponentCase> cases = {
        {"signed-publisher.exe", L""},
        // The chain is trusted: another key under the right name is the
        // publisher's too.
        {"signed-otherkey_cs.exe", L""},
        {"signed-renamed.exe", ComponentRefusal(L"0x00000000", L"Other Software Co")},
        {"unsigned.exe", ComponentRefusal(L"0x800B0100", L"<未知>")},
        {"tampered.exe", ComponentRefusal(L"0x80096010", L"<未知>")},
    };
    for (const ComponentCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::wstring message = L"left over";
        EXPECT_EQ(VerifyComponentSignature(SignedFile(c.file), Publisher(), message), c.refusal.empty());
        EXPECT_EQ(WideToUtf8(message), WideToUtf8(c.refusal));
    }
}

struct MicrosoftCase {
    const char* file;
    std::wstring refusal;  // empty: accepted
};

TEST_F(CodeSigning, MicrosoftInstallerIsAcceptedOnlyFromMicrosoft) {
    const std::vector<MicrosoftCase> cases = {
        {"signed-microsoft.exe", L""},
        {"signed-contoso.exe", MicrosoftRefusal(L"0x00000000", L"Contoso Ltd")},
        {"signed-publisher.exe", MicrosoftRefusal(L"0x00000000", kPublisher)},
        {"unsigned.exe", MicrosoftRefusal(L"0x800B0100", L"<未知>")},
        {"tampered.exe", MicrosoftRefusal(L"0x80096010", L"<未知>")},
    };
    for (const MicrosoftCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::wstring message = L"left over";
        EXPECT_EQ(VerifyMicrosoftSignature(SignedFile(c.file), message), c.refusal.empty());
        EXPECT_EQ(WideToUtf8(message), WideToUtf8(c.refusal));
    }
}

// An untrusted root as Wine reports it (status 0, see above), on Windows 10
// and Windows 7 alike: the name still decides, and the pin-only allowance
// of old Windows is never reached.
TEST_F(CodeSigning, UntrustedRootIsJudgedByTheStatusWineReturns) {
    ASSERT_EQ(IsWindows81OrLater(), !ExpectOldWindows()) << "the program does not run as the Windows version expected";
    ExpectedSigner noPin = Publisher(false);
    noPin.pinnedKeyHash.clear();
    std::wstring message = L"left over";
    EXPECT_EQ(Hex(ReadAuthenticodeEvidence(SignedFile("signed-selfsigned.exe")).status), Hex(kValid));
    EXPECT_TRUE(VerifyComponentSignature(SignedFile("signed-selfsigned.exe"), noPin, message));
    EXPECT_EQ(message, L"");

    ASSERT_TRUE(DistrustSigningRoot()) << GetLastError();
    EXPECT_EQ(Hex(ReadAuthenticodeEvidence(SignedFile("signed-microsoft.exe")).status), Hex(kValid));
    EXPECT_TRUE(VerifyMicrosoftSignature(SignedFile("signed-microsoft.exe"), message));
    EXPECT_EQ(message, L"");
    EXPECT_FALSE(VerifyMicrosoftSignature(SignedFile("signed-contoso.exe"), message));
    EXPECT_EQ(WideToUtf8(message), WideToUtf8(MicrosoftRefusal(L"0x00000000", L"Contoso Ltd")));
}

}  // namespace
}  // namespace quilmo::test
