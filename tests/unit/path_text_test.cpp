#include "files/path_text.h"

#include <gtest/gtest.h>

#include <cwctype>

namespace quilmo {
namespace {

struct TextCase {
    std::wstring input;
    std::wstring expected;
};

struct PairCase {
    std::wstring a;
    std::wstring b;
    bool expected;
};

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

TEST(PathText, TrimPathRemovesQuotesAndWhitespaceAtBothEndsOnly) {
    const TextCase cases[] = {
        {L" \t\"C:\\a b\"\r\n ", L"C:\\a b"},
        {L"\"\"", L""},
        {L"x\"y", L"x\"y"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(TrimPath(c.input), c.expected) << c.input;
}

TEST(PathText, LowerInvariantAndComparisonsFoldBeyondAscii) {
    EXPECT_EQ(LowerInvariant(L"QUILMO\u00C4\u0416"), L"quilmo\u00E4\u0436");
    EXPECT_EQ(LowerInvariant(L""), L"");
    const PairCase equals[] = {
        {L"C:\\Quilmo2025", L"c:\\QUILMO2025", true},
        {L"C:\\\u00C4", L"c:\\\u00E4", true},
        {L"C:\\a", L"C:\\a\\", false},
        {L"C:\\a", L"C:\\b", false},
    };
    for (const auto& c : equals) EXPECT_EQ(PathEquals(c.a, c.b), c.expected) << c.a << L" vs " << c.b;
    const PairCase starts[] = {
        {L"C:\\Base\\x", L"c:\\base", true},
        {L"C:\\B", L"C:\\Base", false},
        {L"C:\\Base", L"", true},
        {L"C:\\Bx", L"C:\\Ba", false},
    };
    for (const auto& c : starts) EXPECT_EQ(PathStartsWith(c.a, c.b), c.expected) << c.a << L" / " << c.b;
}

TEST(PathText, ToLongPathFormPrefixesFromTwoHundredFortyCharacters) {
    const std::wstring drive239 = L"C:\\" + Repeat(L'a', 236);
    const std::wstring drive240 = L"C:\\" + Repeat(L'a', 237);
    const std::wstring unc240 = L"\\\\srv\\" + Repeat(L'b', 234);
    ASSERT_EQ(drive239.size(), 239u);
    ASSERT_EQ(drive240.size(), 240u);
    ASSERT_EQ(unc240.size(), 240u);
    const TextCase cases[] = {
        {drive239, drive239},
        {drive240, L"\\\\?\\" + drive240},
        {unc240, L"\\\\?\\UNC\\" + unc240.substr(2)},
        {L"\\\\?\\" + drive240, L"\\\\?\\" + drive240},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(ToLongPathForm(c.input), c.expected) << c.input.size();
}

TEST(PathText, ParentDirRawByText) {
    const TextCase cases[] = {
        {L"X:\\a", L"X:\\"},      {L"X:\\", L""},          {L"\\\\srv\\share", L"\\\\srv"},
        {L"X:\\a\\b", L"X:\\a"}, {L"abcd", L""},          {L"\\abc", L""},
        {L"X:", L""},            {L"X:\\a\\", L"X:\\a"},
    };
    for (const auto& c : cases) EXPECT_EQ(ParentDirRaw(c.input), c.expected) << c.input;
}

TEST(PathText, NormalizePathGivesTrimmedFullPaths) {
    const TextCase cases[] = {
        {L" \"X:\\A\\B\\\" ", L"X:\\A\\B"},
        {L"X:\\", L"X:\\"},
        {L"\\\\?\\X:\\A\\\\", L"X:\\A"},
        {L"\\\\?\\unc\\srv\\share\\d", L"\\\\srv\\share\\d"},
        {L"X:/A/B", L"X:\\A\\B"},
        {L"X:\\A\\..\\B", L"X:\\B"},
        {L"", L""},
        {L" \" ", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(NormalizePath(c.input), c.expected) << c.input;
    EXPECT_EQ(NormalizePath(L"C:\\" + Repeat(L'x', 40000)), L"");
    const std::wstring longButValid = L"C:\\" + Repeat(L'y', 300);
    EXPECT_EQ(NormalizePath(longButValid), longButValid);
}

TEST(PathText, ParentDirNormalizedAndJoin) {
    const TextCase parents[] = {
        {L"X:\\Q\\Add.vsto", L"X:\\Q"},
        {L"\"X:/Q\"", L"X:\\"},
        {L"noslash", L""},
        {L"\\\\srv\\share\\a.vsto", L"\\\\srv\\share"},
    };
    for (const auto& c : parents) EXPECT_EQ(ParentDirNormalized(c.input), c.expected) << c.input;
    EXPECT_EQ(JoinPath(L"", L"a"), L"a");
    EXPECT_EQ(JoinPath(L"C:\\b\\\\", L"\\\\c"), L"C:\\b\\c");
    EXPECT_EQ(JoinPath(L"C:\\b", L""), L"C:\\b\\");
}

TEST(PathText, SamePathAndStrictlyInside) {
    const PairCase same[] = {
        {L"C:/A/", L"c:\\a", true},
        {L"C:\\a", L"C:\\ab", false},
        {L"C:\\", L"C:", true},
        {L"", L"\\", true},
    };
    for (const auto& c : same) EXPECT_EQ(SamePath(c.a, c.b), c.expected) << c.a << L" vs " << c.b;
    const PairCase inside[] = {
        {L"C:\\a", L"C:\\a\\b", true},
        {L"c:/A/", L"C:\\a\\b", true},
        {L"C:\\a", L"C:\\ab", false},
        {L"C:\\a", L"C:\\a\\", false},
        {L"C:\\a\\b", L"C:\\a", false},
        {L"", L"C:\\a", false},
    };
    for (const auto& c : inside) EXPECT_EQ(IsStrictlyInside(c.a, c.b), c.expected) << c.a << L" in? " << c.b;
}

TEST(PathText, PercentDecodeUtf8KeepsInvalidRunsAsBytes) {
    const TextCase cases[] = {
        {L"a%20b", L"a b"},
        {L"%E5%A5%8E%E5%A2%A8", L"\u594E\u58A8"},
        {L"%e5%a5%8e", L"\u594E"},
        {L"%FF%41", L"\u00FFA"},          // the whole run is not UTF-8
        {L"%E5%A5", L"\u00E5\u00A5"},     // cut short
        {L"%C0%AF", L"\u00C0\u00AF"},     // overlong
        {L"%ED%A0%80", L"\u00ED\u00A0\u0080"},  // a surrogate
        {L"%C3%A9x%41", L"\u00E9xA"},
        {L"100%", L"100%"},
        {L"%4", L"%4"},
        {L"%zz%2", L"%zz%2"},
    };
    for (const auto& c : cases) EXPECT_EQ(PercentDecodeUtf8(c.input), c.expected) << c.input;
}

TEST(PathText, ManifestValueToDirectoryHandlesTheThreeForms) {
    const TextCase cases[] = {
        {L"file:///X:/Program%20Files/Q/Add.vsto|vstolocal", L"X:\\Program Files\\Q"},
        {L" \"FILE:///X:/%E5%A5%8E/Add.vsto | vstolocal\"", L"X:\\\u594E"},
        {L"file://srv/share/a.vsto|vstolocal", L"\\\\srv\\share"},
        {L"X:\\Q\\Add.vsto|vstolocal", L"X:\\Q"},
        {L"X:\\Q%20R\\Add.vsto|vstolocal", L"X:\\Q%20R"},
        {L"|vstolocal", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(ManifestValueToDirectory(c.input), c.expected) << c.input;
}

bool IsLowerHex(const std::wstring& token) {
    if (token.size() != 16) return false;
    for (wchar_t c : token) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return false;
    }
    return true;
}

TEST(PathText, RandomHexTokenIsSixteenLowerHexDigits) {
    const std::wstring first = RandomHexToken();
    const std::wstring second = RandomHexToken();
    EXPECT_TRUE(IsLowerHex(first)) << first;
    EXPECT_TRUE(IsLowerHex(second)) << second;
    EXPECT_NE(first, second);
}

TEST(PathText, FallbackGeneratorMatchesTheReferenceSequence) {
    // Reference values of x -> x * 6364136223846793005 + 1442695040888963407
    // (mod 2^64), bits 24..31 after each of eight steps.
    EXPECT_EQ(LcgHexToken(0), L"f7842e7f62d04f3c");
    EXPECT_EQ(LcgHexToken(0x123456789abcdef0ULL), L"de75e01aeea1f14a");
    EXPECT_EQ(LcgHexToken(~0ULL), L"aa833cec0bbfaf04");
    // Two seeds taken in a row differ even within one tick.
    EXPECT_NE(FallbackTokenSeed(), FallbackTokenSeed());
}

}  // namespace
}  // namespace quilmo
