// The real installer as the elevated child: a parent that is told it is not
// elevated relaunches the installer executable under test with the
// sub-command, and reads the machine hive's fate from its real exit code.
#include <gtest/gtest.h>

#include "registration/legacy_cleanup.h"
#include "registration/registration_tables.h"
#include "startup/elevation.h"
#include "support/legacy_registry.h"
#include "support/log_reader.h"
#include "support/registry_dump.h"
#include "support/registry_fixture.h"
#include "support/scratch_dir.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

using testing_support::DescribeDumpDifferences;
using testing_support::DumpRegistry;
using testing_support::DumpRoot;
using testing_support::FixtureGuard;
using testing_support::FixtureRoots;
using testing_support::MachinePlaces;
using testing_support::Place;
using testing_support::RegistryDump;
using testing_support::SameDump;

const char kSentinel[] = "sentinel: the elevated child never writes the log\r\n";

bool NotElevated() { return false; }
bool InstallerUnderTest(std::wstring* path) {
    *path = SetupExePath();
    return true;
}
int MustNotRunHere(bool) {
    ADD_FAILURE() << "a process that is not elevated ran the cleanup itself";
    return 0;
}

// Everything real except the elevation test and the program the child runs.
const ElevationCalls kChildPath = [] {
    ElevationCalls calls = RealElevationCalls();
    calls.isProcessElevated = NotElevated;
    calls.ownExecutablePath = InstallerUnderTest;
    calls.runCleanupInProcess = MustNotRunHere;
    return calls;
}();

void Populate(void (*populate)(const Place&)) {
    for (const Place& at : MachinePlaces()) populate(at);
}

// Neighbours only, then with the legacy entries, then with the current COM
// registration as well: the three states a cleanup can leave.
struct MachineStates {
    RegistryDump neighbours;
    RegistryDump withLegacy;
    RegistryDump withLegacyAndCom;
};

class ElevatedChild : public testing::Test {
protected:
    ElevatedChild() { WriteLogBytes(kSentinel); }
    ~ElevatedChild() override { EXPECT_EQ(ReadLogBytes(), kSentinel); }

    MachineStates PopulateAll() {
        MachineStates states;
        Populate(testing_support::PopulateNeighbours);
        states.neighbours = DumpRegistry(roots_);
        Populate(testing_support::PopulateLegacy);
        states.withLegacy = DumpRegistry(roots_);
        Populate(testing_support::PopulateCurrentCom);
        states.withLegacyAndCom = DumpRegistry(roots_);
        return states;
    }
    ::testing::AssertionResult HiveIs(const RegistryDump& expected) {
        RegistryDump actual = DumpRegistry(roots_);
        if (SameDump(expected, actual)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << DescribeDumpDifferences(expected, actual);
    }

    FixtureGuard guard_{MachinePlaces()};
    const std::vector<DumpRoot> roots_ = FixtureRoots(MachinePlaces());
    testing_support::ScratchDir workingDir_;
    ScopedElevationCalls scope_{&kChildPath};
};

TEST_F(ElevatedChild, CleansEveryOlderGenerationFromTheMachineHive) {
    MachineStates states = PopulateAll();
    EXPECT_TRUE(RunElevatedCleanup(workingDir_.path(), false));
    EXPECT_TRUE(HiveIs(states.neighbours));
    const RegistrationTarget machine = MachineCleanupTarget();
    EXPECT_EQ(MachineLoadableState(machine), ProbeState::Absent);
    EXPECT_EQ(LegacyRegistrationState(machine, false, true, false), ProbeState::Absent);
}

TEST_F(ElevatedChild, ComOnlyLeavesTheOlderGenerations) {
    MachineStates states = PopulateAll();
    EXPECT_TRUE(RunElevatedCleanup(L"", true));
    EXPECT_TRUE(HiveIs(states.withLegacy));
    EXPECT_EQ(MachineComState(MachineCleanupTarget()), ProbeState::Absent);
}

// One undeletable key among the legacy entries of the last view: the child
// puts back everything it removed and exits 1.
TEST_F(ElevatedChild, GivesTheMachineHiveBackWhenAKeyCannotBeRemoved) {
    MachineStates states = PopulateAll();
    const Place last = MachinePlaces().back();
    {
        testing_support::RestrictedKey lock(last.hive, kLegacyUninstallKey, testing_support::kReadOnlyKey, last.view);
        ASSERT_TRUE(lock.restricted());
        EXPECT_FALSE(RunElevatedCleanup(workingDir_.path(), false));
        EXPECT_TRUE(HiveIs(states.withLegacyAndCom));
        EXPECT_EQ(RunSetup({L"--cleanup-hklm-only"}), 1);
        EXPECT_TRUE(HiveIs(states.withLegacyAndCom));
    }
    {
        testing_support::RestrictedKey lock(last.hive, ProgIdKeyPath(ComClassTable[2].progId),
                                            testing_support::kReadOnlyKey, last.view);
        ASSERT_TRUE(lock.restricted());
        EXPECT_EQ(RunSetup({L"--cleanup-hklm-com-only"}), 1);
        EXPECT_TRUE(HiveIs(states.withLegacyAndCom));
    }
    // Given its access back, the same hive is cleaned.
    EXPECT_TRUE(RunElevatedCleanup(workingDir_.path(), false));
    EXPECT_TRUE(HiveIs(states.neighbours));
}

enum class Cleans { Everything, ComOnly, Nothing };

struct LineCase {
    const char* name;
    std::vector<std::wstring> args;
    int exitCode;
    Cleans cleans;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class SubCommandLine : public ElevatedChild, public testing::WithParamInterface<LineCase> {};

// Extra, repeated and differently-cased switches still run the cleanup they
// name; a misspelled one is no cleanup at all. Misspellings follow a first
// "--install-prereq" so that the line ends there (87) instead of opening the
// installer window, and a cleanup would have won over it.
TEST_P(SubCommandLine, RunsTheCleanupItNamesOrNone) {
    MachineStates states = PopulateAll();
    EXPECT_EQ(RunSetup(GetParam().args), GetParam().exitCode);
    switch (GetParam().cleans) {
    case Cleans::Everything:
        EXPECT_TRUE(HiveIs(states.neighbours));
        break;
    case Cleans::ComOnly:
        EXPECT_TRUE(HiveIs(states.withLegacy));
        break;
    case Cleans::Nothing:
        EXPECT_TRUE(HiveIs(states.withLegacyAndCom));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SubCommandLine,
    testing::Values(
        LineCase{"Exact", {L"--cleanup-hklm-only"}, 0, Cleans::Everything},
        LineCase{"ExtraArgument", {L"--cleanup-hklm-only", L"C:\\extra"}, 0, Cleans::Everything},
        LineCase{"Repeated", {L"--cleanup-hklm-only", L"--cleanup-hklm-only"}, 0, Cleans::Everything},
        LineCase{"UpperCase", {L"--CLEANUP-HKLM-ONLY"}, 0, Cleans::Everything},
        LineCase{"BothFullWins", {L"--cleanup-hklm-com-only", L"--cleanup-hklm-only"}, 0, Cleans::Everything},
        LineCase{"ComAfterOthers", {L"/silent", L"x", L"--Cleanup-Hklm-Com-Only"}, 0, Cleans::ComOnly},
        LineCase{"ComWithFurtherArgument", {L"--cleanup-hklm-com-only", L"C:\\Quilmo\\3.0.0"}, 0, Cleans::ComOnly},
        LineCase{"ComRepeated", {L"--cleanup-hklm-com-only", L"--CLEANUP-HKLM-COM-ONLY"}, 0, Cleans::ComOnly},
        LineCase{"Shortened", {L"--install-prereq", L"--cleanup-hklm"}, 87, Cleans::Nothing},
        LineCase{"OneDash", {L"--install-prereq", L"-cleanup-hklm-only"}, 87, Cleans::Nothing},
        LineCase{"Slash", {L"--install-prereq", L"/cleanup-hklm-com-only"}, 87, Cleans::Nothing},
        LineCase{"WithValue", {L"--install-prereq", L"--cleanup-hklm-only=1"}, 87, Cleans::Nothing},
        LineCase{"Longer", {L"--install-prereq", L"--cleanup-hklm-only-now"}, 87, Cleans::Nothing},
        LineCase{"Spaced", {L"--install-prereq", L"--cleanup-hklm-only "}, 87, Cleans::Nothing},
        LineCase{"Joined", {L"--install-prereq", L"--cleanup-hklm-only--cleanup-hklm-com-only"}, 87, Cleans::Nothing}),
    [](const testing::TestParamInfo<LineCase>& info) { return info.param.name; });

BOOL WINAPI NoChildMayStart(SHELLEXECUTEINFOW*) {
    ADD_FAILURE() << "an elevated process started a child";
    return FALSE;
}

// This prefix runs every process elevated: the cleanup happens right here,
// with the real elevation test, and no copy of the installer is started.
TEST(ElevatedParent, CleansTheMachineHiveItselfAndStartsNoChild) {
    const ElevationCalls inProcessOnly = [] {
        ElevationCalls calls = RealElevationCalls();
        calls.shellExecuteEx = NoChildMayStart;
        return calls;
    }();
    ScopedElevationCalls scope(&inProcessOnly);
    FixtureGuard guard(MachinePlaces());
    for (const Place& at : MachinePlaces()) {
        testing_support::PopulateLegacy(at);
        testing_support::PopulateCurrentCom(at);
    }
    ASSERT_TRUE(IsProcessElevated());
    EXPECT_TRUE(RunElevatedCleanup(L"", true));
    EXPECT_EQ(MachineComState(MachineCleanupTarget()), ProbeState::Absent);
    EXPECT_EQ(MachineLoadableState(MachineCleanupTarget()), ProbeState::Present);
    EXPECT_TRUE(RunElevatedCleanup(L"", false));
    EXPECT_EQ(MachineLoadableState(MachineCleanupTarget()), ProbeState::Absent);
}

}  // namespace
}  // namespace quilmo::test
