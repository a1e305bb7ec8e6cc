#include "startup/subcommands.h"

#include <gtest/gtest.h>

#include "registration/legacy_cleanup.h"
#include "registration/registration_tables.h"
#include "support/legacy_registry.h"
#include "support/registry_fixture.h"

namespace quilmo {
namespace {

const std::wstring kHash(64, L'a');

struct PrereqCase {
    const char* name;
    std::vector<std::wstring> args;
    int expected;
};

class PrereqTable : public testing::TestWithParam<PrereqCase> {};

TEST_P(PrereqTable, RefusesMalformedRequestsWith87) {
    EXPECT_EQ(RunPrerequisiteSubCommand(GetParam().args), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrereqTable,
    testing::Values(
        PrereqCase{"OnlySwitch", {L"setup", L"--install-prereq"}, 87},
        PrereqCase{"HashMissing", {L"setup", L"--install-prereq", L"net48", L"C:\\t\\ndp.exe"}, 87},
        PrereqCase{"ExtraArgument", {L"setup", L"--install-prereq", L"net48", L"C:\\a", kHash, L"x"}, 87},
        PrereqCase{"UnknownKind", {L"setup", L"--install-prereq", L"vcredist", L"C:\\a", kHash}, 87},
        PrereqCase{"EmptyPath", {L"setup", L"--install-prereq", L"net48", L"", kHash}, 87},
        PrereqCase{"ShortHash", {L"setup", L"--install-prereq", L"net48", L"C:\\a", std::wstring(63, L'a')}, 87},
        PrereqCase{
            "NonHexHash", {L"setup", L"--install-prereq", L"webview2", L"C:\\a", std::wstring(63, L'a') + L"g"}, 87},
        // Well-formed requests reach the runner, which cannot succeed yet.
        PrereqCase{"KindInCapitals", {L"setup", L"--install-prereq", L"NET48", L"C:\\a", kHash}, 1},
        PrereqCase{"WebView2", {L"setup", L"--install-prereq", L"webview2", L"C:\\a", std::wstring(64, L'F')}, 1}),
    [](const testing::TestParamInfo<PrereqCase>& info) { return info.param.name; });

// The exit codes of the two cleanups, on this prefix's machine hive.
TEST(MachineCleanupSubCommands, ExitWithZeroOnlyWhenTheHiveIsClean) {
    const std::vector<testing_support::Place> places = testing_support::MachinePlaces();
    testing_support::FixtureGuard guard(places);
    EXPECT_EQ(RunMachineCleanupSubCommand(), 0);
    EXPECT_EQ(RunMachineComCleanupSubCommand(), 0);
    for (const testing_support::Place& at : places) {
        testing_support::PopulateLegacy(at);
        testing_support::PopulateCurrentCom(at);
    }
    {
        testing_support::RestrictedKey lock(HKEY_LOCAL_MACHINE, ComClassKeyPath(ComClassTable[0].clsid),
                                            testing_support::kReadOnlyKey, places[0].view);
        ASSERT_TRUE(lock.restricted());
        EXPECT_EQ(RunMachineComCleanupSubCommand(), 1);
        EXPECT_EQ(RunMachineCleanupSubCommand(), 1);
    }
    EXPECT_EQ(RunMachineComCleanupSubCommand(), 0);
    EXPECT_EQ(MachineComState(MachineCleanupTarget()), ProbeState::Absent);
    EXPECT_EQ(MachineLoadableState(MachineCleanupTarget()), ProbeState::Present);  // legacy left
    EXPECT_EQ(RunMachineCleanupSubCommand(), 0);
    EXPECT_EQ(MachineLoadableState(MachineCleanupTarget()), ProbeState::Absent);
}

}  // namespace
}  // namespace quilmo
