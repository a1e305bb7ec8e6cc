#include "manifest/manifest_shape.h"

#include <string>

#include <gtest/gtest.h>

namespace quilmo {
namespace {

struct ShapeCase {
    const char* name;
    std::string body;
    bool expected;
};

class ShapeTable : public testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeTable, AcceptsOnlyManifestLikeBodies) {
    const ShapeCase& c = GetParam();
    EXPECT_EQ(HasManifestShape(c.body), c.expected) << c.body;
}

const char kPlain[] = R"({"AppName":"x","Files":[{"url":"a","path":"b"}]})";

INSTANTIATE_TEST_SUITE_P(
    Accepted, ShapeTable,
    testing::Values(ShapeCase{"Plain", kPlain, true},
                    ShapeCase{"ByteOrderMark", std::string("\xEF\xBB\xBF") + kPlain, true},
                    ShapeCase{"ByteOrderMarkThenBlankLines", std::string("\xEF\xBB\xBF\r\n\r\n") + kPlain, true},
                    ShapeCase{"LeadingBlankLinesTrailingBlanks", std::string("\n\n \t") + kPlain + "\r\n \t", true},
                    ShapeCase{"BlanksBetweenTokens", "{ \"Files\" \t:\r\n [ \n {\"url\":\"a\"} \n] \n}", true},
                    ShapeCase{"LowerCaseKey", R"({"files":[{}]})", true},
                    // Any ']' before the final '}' passes, so a download cut right after
                    // an element whose url holds "[host]" gets through; its signature
                    // check fails instead.
                    ShapeCase{"ClosingBracketInsideElementSuffices", R"({"Files":[{"a":{"b":[1]}},"x":1})",
                              true},
                    ShapeCase{"CutAfterElementWithPlaceholder", R"({"Files":[{"url":"[host]a.dll"})", true},
                    // Entries carry their size, first or last, bare or quoted.
                    ShapeCase{"SizeLast", R"({"Files":[{"url":"a","path":"b","hash":"c","size":48213}]})", true},
                    ShapeCase{"SizeFirstQuoted", R"({"Files":[ {"size":"7","url":"a"},{"size":0}]})", true}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Refused, ShapeTable,
    testing::Values(ShapeCase{"Empty", "", false}, ShapeCase{"BlanksOnly", " \r\n\t", false},
                    ShapeCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF", false},
                    ShapeCase{"ByteOrderMarkAfterBlank", std::string(" \xEF\xBB\xBF") + kPlain, false},
                    ShapeCase{"HalfByteOrderMark", std::string("\xEF\xBB") + kPlain, false},
                    ShapeCase{"OtherLeadingBlank", std::string("\v") + kPlain, false},
                    ShapeCase{"HtmlErrorPage", "<html><body>{\"Files\":[{}]}</body></html>", false},
                    ShapeCase{"EmptyArray", R"({"Files":[]})", false},
                    ShapeCase{"ArrayOfStrings", R"({"Files":["a"]})", false},
                    ShapeCase{"TopLevelArray", R"([{"Files":[{}]}])", false},
                    ShapeCase{"UpperCaseKey", R"({"FILES":[{}]})", false},
                    ShapeCase{"UnquotedKey", R"({Files:[{}]})", false},
                    ShapeCase{"CapitalisedKeyIsTakenFirst", R"({"Files":1,"files":[{}]})", false},
                    ShapeCase{"KeyAsValueOnly", R"({"name":"Files","list":[{}]})", false},
                    ShapeCase{"MissingFinalBrace", R"({"Files":[{}])", false},
                    ShapeCase{"BracketAfterFinalBrace", R"({"Files":[{"url":"a"}}])", false},
                    ShapeCase{"NoClosingBracket", R"({"Files":[{"url":"a"}})", false},
                    ShapeCase{"BracketOnlyBeforeList", R"({"x":"]","Files":[{"url":"a"}})", false},
                    ShapeCase{"CutAfterElement", R"({"Files":[{"url":"a"})", false},
                    ShapeCase{"CutAfterOpeningBracket", R"({"Files":[)", false},
                    ShapeCase{"CutAfterColon", R"({"Files":)", false},
                    ShapeCase{"CutInKey", R"({"Fil)", false}, ShapeCase{"OpeningBraceOnly", "{", false},
                    ShapeCase{"ClosingBraceOnly", "}", false}),
    [](const testing::TestParamInfo<ShapeCase>& info) { return info.param.name; });

TEST(ManifestShape, EveryCutOfADownloadIsRefused) {
    // The list is the manifest's last key and its urls hold no brackets, so
    // no cut can end on a brace after a ']'.
    const std::string manifest = "\xEF\xBB\xBF{\r\n  \"AppName\": \"\xE5\xA5\x8E\xE5\xA2\xA8\",\r\n"
                                 "  \"Vison\": \"3.2.0\",\r\n  \"Files\": [\r\n"
                                 "    {\"url\": \"https://mirror.example.cn/a.dll\", \"path\": \"bin/a.dll\", \"hash\": \"00\", \"size\": 48213},\r\n"
                                 "    {\"url\": \"https://mirror.example.cn/b.dll\", \"path\": \"bin/b.dll\", \"hash\": \"11\", \"size\": 0}\r\n"
                                 "  ]\r\n}\r\n";
    ASSERT_TRUE(HasManifestShape(manifest));
    const std::string::size_type finalBrace = manifest.rfind('}');
    for (std::string::size_type length = 0; length < finalBrace; ++length) {
        EXPECT_FALSE(HasManifestShape(manifest.substr(0, length))) << "cut at " << length;
    }
}

}  // namespace
}  // namespace quilmo
