// The real installer under Wine: which run a command line starts, seen from
// its exit code and from whether it touched the log.
#include <gtest/gtest.h>

#include "support/log_reader.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

const char kSentinel[] = "sentinel: this log must survive a sub-command\r\n";
const std::wstring kHash(64, L'0');

struct SubCommandCase {
    const char* name;
    std::vector<std::wstring> args;
    int expectedExitCode;
};

class SubCommandRuns : public testing::TestWithParam<SubCommandCase> {};

// Sub-commands end with their own code and never touch the log.
TEST_P(SubCommandRuns, EndWithTheirCodeAndLeaveTheLogAlone) {
    WriteLogBytes(kSentinel);
    EXPECT_EQ(RunSetup(GetParam().args), GetParam().expectedExitCode);
    EXPECT_EQ(ReadLogBytes(), kSentinel);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SubCommandRuns,
    testing::Values(
        SubCommandCase{"PrereqWithoutArguments", {L"--install-prereq"}, 87},
        SubCommandCase{"PrereqHashMissing", {L"--install-prereq", L"net48", L"C:\\temp\\ndp48.exe"}, 87},
        SubCommandCase{"PrereqBadKindWithSilent", {L"--install-prereq", L"vc", L"C:\\a.exe", kHash, L"/silent"}, 87},
        // The cleanup switch anywhere wins over "--install-prereq" first (which
        // would answer 87 here) and over the silent switch (which would log).
        // The prefix's machine hive holds nothing to clean: success.
        SubCommandCase{"CleanupWinsOverPrereq", {L"--install-prereq", L"--cleanup-hklm-only"}, 0},
        SubCommandCase{"CleanupWinsOverSilent", {L"/silent", L"--CLEANUP-HKLM-ONLY", L"/auto"}, 0},
        SubCommandCase{"ComCleanup", {L"/quiet", L"--cleanup-hklm-com-only"}, 0}),
    [](const testing::TestParamInfo<SubCommandCase>& info) { return info.param.name; });

struct SilentCase {
    const char* name;
    std::vector<std::wstring> args;
};

class SilentSpellings : public testing::TestWithParam<SilentCase> {};

TEST_P(SilentSpellings, RunSilentlyAndLogTheMode) {
    WriteLogBytes(kSentinel);
    EXPECT_EQ(RunSetup(GetParam().args), 1);
    std::vector<std::string> messages = LogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0], "installer start");
    EXPECT_EQ(messages[1], "args auto=true");
    EXPECT_EQ(messages[2], "args silent=true");
    EXPECT_EQ(messages.back(), "silent RunInstaller returned code=1");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SilentSpellings,
    testing::Values(SilentCase{"QuietInCapitals", {L"/QUIET"}}, SilentCase{"AutoAndSilent", {L"/auto", L"/silent"}},
                    SilentCase{"PrereqSecondIgnored", {L"/silent", L"--install-prereq", L"net48"}},
                    // Nothing on a hostile command line may crash the run.
                    SilentCase{"JunkAround", {L"", L"/\x01", std::wstring(20000, L'x'), L"\x594E\x58A8", L"-SILENT"}}),
    [](const testing::TestParamInfo<SilentCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quilmo::test
