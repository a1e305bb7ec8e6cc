// The cleanup of older add-in generations on the real key paths of this
// prefix's hives: the user hive as the pipeline cleans it, the machine hive
// (both views under WoW64, the one view on 32-bit Windows) as the elevated
// copy cleans it.
#include "registration/legacy_cleanup.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "registration/registration_tables.h"
#include "support/legacy_registry.h"
#include "support/registry_dump.h"
#include "support/registry_fixture.h"
#include "support/scratch_registry.h"

namespace quilmo {
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

// Saved and put back whole, so no empty key is left behind.
constexpr wchar_t kProductKey[] = L"Software\\QuilmoStudio";

std::vector<Place> UserPlaces() {
    std::vector<Place> places{Place{HKEY_CURRENT_USER, 0, L""}};
    for (const Place& machine : MachinePlaces()) places.push_back(Place{HKEY_CURRENT_USER, machine.view, L""});
    return places;
}

// The per-user target of the install pipeline.
RegistrationTarget PipelineTarget() {
    RegistrationTarget target;
    target.writeMachine = false;
    target.writeUser = true;
    target.cleanMachine = false;
    return target;
}

void Populate(const std::vector<Place>& places, void (*populate)(const Place&)) {
    for (const Place& at : places) populate(at);
}

#define EXPECT_SAME_DUMP(expected, roots)                                                       \
    do {                                                                                        \
        RegistryDump actual_ = DumpRegistry(roots);                                             \
        EXPECT_TRUE(SameDump(expected, actual_)) << DescribeDumpDifferences(expected, actual_); \
    } while (0)

class LegacyCleanup : public testing::Test {
protected:
    FixtureGuard userGuard_{UserPlaces()};
    FixtureGuard machineGuard_{MachinePlaces()};
    const std::vector<DumpRoot> userRoots_ = FixtureRoots(UserPlaces());
    const std::vector<DumpRoot> machineRoots_ = FixtureRoots(MachinePlaces());
    const RegistrationTarget machine_ = MachineCleanupTarget();
};

TEST_F(LegacyCleanup, MachineTargetCoversTheViewsOfThisWindows) {
    EXPECT_TRUE(machine_.writeMachine);
    EXPECT_FALSE(machine_.writeUser);
    EXPECT_TRUE(machine_.cleanMachine);
    EXPECT_FALSE(RedirectedRoots(machine_));
    EXPECT_EQ(MachinePasses(machine_).size(), MachinePlaces().size());
    // The 32-bit Windows run (legacy_cleanup_win32) says which Windows it is.
    const char* expected = std::getenv("QUILMO_EXPECT_ARCH");
    if (expected != nullptr) {
        EXPECT_EQ(machine_.is64BitWindows, std::string(expected) == "win64");
        EXPECT_EQ(MachinePlaces().size(), std::string(expected) == "win64" ? 2u : 1u);
    }
}

TEST_F(LegacyCleanup, CleanHivesNeedNothing) {
    const RegistrationTarget user = PipelineTarget();
    EXPECT_TRUE(RemoveLegacyVstoRegistration(user, false));
    EXPECT_TRUE(RemoveLegacyComRegistration(user, false));
    for (ProbeState state : {UserLoadableState(user), LegacyRegistrationState(user, true, false, false),
                             MachineLoadableState(machine_), LegacyRegistrationState(machine_, false, true, false),
                             MachineComState(machine_), UserLegacyVstoState(user)}) {
        EXPECT_EQ(state, ProbeState::Absent);
    }
    const RegistryDump before = DumpRegistry(machineRoots_);
    EXPECT_TRUE(ElevatedMachineComCleanup());
    EXPECT_TRUE(ElevatedMachineCleanup());
    EXPECT_SAME_DUMP(before, machineRoots_);
}

TEST_F(LegacyCleanup, UserCleanupRemovesEveryLegacyEntryAndNothingElse) {
    Populate(UserPlaces(), testing_support::PopulateNeighbours);
    const RegistryDump neighboursOnly = DumpRegistry(userRoots_);
    Populate(UserPlaces(), testing_support::PopulateLegacy);
    Populate(MachinePlaces(), testing_support::PopulateLegacy);
    const RegistryDump machineBefore = DumpRegistry(machineRoots_);

    const RegistrationTarget user = PipelineTarget();
    EXPECT_EQ(UserLoadableState(user), ProbeState::Present);
    EXPECT_EQ(UserLegacyVstoState(user), ProbeState::Present);
    EXPECT_EQ(LegacyRegistrationState(user, true, false, false), ProbeState::Present);

    EXPECT_TRUE(RemoveLegacyVstoRegistration(user, false));
    EXPECT_TRUE(RemoveLegacyComRegistration(user, false));

    EXPECT_EQ(UserLoadableState(user), ProbeState::Absent);
    EXPECT_EQ(LegacyRegistrationState(user, true, false, false), ProbeState::Absent);
    EXPECT_SAME_DUMP(neighboursOnly, userRoots_);
    // The machine hive needs the elevated copy; the user cleanup leaves it be.
    EXPECT_SAME_DUMP(machineBefore, machineRoots_);
    EXPECT_EQ(MachineLoadableState(machine_), ProbeState::Present);
    EXPECT_EQ(LegacyRegistrationState(machine_, false, true, false), ProbeState::Present);
}

TEST_F(LegacyCleanup, ElevatedCleanupRemovesEveryMachineEntryAndNothingElse) {
    Populate(MachinePlaces(), testing_support::PopulateNeighbours);
    const RegistryDump neighboursOnly = DumpRegistry(machineRoots_);
    Populate(MachinePlaces(), testing_support::PopulateLegacy);
    Populate(MachinePlaces(), testing_support::PopulateCurrentCom);
    Populate(UserPlaces(), testing_support::PopulateLegacy);
    const RegistryDump userBefore = DumpRegistry(userRoots_);
    EXPECT_EQ(MachineLoadableState(machine_), ProbeState::Present);
    EXPECT_EQ(MachineComAndVstoState(machine_), ProbeState::Present);

    EXPECT_TRUE(ElevatedMachineCleanup());

    for (ProbeState state : {MachineLoadableState(machine_), LegacyRegistrationState(machine_, false, true, false),
                             MachineComAndVstoState(machine_), MachineComState(machine_)}) {
        EXPECT_EQ(state, ProbeState::Absent);
    }
    EXPECT_SAME_DUMP(neighboursOnly, machineRoots_);
    EXPECT_SAME_DUMP(userBefore, userRoots_);
}

// One entry in each of the three legacy sets of the last view, and each
// found by a different probe: legacy 2024 alone still makes the hive loadable.
TEST_F(LegacyCleanup, EachLegacySetAloneMakesTheMachineHiveNeedCleaning) {
    const Place last = MachinePlaces().back();
    struct Entry {
        const char* name;
        std::wstring key;
        const wchar_t* value;  // nullptr: the key itself
    };
    const Entry entries[] = {
        {"VstoAllowList", WpsAllowListKeyPath(L"WPP"), L"Quilmo2025.PPT"},
        {"Office2024", OfficeAddinKeyPath(L"Excel", L"Quilmo2024.Excel"), nullptr},
        {"LegacyWps", WpsAllowListKeyPath(L"ET"), L"Quilmo.Excel"},
        {"Uninstall", kLegacyUninstallKey, nullptr},
        {"ComProgId", ProgIdKeyPath(L"Quilmo.PPT"), nullptr},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.name);
        UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(last.hive, e.key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | last.view, nullptr,
                                  key.put(), nullptr),
                  ERROR_SUCCESS);
        if (e.value != nullptr) RegSetValueExW(key.get(), e.value, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), 2);
        key.reset();
        const bool loadable = e.key != kLegacyUninstallKey && e.key != ProgIdKeyPath(L"Quilmo.PPT");
        EXPECT_EQ(MachineLoadableState(machine_), loadable ? ProbeState::Present : ProbeState::Absent);
        EXPECT_EQ(
            CombineStates({MachineLoadableState(machine_), LegacyRegistrationState(machine_, false, true, false)}),
            ProbeState::Present);
        EXPECT_TRUE(ElevatedMachineCleanup());
        EXPECT_EQ(MachineLoadableState(machine_), ProbeState::Absent);
        EXPECT_EQ(LegacyRegistrationState(machine_, false, true, false), ProbeState::Absent);
    }
}

struct StuckKey {
    const char* name;
    bool lastView;
    std::wstring path;
    const wchar_t* sddl;
};

void PrintTo(const StuckKey& key, std::ostream* os) { *os << key.name; }

class ElevatedCleanupFailure : public LegacyCleanup, public testing::WithParamInterface<StuckKey> {};

// One entry that cannot be removed (or not even read) anywhere in the hive:
// the cleanup fails and every tree it captured is byte for byte as before.
TEST_P(ElevatedCleanupFailure, GivesTheMachineHiveBack) {
    Populate(MachinePlaces(), testing_support::PopulateNeighbours);
    Populate(MachinePlaces(), testing_support::PopulateLegacy);
    Populate(MachinePlaces(), testing_support::PopulateCurrentCom);
    const Place at = GetParam().lastView ? MachinePlaces().back() : MachinePlaces().front();
    const RegistryDump before = DumpRegistry(machineRoots_);
    {
        testing_support::RestrictedKey lock(at.hive, GetParam().path, GetParam().sddl, at.view);
        ASSERT_TRUE(lock.restricted());
        EXPECT_FALSE(ElevatedMachineCleanup());
    }
    EXPECT_SAME_DUMP(before, machineRoots_);
    EXPECT_EQ(MachineLoadableState(machine_), ProbeState::Present);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, ElevatedCleanupFailure,
    testing::Values(
        // The last entry removed: everything before it has to come back.
        StuckKey{"LegacyComProgIdLast", true, ProgIdKeyPath(L"Quilmo.PPT"), testing_support::kReadOnlyKey},
        StuckKey{"UninstallEntry", true, kLegacyUninstallKey, testing_support::kReadOnlyKey},
        StuckKey{"Office2024KeyFirstView", false, OfficeAddinKeyPath(L"Excel", L"Quilmo2024.Excel"),
                 testing_support::kReadOnlyKey},
        // The current class key: removed first, so the failure is early.
        StuckKey{"CurrentClassKey", false, ComClassKeyPath(ComClassTable[3].clsid), testing_support::kReadOnlyKey},
        // An allow-list that cannot be read: its values cannot be proved gone.
        StuckKey{"UnreadableAllowList", true, WpsAllowListKeyPath(L"ET"), testing_support::kNoAccess}),
    [](const testing::TestParamInfo<StuckKey>& info) { return info.param.name; });

TEST_F(LegacyCleanup, ComCleanupRemovesOnlyTheCurrentRegistration) {
    Populate(MachinePlaces(), testing_support::PopulateNeighbours);
    Populate(MachinePlaces(), testing_support::PopulateLegacy);
    const RegistryDump withoutCom = DumpRegistry(machineRoots_);
    Populate(MachinePlaces(), testing_support::PopulateCurrentCom);
    EXPECT_EQ(MachineComState(machine_), ProbeState::Present);

    EXPECT_TRUE(ElevatedMachineComCleanup());
    EXPECT_EQ(MachineComState(machine_), ProbeState::Absent);
    EXPECT_SAME_DUMP(withoutCom, machineRoots_);

    // A stuck class key in the last view brings the other view back too.
    Populate(MachinePlaces(), testing_support::PopulateCurrentCom);
    const RegistryDump withCom = DumpRegistry(machineRoots_);
    const Place last = MachinePlaces().back();
    {
        testing_support::RestrictedKey lock(last.hive, ComClassKeyPath(ComClassTable[1].clsid),
                                            testing_support::kReadOnlyKey, last.view);
        ASSERT_TRUE(lock.restricted());
        EXPECT_FALSE(ElevatedMachineComCleanup());
    }
    EXPECT_SAME_DUMP(withCom, machineRoots_);
}

TEST_F(LegacyCleanup, UnreadableEntriesAreUnknownAndBlockTheUserCleanup) {
    Populate(UserPlaces(), testing_support::PopulateLegacy);
    const RegistrationTarget user = PipelineTarget();
    {
        // Only the allow-list of ET is unreadable; everything else is clean.
        testing_support::RestrictedKey lock(HKEY_CURRENT_USER, WpsAllowListKeyPath(L"ET"), testing_support::kNoAccess,
                                            0);
        ASSERT_TRUE(lock.restricted());
        EXPECT_FALSE(RemoveLegacyVstoRegistration(user, false));
        EXPECT_FALSE(RemoveLegacyComRegistration(user, false));
        EXPECT_EQ(UserLegacyVstoState(user), ProbeState::Unknown);
        EXPECT_EQ(UserLoadableState(user), ProbeState::Unknown);
        EXPECT_EQ(LegacyRegistrationState(user, true, false, true), ProbeState::Unknown);
    }
    EXPECT_EQ(UserLoadableState(user), ProbeState::Present);  // the ET values are still there
    EXPECT_TRUE(RemoveLegacyComRegistration(user, false));
    EXPECT_TRUE(RemoveLegacyVstoRegistration(user, false));
    EXPECT_EQ(UserLoadableState(user), ProbeState::Absent);
}

TEST_F(LegacyCleanup, UnreadableMachineKeysAreUnknown) {
    const Place last = MachinePlaces().back();
    struct Case {
        const char* name;
        std::wstring path;
        void (*populate)(const Place&);
    };
    const Case cases[] = {
        {"LegacyOfficeKey", OfficeAddinKeyPath(L"Word", L"Quilmo.Word"), testing_support::PopulateLegacy},
        {"CurrentProgIdKey", ProgIdKeyPath(L"Quilmo2027.Excel"), testing_support::PopulateCurrentCom},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.populate(last);
        testing_support::RestrictedKey lock(last.hive, c.path, testing_support::kNoAccess, last.view);
        ASSERT_TRUE(lock.restricted());
        EXPECT_EQ(MachineLoadableState(machine_), ProbeState::Unknown);
        EXPECT_NE(
            CombineStates({MachineLoadableState(machine_), LegacyRegistrationState(machine_, false, true, false)}),
            ProbeState::Absent);
    }
}

// Machine failures count only in strict mode; the user hive always counts.
TEST_F(LegacyCleanup, NonStrictRemovalIgnoresTheMachineHive) {
    Populate(MachinePlaces(), testing_support::PopulateLegacy);
    const Place first = MachinePlaces().front();
    RegistrationTarget both;  // both hives, as the defaults say
    testing_support::RestrictedKey lock(first.hive, kLegacyUninstallKey, testing_support::kReadOnlyKey, first.view);
    ASSERT_TRUE(lock.restricted());
    testing_support::RestrictedKey vstoLock(first.hive, OfficeAddinKeyPath(L"Word", L"Quilmo2025.Word"),
                                            testing_support::kReadOnlyKey, first.view);
    ASSERT_TRUE(vstoLock.restricted());
    EXPECT_TRUE(RemoveLegacyComRegistration(both, false));
    EXPECT_TRUE(RemoveLegacyVstoRegistration(both, false));
    EXPECT_FALSE(RemoveLegacyComRegistration(both, true));
    EXPECT_FALSE(RemoveLegacyVstoRegistration(both, true));
    // Everything removable was removed all the same.
    EXPECT_EQ(LegacyRegistrationState(both, false, true, true), ProbeState::Absent);
}

// A registration moved below private keys: no views, and the allow-list
// values are also looked for at each user pass.
TEST(LegacyCleanupRedirected, AllowListValuesAtUserPassesCount) {
    testing_support::ScratchKey scratch(L"LegacyCleanupRedirected");
    RegistrationTarget target;
    target.userHive = HKEY_CURRENT_USER;
    target.machineHive = HKEY_CURRENT_USER;
    target.user32Root = scratch.Below(L"U32");
    target.user64Root = scratch.Below(L"U64");
    target.neutralRoot = scratch.Below(L"N");
    target.machine32Root = scratch.Below(L"M32");
    target.machine64Root = scratch.Below(L"M64");
    target.writeMachine = false;
    target.is64BitWindows = true;
    ASSERT_TRUE(RedirectedRoots(target));
    const Place user32{HKEY_CURRENT_USER, 0, target.user32Root};
    const Place machine64{HKEY_CURRENT_USER, 0, target.machine64Root};
    testing_support::PopulateLegacy(user32);
    testing_support::PopulateLegacy(machine64);
    EXPECT_EQ(UserLegacyVstoState(target), ProbeState::Present);
    EXPECT_EQ(LegacyRegistrationState(target, true, false, false), ProbeState::Present);  // ProgIDs, Uninstall
    EXPECT_EQ(MachineLoadableState(target), ProbeState::Present);

    EXPECT_TRUE(RemoveLegacyVstoRegistration(target, true));
    EXPECT_TRUE(RemoveLegacyComRegistration(target, true));
    EXPECT_EQ(UserLegacyVstoState(target), ProbeState::Absent);
    EXPECT_EQ(LegacyRegistrationState(target, true, false, false), ProbeState::Absent);
    // writeMachine is off: the machine root keeps everything.
    EXPECT_EQ(MachineLoadableState(target), ProbeState::Present);
    // The user-pass Office keys are no business of the cleanup: only the
    // neutral location holds Office keys.
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER,
                          JoinRegistryPath(target.user32Root, OfficeAddinKeyPath(L"Word", L"Quilmo2025.Word")), 0),
              ProbeState::Present);
}

// Going back to the VSTO add-in: the current COM registration leaves the
// user hive, with "ManagedDir" and its key; other vendors' entries stay.
TEST_F(LegacyCleanup, UserComRemovalTakesTheCurrentRegistrationOnly) {
    testing_support::SavedUserKey core(kProductKey);
    core.Remove();
    Populate(UserPlaces(), testing_support::PopulateNeighbours);
    const RegistryDump neighboursOnly = DumpRegistry(userRoots_);
    Populate(UserPlaces(), testing_support::PopulateCurrentCom);
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kQuilmoCoreKey, 0, kManagedDirValue, L"C:\\Quilmo\\3.0.0"));
    ASSERT_TRUE(WriteRegDword(HKEY_CURRENT_USER, kSavedVstoLoadBehaviorKey, 0, L"Word", 3));
    Populate(MachinePlaces(), testing_support::PopulateCurrentCom);
    const RegistryDump machineBefore = DumpRegistry(machineRoots_);

    RegistrationTarget target = PipelineTarget();
    EXPECT_TRUE(RemoveUserComRegistration(target));
    EXPECT_SAME_DUMP(neighboursOnly, userRoots_);
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, kQuilmoCoreKey, 0), ProbeState::Absent);
    EXPECT_SAME_DUMP(machineBefore, machineRoots_);  // neither writeMachine nor cleanMachine

    // With cleanMachine the machine hive is cleared as well, best effort.
    target.cleanMachine = true;
    EXPECT_TRUE(RemoveUserComRegistration(target));
    EXPECT_EQ(MachineComState(machine_), ProbeState::Absent);
}

TEST_F(LegacyCleanup, UserComRemovalFailsWhenAUserKeyStays) {
    testing_support::SavedUserKey core(kProductKey);
    Populate(UserPlaces(), testing_support::PopulateCurrentCom);
    testing_support::RestrictedKey lock(HKEY_CURRENT_USER, OfficeAddinKeyPath(L"PowerPoint", L"Quilmo2027.PPT"),
                                        testing_support::kReadOnlyKey, 0);
    ASSERT_TRUE(lock.restricted());
    EXPECT_FALSE(RemoveUserComRegistration(PipelineTarget()));
    // Everything else is gone all the same.
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, ProgIdKeyPath(L"Quilmo2027.Word"), 0), ProbeState::Absent);
    EXPECT_EQ(RegValueState(HKEY_CURRENT_USER, WpsAllowListKeyPath(L"WPP"), 0, L"Quilmo2027.PPT"), ProbeState::Absent);
}

TEST(SavedVstoLoadBehavior, IsDiscardedAtEveryUserPassButManagedDirStays) {
    testing_support::SavedUserKey core(kProductKey);
    core.Remove();
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kQuilmoCoreKey, 0, kManagedDirValue, L"C:\\Quilmo"));
    ASSERT_TRUE(
        WriteRegDword(HKEY_CURRENT_USER, std::wstring(kSavedVstoLoadBehaviorKey) + L"\\Excel", 0, L"LoadBehavior", 3));

    RegistrationTarget machineOnly = MachineCleanupTarget();
    EXPECT_TRUE(DiscardSavedVstoLoadBehavior(machineOnly));  // not the user hive's business
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, kSavedVstoLoadBehaviorKey, 0), ProbeState::Present);

    RegistrationTarget user = PipelineTarget();
    EXPECT_TRUE(DiscardSavedVstoLoadBehavior(user));
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, kSavedVstoLoadBehaviorKey, 0), ProbeState::Absent);
    EXPECT_EQ(RegValueState(HKEY_CURRENT_USER, kQuilmoCoreKey, 0, kManagedDirValue), ProbeState::Present);
    EXPECT_TRUE(DiscardSavedVstoLoadBehavior(user));  // already gone

    // A redirected neutral root is cleaned too.
    testing_support::ScratchKey scratch(L"SavedVstoLoadBehavior");
    user.neutralRoot = scratch.Below(L"N");
    user.user32Root = scratch.Below(L"U32");
    const std::wstring atNeutral = JoinRegistryPath(user.neutralRoot, kSavedVstoLoadBehaviorKey);
    ASSERT_TRUE(WriteRegDword(HKEY_CURRENT_USER, atNeutral, 0, L"Word", 3));
    EXPECT_TRUE(DiscardSavedVstoLoadBehavior(user));
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, atNeutral, 0), ProbeState::Absent);
}

}  // namespace
}  // namespace quilmo
