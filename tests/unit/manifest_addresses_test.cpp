// Where the manifest and its signature are fetched from, with the digest of
// the manifest's exact bytes computed by the system's SHA-256.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "build_constants.h"
#include "manifest/sha256.h"
#include "manifest/url_template.h"

namespace quilmo {
namespace {

bool IsDecimal(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

TEST(Sha256OfBytes, MatchesKnownDigestsInUpperCase) {
    EXPECT_EQ(Sha256OfBytes(""), "");
    EXPECT_EQ(Sha256OfBytes("abc"), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    // Embedded zero bytes are hashed like any other byte.
    EXPECT_NE(Sha256OfBytes(std::string("a\0b", 3)), Sha256OfBytes("a"));
    EXPECT_EQ(Sha256OfBytes(std::string("a\0b", 3)).size(), 64u);
}

TEST(ManifestAddresses, ManifestUrlCarriesAFreshNumber) {
    std::string url = ManifestUrl(kDownloadBaseUrl);
    std::string prefix = std::string(kDownloadBaseUrl) + "install.json?";
    ASSERT_EQ(url.compare(0, prefix.size(), prefix), 0) << url;
    EXPECT_TRUE(IsDecimal(url.substr(prefix.size()))) << url;
}

TEST(ManifestAddresses, SignatureNamedByTheManifestDigestComesFirst) {
    const std::string manifest = "{\"Vison\":\"3.2.0\",\"Files\":[{\"url\":\"[host]a\",\"path\":\"a\",\"hash\":\"\"}]}";
    std::string digest = Sha256OfBytes(manifest);
    std::vector<std::string> urls = SignatureUrls(kSignatureBaseUrl, digest);
    for (char& c : digest) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string base = kSignatureBaseUrl;
    while (!base.empty() && base.back() == '/') base.pop_back();
    ASSERT_EQ(urls.size(), 2u);
    EXPECT_EQ(urls[0], base + "/manifest-sigs/" + digest + ".sig");
    std::string current = base + "/install.json.sig?";
    ASSERT_EQ(urls[1].compare(0, current.size(), current), 0) << urls[1];
    EXPECT_TRUE(IsDecimal(urls[1].substr(current.size()))) << urls[1];

    std::string changed = manifest;
    changed[10] = '4';  // one byte different: "4.2.0"
    EXPECT_NE(SignatureUrls(kSignatureBaseUrl, Sha256OfBytes(changed))[0], urls[0]);
}

}  // namespace
}  // namespace quilmo
