#include "startup/command_line.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

struct CommandLineCase {
    const char* name;
    std::vector<std::wstring> args;  // without the program name
    SubCommand subCommand;
    bool autoMode;
    bool silentMode;
};

class CommandLineTable : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTable, ChoosesRunMode) {
    const CommandLineCase& c = GetParam();
    std::vector<std::wstring> args{L"QuilmoSetup.exe"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CommandLine parsed = ParseCommandLine(args);
    EXPECT_EQ(parsed.subCommand, c.subCommand);
    EXPECT_EQ(parsed.autoMode, c.autoMode);
    EXPECT_EQ(parsed.silentMode, c.silentMode);
}

const SubCommand kNone = SubCommand::None;

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineTable,
    testing::Values(
        CommandLineCase{"Nothing", {}, kNone, false, false},
        CommandLineCase{"CleanupAnywhereWinsOverPrereqFirst",
                        {L"--install-prereq", L"net48", L"--cleanup-hklm-only"}, SubCommand::CleanupMachine, false, false},
        CommandLineCase{"CleanupWinsOverSilent", {L"/silent", L"--CLEANUP-HKLM-ONLY"}, SubCommand::CleanupMachine, false,
                        false},
        CommandLineCase{"FullCleanupBeforeComCleanup", {L"--cleanup-hklm-com-only", L"--cleanup-hklm-only"},
                        SubCommand::CleanupMachine, false, false},
        CommandLineCase{"ComCleanup", {L"/auto", L"--cleanup-hklm-com-only"}, SubCommand::CleanupMachineCom, false, false},
        CommandLineCase{"PrereqFirst", {L"--Install-Prereq", L"net48", L"C:\\a.exe", L"00"},
                        SubCommand::InstallPrerequisite, false, false},
        CommandLineCase{"PrereqSecondIsIgnored", {L"/x", L"--install-prereq"}, kNone, false, false},
        CommandLineCase{"PrereqSecondWithSilent", {L"/silent", L"--install-prereq"}, kNone, true, true},
        CommandLineCase{"QuietInCapitals", {L"/QUIET"}, kNone, true, true},
        CommandLineCase{"AutoMixedCase", {L"-Auto"}, kNone, true, false},
        CommandLineCase{"AutoAndSilent", {L"/auto", L"/silent"}, kNone, true, true},
        CommandLineCase{"EverySilentSpelling", {L"--quiet"}, kNone, true, true},
        CommandLineCase{"DashSilent", {L"-silent"}, kNone, true, true},
        CommandLineCase{"DoubleDashAuto", {L"--auto"}, kNone, true, false},
        CommandLineCase{"RepeatedSwitches", {L"/auto", L"-AUTO", L"/auto"}, kNone, true, false},
        CommandLineCase{"PartOfArgumentDoesNotCount", {L"/autox", L"/silent=1", L"x/quiet"}, kNone, false, false},
        CommandLineCase{"UnknownAndEmptyIgnored", {L"", L"/bogus", L"\x4E2D\x6587"}, kNone, false, false}),
    [](const testing::TestParamInfo<CommandLineCase>& info) { return info.param.name; });

TEST(CommandLine, ProgramNameIsNotAnArgument) {
    CommandLine parsed = ParseCommandLine({L"/silent"});
    EXPECT_FALSE(parsed.silentMode);
    parsed = ParseCommandLine({L"--cleanup-hklm-only"});
    EXPECT_EQ(parsed.subCommand, SubCommand::None);
    parsed = ParseCommandLine({});
    EXPECT_EQ(parsed.subCommand, SubCommand::None);
    EXPECT_FALSE(parsed.autoMode);
}

}  // namespace
}  // namespace quilmo
