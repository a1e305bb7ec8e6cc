#include "manifest/manifest_reader.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/entry_path_table.h"

namespace quilmo {
namespace {

// ---- GetManifestValue ----

struct ValueCase {
    const char* name;
    std::string text;
    const char* key;
    std::string expected;
};

class ValueTable : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueTable, ReadsFirstOccurrence) {
    const ValueCase& c = GetParam();
    EXPECT_EQ(GetManifestValue(c.text, c.key), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValueTable,
    testing::Values(
        ValueCase{"Utf8String", R"({"AppName":"奎墨","Vison":"3.2.0"})", "AppName", "奎墨"},
        ValueCase{"Absent", R"({"AppName":"x"})", "Vison", ""},
        ValueCase{"EmptyString", R"({"Cmd":""})", "Cmd", ""},
        ValueCase{"NestedObjectComesFirst", R"({"Files":[{"Vison":"old"}],"Vison":"new"})", "Vison", "old"},
        ValueCase{"KeyAsAnotherKeysValue", R"({"Label":"Vison","Other":"9","Vison":"3.2.0"})", "Vison", "9"},
        ValueCase{"LongerKeysDoNotMatch", R"({"Visons":"1","xVison":"2","Vison":"3"})", "Vison", "3"},
        ValueCase{"EscapesUndone", R"({"Cmd":"C:\\dir\/a \"b\""})", "Cmd", "C:\\dir/a \"b\""},
        ValueCase{"BareNumber", R"({"Size": 12.50,"x":1})", "Size", "12.50"},
        ValueCase{"BareNull", R"({"Cmd":null})", "Cmd", "null"},
        ValueCase{"BareStopsAtBlank", R"({"a":12 34})", "a", "12"},
        ValueCase{"BareStopsAtComma", R"({"a":true,"b":1})", "a", "true"},
        ValueCase{"BareStopsAtBrace", R"({"a":-1})", "a", "-1"},
        ValueCase{"BareStopsAtBracket", R"([{"a":7]})", "a", "7"},
        ValueCase{"BareRunsToEnd", R"("a":42)", "a", "42"},
        ValueCase{"BareKeptAsWritten", R"({"a":x\ny})", "a", "x\\ny"},
        ValueCase{"BareEmptyBeforeComma", R"({"a":,"b":1})", "a", ""},
        ValueCase{"EscapedBackslashRunsToNextQuote", R"({"a":"dir\\","b":"x"})", "a", "dir\\\","},
        ValueCase{"EscapedBackslashNoLaterQuote", R"({"a":"dir\\"})", "a", ""},
        ValueCase{"UnterminatedString", R"({"a":"abc)", "a", ""},
        ValueCase{"MissingColon", R"({"a" "b"})", "a", ""},
        ValueCase{"ColonFurtherOn", R"({"a","b":"c"})", "a", "c"},
        ValueCase{"KeyAtEndOfText", R"({"x":1,"a")", "a", ""},
        ValueCase{"NothingAfterColon", "{\"a\": \t", "a", ""},
        ValueCase{"EveryBlankAfterColon", "{\"a\": \t\r\n\v\f\"v\"}", "a", "v"},
        ValueCase{"BlanksBeforeBareValue", "{\"a\":\v\f7}", "a", "7"}),
    [](const testing::TestParamInfo<ValueCase>& info) { return info.param.name; });

// ---- UnescapeJsonString ----

struct UnescapeCase {
    const char* name;
    std::string raw;
    std::string expected;
};

class UnescapeTable : public testing::TestWithParam<UnescapeCase> {};

TEST_P(UnescapeTable, UndoesManifestEscapes) {
    const UnescapeCase& c = GetParam();
    EXPECT_EQ(UnescapeJsonString(c.raw), c.expected) << c.raw;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnescapeTable,
    testing::Values(UnescapeCase{"Empty", "", ""}, UnescapeCase{"Quote", R"(a\"b)", "a\"b"},
                    UnescapeCase{"Slash", R"(a\/b)", "a/b"}, UnescapeCase{"Backslash", R"(a\\b)", "a\\b"},
                    UnescapeCase{"EscapedBackslashThenN", R"(\\n)", "\\n"},
                    UnescapeCase{"EscapedBackslashThenQuote", R"(\\\")", "\\\""},
                    UnescapeCase{"ControlCharacters", R"(\n\r\t)", "\n\r\t"},
                    UnescapeCase{"UnicodeDropped", R"(a\u4e2Db)", "ab"},
                    UnescapeCase{"UnicodeDroppedWhateverFollows", R"(\uZZ"\x)", "x"},
                    UnescapeCase{"UnicodeAtEnd", R"(x\u0041)", "x"},
                    UnescapeCase{"UnicodeThreeBytes", R"(x\u004)", "xu004"},
                    UnescapeCase{"UnicodeNoBytes", R"(x\u)", "xu"},
                    UnescapeCase{"UnicodeShortKeepsRestAsWritten", R"(\u\n)", "u\\n"},
                    UnescapeCase{"OtherEscapesKept", R"(\b\f\x)", "\\b\\f\\x"},
                    UnescapeCase{"KeptEscapeThenRealOne", R"(\q\n)", "\\q\n"},
                    UnescapeCase{"TrailingBackslash", R"(ab\)", "ab\\"},
                    UnescapeCase{"Utf8PassesThrough", "奎墨\xF0\x9F\x98\x80", "奎墨\xF0\x9F\x98\x80"}),
    [](const testing::TestParamInfo<UnescapeCase>& info) { return info.param.name; });

// ---- IsSafeRelativePath / IsSha256Hex ----

struct PathCase {
    const char* name;
    const char* path;
    bool safe;
};

class SafePathTable : public testing::TestWithParam<PathCase> {};

TEST_P(SafePathTable, KeepsFilesInsideVersionDirectory) {
    EXPECT_EQ(IsSafeRelativePath(GetParam().path), GetParam().safe) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SafePathTable,
    testing::Values(PathCase{"Name", "a.dll", true}, PathCase{"Nested", "bin\\x64\\a.dll", true},
                    PathCase{"DotsInName", "a.b.c.dll", true}, PathCase{"OneLeadingBackslash", "\\bin\\a.dll", true},
                    PathCase{"OneLeadingSlash", "/a.dll", true},
                    PathCase{"Empty", "", false}, PathCase{"ParentStep", "..\\evil.dll", false},
                    PathCase{"ParentStepInside", "bin\\..\\..\\evil.dll", false},
                    PathCase{"TwoDotsInName", "a..dll", false}, PathCase{"DriveLetter", "C:\\evil.dll", false},
                    PathCase{"StreamColon", "bin\\a.dll:payload", false},
                    PathCase{"UncPath", "\\\\server\\share\\a.dll", false},
                    PathCase{"TwoSlashes", "//server/a.dll", false},
                    PathCase{"SlashBackslash", "/\\a.dll", false},
                    PathCase{"BackslashSlash", "\\/a.dll", false},
                    PathCase{"TwoSeparatorsOnly", "\\\\", false}),
    [](const testing::TestParamInfo<PathCase>& info) { return info.param.name; });

const char kHash[] = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";

TEST(IsSha256Hex, NeedsExactly64HexDigits) {
    EXPECT_TRUE(IsSha256Hex(kHash));
    EXPECT_TRUE(IsSha256Hex("9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08"));
    const std::string hash = kHash;
    for (const std::string& bad : {std::string(), hash.substr(1), hash + "0", hash.substr(1) + "g",
                                   hash.substr(1) + " ", " " + hash.substr(1), hash.substr(1) + '\0'}) {
        EXPECT_FALSE(IsSha256Hex(bad)) << '"' << bad << '"';
    }
}

// ---- ReadFileEntries ----

const char kBase[] = "https://dl.example.cn/";

std::string Element(const std::string& url, const std::string& path, const std::string& hash = kHash) {
    return R"({"url":")" + url + R"(","path":")" + path + R"(","hash":")" + hash + R"("})";
}

std::string Manifest(const std::string& list) {
    return R"({"AppName":"奎墨","AppDes":"d","Vison":"3.2.0","Cmd":"","Files":[)" + list + "]}";
}

struct ReadResult {
    bool ok = false;
    std::vector<ManifestFileEntry> entries;
    std::string badPath;
    std::string badHash;
};

ReadResult Read(const std::string& manifest, const std::string& version = "3.2.0") {
    ReadResult r;
    r.ok = ReadFileEntries(manifest, version, kBase, r.entries, r.badPath, r.badHash);
    return r;
}

std::vector<std::string> PathsOf(const std::vector<ManifestFileEntry>& entries) {
    std::vector<std::string> paths;
    for (const ManifestFileEntry& e : entries) paths.push_back(e.path);
    return paths;
}

TEST(ReadFileEntries, ReadsEntriesInOrderWithExpandedUrls) {
    const std::string upperHash = "9F86D081884C7D659A2FEAA0C55AD015A3BF4F1B2B0B822CD15D6C15B0F00A08";
    ReadResult r = Read(Manifest(Element("[host]files/[vision]/a.dll", "bin/x64/a.dll") + ",\r\n  " +
                                 Element("https://cdn.example\\\\[vision]\\\\b.dll", "b.dll", upperHash)),
                        "3.2.1");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].url, "https://dl.example.cn/files/3.2.1/a.dll");
    EXPECT_EQ(r.entries[0].path, "bin\\x64\\a.dll");
    EXPECT_EQ(r.entries[0].hash, kHash);
    EXPECT_EQ(r.entries[1].url, "https://cdn.example/3.2.1/b.dll");
    EXPECT_EQ(r.entries[1].path, "b.dll");
    EXPECT_EQ(r.entries[1].hash, upperHash);
    EXPECT_TRUE(r.badPath.empty());
    EXPECT_TRUE(r.badHash.empty());
}

TEST(ReadFileEntries, ReplacesWhatTheCallerPassedIn) {
    std::vector<ManifestFileEntry> entries{{"u", "p", kHash, std::nullopt}};
    std::string badPath = "old", badHash = "old";
    EXPECT_TRUE(ReadFileEntries(Manifest(Element("[host]a", "a")), "1", kBase, entries, badPath, badHash));
    EXPECT_EQ(PathsOf(entries), std::vector<std::string>{"a"});
    EXPECT_EQ(badPath, "");
    EXPECT_EQ(badHash, "");
}

struct ListCase {
    const char* name;
    std::string manifest;
    std::vector<std::string> paths;  // of the entries read, in order
};

class ListTable : public testing::TestWithParam<ListCase> {};

TEST_P(ListTable, WalksTheList) {
    const ListCase& c = GetParam();
    ReadResult r = Read(c.manifest);
    EXPECT_TRUE(r.ok) << r.badPath;
    EXPECT_EQ(PathsOf(r.entries), c.paths) << c.manifest;
}

const std::string kA = Element("[host]a.dll", "a.dll");
const std::string kB = Element("[host]b.dll", "b.dll");
// Keys need no commas between them; without any, the walk's look for the
// next ',' or ']' cannot land inside this element.
const std::string kC = R"({"url":"https://mirror.example.cn/c.dll" "path":"c.dll" "hash":")" + std::string(kHash) + "\"}";

INSTANTIATE_TEST_SUITE_P(
    Cases, ListTable,
    testing::Values(
        ListCase{"NoFilesKey", R"({"AppName":"x"})", {}},
        ListCase{"NoList", R"({"Files":)", {}},
        ListCase{"EmptyList", Manifest(""), {}},
        ListCase{"LowerCaseKey", R"({"files":[)" + kA + "]}", {"a.dll"}},
        ListCase{"CapitalisedKeyPreferred", R"({"files":[)" + kA + R"(],"Files":[)" + kB + "]}", {"b.dll"}},
        ListCase{"WithoutUrlSkipped", Manifest(R"({"path":"x.dll","hash":"zz"},)" + kA), {"a.dll"}},
        ListCase{"WithoutPathSkipped", Manifest(R"({"url":"[host]x","hash":"zz"},)" + kA), {"a.dll"}},
        ListCase{"NestedObjectInsideElement",
                 Manifest(R"({"url":"[host]n","meta":{"k":{"j":1}},"path":"n.dll","hash":")" + std::string(kHash) +
                          "\"}," + kB),
                 {"n.dll", "b.dll"}},
        ListCase{"StopsAtClosingBracket", R"({"Files":[)" + kA + R"(],"Extra":[)" + kB + "]}", {"a.dll"}},
        ListCase{"ElementWithoutCommas", Manifest(kC + "," + kA), {"c.dll", "a.dll"}},
        ListCase{"BracketBeforeCommaEndsList", R"({"Files":[)" + kA + " " + kC + R"(],"x":1})", {"a.dll"}},
        ListCase{"NoCommaNoBracketGoesOn", R"({"Files":[)" + kA + kC, {"a.dll", "c.dll"}},
        // A '}' inside a string closes the element early: the entry is lost and
        // the walk resumes at the next comma.
        ListCase{"ClosingBraceInStringLosesEntry",
                 Manifest(Element("[host]a}b.dll", "a.dll") + "," + kB),
                 {"b.dll"}},
        // A '{' inside a string keeps the element open into the next one, which
        // is swallowed; the first occurrence of each key wins.
        ListCase{"OpeningBraceInStringSwallowsNext",
                 Manifest(Element("[host]a{.dll", "a.dll") + "," + kB),
                 {"a.dll"}},
        ListCase{"TruncatedInSecondElement",
                 Manifest(kA + "," + kB).substr(0, Manifest(kA + "," + kB).find("b.dll\",\"hash")),
                 {"a.dll"}}),
    [](const testing::TestParamInfo<ListCase>& info) { return info.param.name; });

struct RejectCase {
    const char* name;
    std::string path;  // as written in the manifest
    std::string hash;
    std::string badPath;  // as reported
};

class RejectTable : public testing::TestWithParam<RejectCase> {};

TEST_P(RejectTable, FailsWholeReadAndNamesTheEntry) {
    const RejectCase& c = GetParam();
    ReadResult r = Read(Manifest(kA + "," + Element("[host]x", c.path, c.hash) + "," + kB));
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_EQ(r.badPath, c.badPath);
    EXPECT_EQ(r.badHash, c.hash);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RejectTable,
    testing::Values(RejectCase{"HashOneDigitShort", "bin/x.dll", std::string(kHash).substr(1), "bin\\x.dll"},
                    RejectCase{"HashNotHex", "x.dll", std::string(kHash).substr(1) + "z", "x.dll"},
                    RejectCase{"HashMissing", "x.dll", "", "x.dll"},
                    RejectCase{"ParentStep", "bin/../../x.dll", kHash, "bin\\..\\..\\x.dll"},
                    RejectCase{"DriveLetter", "C:/Windows/x.dll", kHash, "C:\\Windows\\x.dll"},
                    RejectCase{"ColonInName", "bin/x.dll:stream", kHash, "bin\\x.dll:stream"},
                    RejectCase{"TwoLeadingSlashes", "//server/x.dll", kHash, "\\\\server\\x.dll"},
                    RejectCase{"TwoLeadingBackslashes", R"(\\\\server\\x.dll)", kHash, "\\\\server\\x.dll"},
                    RejectCase{"SlashThenBackslash", R"(/\\x.dll)", kHash, "\\\\x.dll"}),
    [](const testing::TestParamInfo<RejectCase>& info) { return info.param.name; });

// The names Windows cannot hold as listed (devices, trailing dots and
// blanks, empty components, wildcards, control characters) come from the
// table the publishing tool is checked against as well.
TEST(EntryPathTable, ReaderTakesExactlyTheNamesWindowsHolds) {
    const std::vector<test::EntryPathRow> rows = test::EntryPathTable();
    ASSERT_TRUE(std::any_of(rows.begin(), rows.end(), [](const test::EntryPathRow& r) { return r.accepted; }));
    ASSERT_TRUE(std::any_of(rows.begin(), rows.end(), [](const test::EntryPathRow& r) { return !r.accepted; }));
    for (const test::EntryPathRow& row : rows) {
        const std::string stored = test::WithBackslashes(row.path);
        EXPECT_EQ(IsSafeRelativePath(stored), row.accepted) << "line " << row.line << ": " << stored;
        // Alone in a manifest: taken, or the whole read fails naming it.
        ReadResult r = Read(Manifest(kA + "," + Element("[host]x", test::JsonEscaped(row.path))));
        EXPECT_EQ(r.ok, row.accepted) << "line " << row.line << ": " << stored;
        if (row.accepted) {
            EXPECT_EQ(PathsOf(r.entries), (std::vector<std::string>{"a.dll", stored})) << "line " << row.line;
        } else {
            EXPECT_TRUE(r.entries.empty());
            EXPECT_EQ(r.badPath, stored) << "line " << row.line;
        }
    }
}

// ---- The optional "size" ----

struct SizeCase {
    const char* name;
    std::string element;  // with the url "[host]a.dll", path "a.dll" and kHash
    std::optional<uint64_t> size;
};

class SizeTable : public testing::TestWithParam<SizeCase> {};

const std::string kUrlPathHash = R"("url":"[host]a.dll","path":"a.dll","hash":")" + std::string(kHash) + "\"";

// A size that is no byte count is ignored as unknown keys are: manifests
// that used the key otherwise before are read as they always were.
TEST_P(SizeTable, ReadsTheListedLengthOrIgnoresWhatIsNone) {
    const SizeCase& c = GetParam();
    ReadResult r = Read(Manifest(c.element + "," + kB));
    ASSERT_TRUE(r.ok) << c.element;
    ASSERT_EQ(PathsOf(r.entries), (std::vector<std::string>{"a.dll", "b.dll"}));
    EXPECT_EQ(r.entries[0].size, c.size);
    EXPECT_EQ(r.entries[1].size, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SizeTable,
    testing::Values(SizeCase{"Absent", "{" + kUrlPathHash + "}", std::nullopt},
                    SizeCase{"BareLast", "{" + kUrlPathHash + R"(,"size":48213})", 48213},
                    SizeCase{"BareFirstWithBlanks", R"({"size" : 7 ,)" + kUrlPathHash + "}", 7},
                    SizeCase{"QuotedDigits", "{" + kUrlPathHash + R"(,"size":"12"})", 12},
                    SizeCase{"Zero", "{" + kUrlPathHash + R"(,"size":0})", 0},
                    SizeCase{"NineteenDigits", "{" + kUrlPathHash + R"(,"size":9999999999999999999})",
                             9999999999999999999ull},
                    SizeCase{"EmptyStringIsAbsent", "{" + kUrlPathHash + R"(,"size":""})", std::nullopt},
                    SizeCase{"TwentyDigits", "{" + kUrlPathHash + R"(,"size":10000000000000000000})", std::nullopt},
                    SizeCase{"Negative", "{" + kUrlPathHash + R"(,"size":-1})", std::nullopt},
                    SizeCase{"Fraction", "{" + kUrlPathHash + R"(,"size":1.5})", std::nullopt},
                    SizeCase{"Exponent", "{" + kUrlPathHash + R"(,"size":1e3})", std::nullopt},
                    SizeCase{"Hexadecimal", "{" + kUrlPathHash + R"(,"size":"0x10"})", std::nullopt},
                    SizeCase{"BlankInString", "{" + kUrlPathHash + R"(,"size":" 12"})", std::nullopt},
                    SizeCase{"Null", "{" + kUrlPathHash + R"(,"size":null})", std::nullopt}),
    [](const testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

// Installers in use read new manifests unchanged: by the reader's rules an
// entry with "size" (first, last, bare or quoted) yields the same url, path
// and hash as without it, and the list walk sees the same elements.
TEST(ReadFileEntries, SizeChangesNothingElseAnEntryYields) {
    const std::string c = R"({"url":"https://mirror.example.cn/c.dll" "path":"c.dll" "hash":")" + std::string(kHash) + "\"";
    const std::string without = Manifest(kA + ",\n" + Element("[host]{b}.dll", "sub/b.dll") + ",\n" + c + "}");
    const std::string with = Manifest(R"({"size":1024,)" + kA.substr(1) + ",\n" +
                                      Element("[host]{b}.dll", "sub/b.dll").insert(1, R"("size":"2048",)") + ",\n" +
                                      c + R"( "size":0})");
    ReadResult a = Read(without);
    ReadResult b = Read(with);
    ASSERT_TRUE(a.ok && b.ok);
    ASSERT_EQ(a.entries.size(), 3u);
    ASSERT_EQ(b.entries.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(b.entries[i].url, a.entries[i].url);
        EXPECT_EQ(b.entries[i].path, a.entries[i].path);
        EXPECT_EQ(b.entries[i].hash, a.entries[i].hash);
        EXPECT_EQ(a.entries[i].size, std::nullopt);
    }
    EXPECT_EQ(b.entries[0].size, 1024u);
    EXPECT_EQ(b.entries[1].size, 2048u);
    EXPECT_EQ(b.entries[2].size, 0u);
}

TEST(ReadFileEntries, UrlEmptyAfterExpansionIsSkipped) {
    ReadResult r = Read(Manifest(Element("[vision]", "x.dll", "not checked") + "," + kA), "");
    ASSERT_TRUE(r.ok) << r.badPath;
    EXPECT_EQ(PathsOf(r.entries), std::vector<std::string>{"a.dll"});
}

TEST(ReadFileEntries, OneLeadingSeparatorIsAccepted) {
    ReadResult r = Read(Manifest(Element("[host]x", "/bin/x.dll") + "," + Element("[host]y", R"(\\y.dll)")));
    ASSERT_TRUE(r.ok) << r.badPath;
    EXPECT_EQ(PathsOf(r.entries), (std::vector<std::string>{"\\bin\\x.dll", "\\y.dll"}));
}

TEST(ReadFileEntries, EveryCutReadsAPrefixOfTheList) {
    const std::string manifest = Manifest(kA + ",\n" + Element("[host]{b}.dll", "b.dll") + ",\n" + kB);
    const std::vector<std::string> all = PathsOf(Read(manifest).entries);
    ASSERT_EQ(all, (std::vector<std::string>{"a.dll", "b.dll", "b.dll"}));
    for (std::string::size_type length = 0; length < manifest.size(); ++length) {
        ReadResult r = Read(manifest.substr(0, length));
        ASSERT_TRUE(r.ok) << "cut at " << length;
        const std::vector<std::string> paths = PathsOf(r.entries);
        ASSERT_LE(paths.size(), all.size());
        EXPECT_TRUE(std::equal(paths.begin(), paths.end(), all.begin())) << "cut at " << length;
    }
}

}  // namespace
}  // namespace quilmo
