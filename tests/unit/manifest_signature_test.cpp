// Reading signature files and judging signers, where real signatures are
// not needed to show the rule.
#include <gtest/gtest.h>

#include <string>

#include "manifest/manifest_fetch.h"
#include "manifest/signer_certificate.h"

namespace quilmo {
namespace {

const wchar_t kMalformed[] = L"更新清单签名格式无效（不是有效的 PKCS#7 / Base64 签名）。";
const wchar_t kMismatch[] = L"更新清单数字签名校验失败（内容可能被篡改或与签名不匹配）。";

// "0" followed by bytes no Base64 text has: DER by the first byte.
const std::string kBinaryDer = std::string("0\x82\x01\x00\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02\xa0\x82", 17);
// Base64 of 0x30 and 17 more bytes.
const std::string kBase64Der = "MIIBAAYJKoZIhvcNAQcCoII=";

struct DecodeCase {
    const char* name;
    std::string file;
    bool decoded;
    std::string der;  // when decoded
};

class DecodeSignatureTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeSignatureTable, TellsDerFromBase64) {
    std::string der;
    EXPECT_EQ(DecodeSignatureFile(GetParam().file, der), GetParam().decoded);
    EXPECT_TRUE(der == GetParam().der) << "decoded " << der.size() << " bytes";
}

const std::string kDecodedDer = std::string("0\x82\x01\x00\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x07\x02\xa0\x82", 17);

INSTANTIATE_TEST_SUITE_P(
    Cases, DecodeSignatureTable,
    testing::Values(
        DecodeCase{"Empty", "", false, ""},
        DecodeCase{"RawDer", kBinaryDer, true, kBinaryDer},
        DecodeCase{"Base64", kBase64Der, true, kDecodedDer},
        DecodeCase{"Base64WithBom", "\xEF\xBB\xBF" + kBase64Der, true, kDecodedDer},
        DecodeCase{"Base64WithPemLines", "-----BEGIN PKCS7-----\n" + kBase64Der + "\n-----END PKCS7-----\n", true,
                   kDecodedDer},
        DecodeCase{"Base64WithLineBreaks", "MIIBAAYJKoZI\r\nhvcNAQcCoII=\r\n", true, kDecodedDer},
        // Starts with "0" but is all Base64 text: decoded as Base64, whose
        // first byte is then not a DER sequence.
        DecodeCase{"TextStartingWithZero", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", false, ""},
        DecodeCase{"ShortRawDer", std::string("0\x82\x01\x00\x06", 5), false, ""},
        DecodeCase{"Base64OfTooFewBytes", "MIIBAAYJ", false, ""},
        DecodeCase{"Base64OfNonSequence", "QUJDREVGR0hJSktMTU5PUFFSU1RVVldY", false, ""},
        DecodeCase{"Garbage", "%%%% not a signature %%%%", false, ""}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return info.param.name; });

TEST(VerifyManifestSignature, EndsInTheStepThatFailed) {
    ExpectedSigner signer;
    std::wstring message;
    EXPECT_FALSE(VerifyManifestSignature("", kBase64Der, signer, message));
    EXPECT_EQ(message, L"更新清单内容为空。");
    EXPECT_FALSE(VerifyManifestSignature("{}", "garbage", signer, message));
    EXPECT_EQ(message, kMalformed);
    EXPECT_FALSE(VerifyManifestSignature("{}", "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcd", signer, message));
    EXPECT_EQ(message, kMalformed);
    // Decodes, but is no PKCS#7 message: the content check fails.
    EXPECT_FALSE(VerifyManifestSignature("{}", kBinaryDer, signer, message));
    EXPECT_EQ(message, kMismatch);
    // Oversized text of Base64 characters: read as Base64, not a signature.
    EXPECT_FALSE(VerifyManifestSignature("{}", std::string(70000, '0') + "\x01", signer, message));
    EXPECT_EQ(message, kMalformed);
}

struct CommandCase {
    const char* command;
    bool allowed;
};

class PostCommandTable : public testing::TestWithParam<CommandCase> {};

TEST_P(PostCommandTable, AllowsOnlyTheMigrationProgram) {
    EXPECT_EQ(IsAllowedPostCommand(GetParam().command), GetParam().allowed) << GetParam().command;
}

INSTANTIATE_TEST_SUITE_P(Cases, PostCommandTable,
                         testing::Values(CommandCase{"", true}, CommandCase{"QMSetupHelper.exe", true},
                                         CommandCase{"qmsetuphelper.EXE", true},
                                         CommandCase{"QMSetupHelper.exe /quiet", false},
                                         CommandCase{"bin\\QMSetupHelper.exe", false},
                                         CommandCase{"bin/QMSetupHelper.exe", false},
                                         CommandCase{"C:QMSetupHelper.exe", false},
                                         CommandCase{"QMSetupHelper.exe;calc", false},
                                         CommandCase{"QMSetupHelper.exe&calc", false},
                                         CommandCase{"QMSetupHelper.exe|calc", false},
                                         CommandCase{"\"QMSetupHelper.exe\"", false},
                                         CommandCase{"'QMSetupHelper.exe'", false},
                                         CommandCase{"QMSetupHelper.exe\t", false},
                                         CommandCase{"QMSetupHelper.bat", false}, CommandCase{"calc.exe", false}));

struct SignerCase {
    const char* name;
    bool nameMatches;
    bool pinMatches;
    bool pinIsSufficient;
    bool chainTrusted;
    bool accepted;
    bool chainConsulted;
};

class SignerDecisionTable : public testing::TestWithParam<SignerCase> {};

TEST_P(SignerDecisionTable, NameWithPinOrTrustedChain) {
    const SignerCase& c = GetParam();
    ExpectedSigner signer;
    signer.pinIsSufficient = c.pinIsSufficient;
    bool consulted = false;
    bool accepted = DecideSigner(SignerFacts{c.nameMatches, c.pinMatches}, signer, [&] {
        consulted = true;
        return c.chainTrusted;
    });
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_EQ(consulted, c.chainConsulted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignerDecisionTable,
    testing::Values(SignerCase{"PinnedKeyRightName", true, true, true, false, true, false},
                    SignerCase{"PinnedKeyOtherName", false, true, true, true, false, false},
                    SignerCase{"OtherKeyTrustedChain", true, false, true, true, true, true},
                    SignerCase{"OtherKeyUntrusted", true, false, true, false, false, true},
                    SignerCase{"OtherKeyOtherName", false, false, true, true, false, false},
                    SignerCase{"PinNotSufficientNeedsChain", true, true, false, false, false, true},
                    SignerCase{"PinNotSufficientTrusted", true, true, false, true, true, true}),
    [](const testing::TestParamInfo<SignerCase>& info) { return info.param.name; });

TEST(SignerChecks, NamesAndPinsCompareWithoutCase) {
    EXPECT_TRUE(NameMatches(L"Other Software Co", L""));
    EXPECT_TRUE(NameMatches(L"contoso LTD", L"Contoso Ltd"));
    EXPECT_FALSE(NameMatches(L"Contoso Ltd.", L"Contoso Ltd"));
    EXPECT_FALSE(NameMatches(L"", L"Contoso Ltd"));
    EXPECT_TRUE(PinMatches("ABCDEF", "abcdef"));
    EXPECT_FALSE(PinMatches("ABCDEF", ""));
    EXPECT_FALSE(PinMatches("", ""));
    EXPECT_EQ(PublisherRejectedMessage(L""), L"更新清单签名证书不受信任或发布者不匹配（发布者：<未知>）。");
}

}  // namespace
}  // namespace quilmo
