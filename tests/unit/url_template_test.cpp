#include "manifest/url_template.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quilmo {
namespace {

const char kBase[] = "https://dl.example.cn/";
constexpr unsigned kSeed = 20250;

// Fills every '#' in pattern with the next std::rand() value after seeding,
// which is what the code under test draws after the same seed.
std::string WithDrawnNumbers(const std::string& pattern, std::vector<int>* drawn = nullptr) {
    std::srand(kSeed);
    std::string out;
    for (char c : pattern) {
        if (c != '#') {
            out += c;
            continue;
        }
        const int number = std::rand();
        if (drawn != nullptr) drawn->push_back(number);
        out += std::to_string(number);
    }
    return out;
}

struct ExpandCase {
    const char* name;
    const char* urlTemplate;
    const char* version;
    const char* base;
    const char* expected;  // '#' stands for the next seeded random number
};

class ExpandTable : public testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandTable, FillsPlaceholders) {
    const ExpandCase& c = GetParam();
    std::vector<int> drawn;
    const std::string expected = WithDrawnNumbers(c.expected, &drawn);
    // Two equal draws could not tell one number used twice from two numbers.
    if (drawn.size() == 2) {
        ASSERT_NE(drawn[0], drawn[1]);
    }
    std::srand(kSeed);
    EXPECT_EQ(ExpandUrlTemplate(c.urlTemplate, c.version, c.base), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandTable,
    testing::Values(
        ExpandCase{"BackslashAndTwoRandomNumbers", "[host]files\\a.dll?r=[rand]&s=[rand]", "3.2.0", kBase,
                   "https://dl.example.cn/files/a.dll?r=#&s=#"},
        ExpandCase{"HostVersionName", "[host][vision]/name", "3.2.0", kBase, "https://dl.example.cn/3.2.0/name"},
        ExpandCase{"NoPlaceholdersOnlySlashes", "https://mirror.example\\x\\y.dll?a=1", "3.2.0", kBase,
                   "https://mirror.example/x/y.dll?a=1"},
        ExpandCase{"EmptyVersionRemovesEveryVision", "[host]v[vision]/[vision]x[vision]", "", kBase,
                   "https://dl.example.cn/v/x"},
        ExpandCase{"VersionWithRandGetsNumber", "[host][vision].zip", "1.[rand]", kBase,
                   "https://dl.example.cn/1.#.zip"},
        ExpandCase{"VersionContainingVisionTerminates", "[host][vision]/[vision]", "[vision]", kBase,
                   "https://dl.example.cn/[vision]/[vision]"},
        ExpandCase{"BaseContainingHostTerminates", "[host]a/[host]", "", "https://x.example/[host]/",
                   "https://x.example/[host]/a/https://x.example/[host]/"},
        ExpandCase{"HostInVersionIsTooLate", "[vision]", "[host]", kBase, "[host]"},
        ExpandCase{"BackslashesFromVersionAndBase", "[host][vision]", "3\\2", "https:\\\\dl.example\\",
                   "https://dl.example/3/2"},
        ExpandCase{"PlaceholdersAreCaseSensitive", "[HOST][Vision][RAND][ran]d", "3.2.0", kBase,
                   "[HOST][Vision][RAND][ran]d"},
        ExpandCase{"NoPercentEncoding", "[host][vision]/a b%20.dll", "3 2\xE5\xA5\x8E", kBase,
                   "https://dl.example.cn/3 2\xE5\xA5\x8E/a b%20.dll"},
        ExpandCase{"EmptyTemplate", "", "3.2.0", kBase, ""}),
    [](const testing::TestParamInfo<ExpandCase>& info) { return info.param.name; });

TEST(ManifestUrl, IsInstallJsonWithRandomQuery) {
    for (const char* base : {"https://dl.example.cn/", "http://127.0.0.1:8080/quilmo/"}) {
        const std::string expected = WithDrawnNumbers(std::string(base) + "install.json?#");
        std::srand(kSeed);
        EXPECT_EQ(ManifestUrl(base), expected);
    }
}

const char kDigest[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

struct SignatureCase {
    const char* name;
    const char* base;
    const char* digest;
    std::vector<std::string> expected;  // '#' stands for the next seeded random number
};

class SignatureTable : public testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureTable, ListsMirrorsInOrder) {
    const SignatureCase& c = GetParam();
    std::vector<std::string> expected;
    for (const std::string& url : c.expected) expected.push_back(WithDrawnNumbers(url));
    std::srand(kSeed);
    EXPECT_EQ(SignatureUrls(c.base, c.digest), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignatureTable,
    testing::Values(
        SignatureCase{"DigestCopyFirst",
                      "https://sig.example.cn",
                      kDigest,
                      {std::string("https://sig.example.cn/manifest-sigs/") + kDigest + ".sig",
                       "https://sig.example.cn/install.json.sig?#"}},
        SignatureCase{"DigestLowerCased",
                      "https://sig.example.cn",
                      "0123456789ABCDEF0123456789abcdef0123456789AbCdEf0123456789ABCDEF",
                      {std::string("https://sig.example.cn/manifest-sigs/") + kDigest + ".sig",
                       "https://sig.example.cn/install.json.sig?#"}},
        SignatureCase{"TrailingSlashesStripped",
                      "https://sig.example.cn///",
                      kDigest,
                      {std::string("https://sig.example.cn/manifest-sigs/") + kDigest + ".sig",
                       "https://sig.example.cn/install.json.sig?#"}},
        SignatureCase{"ShortDigest",
                      "https://sig.example.cn/",
                      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcde",
                      {"https://sig.example.cn/install.json.sig?#"}},
        SignatureCase{"LongDigest",
                      "https://sig.example.cn",
                      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0",
                      {"https://sig.example.cn/install.json.sig?#"}},
        SignatureCase{"NonHexDigest",
                      "https://sig.example.cn",
                      "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdeg",
                      {"https://sig.example.cn/install.json.sig?#"}},
        SignatureCase{"NoDigest", "https://sig.example.cn", "", {"https://sig.example.cn/install.json.sig?#"}}),
    [](const testing::TestParamInfo<SignatureCase>& info) { return info.param.name; });

TEST(SignatureUrls, ManifestsOneByteApartUseDifferentCopies) {
    const std::string other = std::string(kDigest).substr(0, 63) + "e";
    const std::vector<std::string> first = SignatureUrls("https://sig.example.cn", kDigest);
    const std::vector<std::string> second = SignatureUrls("https://sig.example.cn", other);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_NE(first[0], second[0]);
}

}  // namespace
}  // namespace quilmo
