// Snapshots of key trees, single values and the COM registration's values,
// each checked against a plain-call dump of the registry taken before.
// Everything happens below a scratch key that stands in for the hive.
#include "registration/registry_snapshot.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <utility>
#include <string>
#include <vector>

#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"
#include "support/registration_layout.h"
#include "support/registry_dump.h"
#include "support/registry_fixture.h"
#include "support/scratch_registry.h"

namespace quilmo {
namespace {

using testing_support::CreateRawKey;
using testing_support::CurrentTestName;
using testing_support::DescribeDumpDifferences;
using testing_support::DumpRegistryTree;
using testing_support::DumpValueName;
using testing_support::kNoAccess;
using testing_support::kSetValueOnly;
using testing_support::RawKeyExists;
using testing_support::RegistryDump;
using testing_support::RestrictedKey;
using testing_support::SameDump;
using testing_support::ScratchKey;
using testing_support::SetRawDword;
using testing_support::SetRawString;
using testing_support::SetRawValue;

class SnapshotFixture : public ::testing::Test {
protected:
    ScratchKey scratch_{CurrentTestName()};

    HKEY hive() const { return scratch_.get(); }
    RegistryDump Dump() const { return DumpRegistryTree(hive(), L"", 0); }
    void Set(const std::wstring& path, const std::wstring& name, DWORD type, const std::vector<uint8_t>& data) {
        ASSERT_EQ(SetRawValue(hive(), path, name, type, data.data(), data.size()), ERROR_SUCCESS) << name.size();
    }
    void DeleteTree(const std::wstring& path) {
        RegDeleteTreeW(hive(), path.c_str());
        RegDeleteKeyW(hive(), path.c_str());
    }
};

std::vector<uint8_t> Utf16Bytes(const std::wstring& text, bool terminated) {
    const auto* first = reinterpret_cast<const uint8_t*>(text.c_str());
    return std::vector<uint8_t>(first, first + (text.size() + (terminated ? 1 : 0)) * sizeof(wchar_t));
}

// ---------------------------------------------------------------------------
// Key trees

class SnapshotKeyTree : public SnapshotFixture {};

TEST_F(SnapshotKeyTree, RebuildsNestedKeysWithTheSameNamesTypesAndBytes) {
    const std::wstring tree = L"Parent\\树 名.x";
    Set(tree, L"", REG_SZ, Utf16Bytes(L"默认值", true));
    Set(tree, L"空 二进制", REG_BINARY, {});
    Set(tree, L"unterminated", REG_SZ, Utf16Bytes(L"abc", false));
    Set(tree, L"odd", REG_SZ, {'a', 0, 'b'});
    Set(tree, L"one byte", REG_EXPAND_SZ, {'x'});
    Set(tree, L"multi", REG_MULTI_SZ, Utf16Bytes(std::wstring(L"a\0b c\0", 6), true));
    Set(tree, L"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    Set(tree, L"none", REG_NONE, {0, 0, 9});
    Set(tree + L"\\子键", L"", REG_EXPAND_SZ, Utf16Bytes(L"%TEMP%\\x", true));
    Set(tree + L"\\子键\\深 一层\\第三.层", L"v", REG_DWORD, {1, 0, 0, 0});
    ASSERT_EQ(CreateRawKey(hive(), tree + L"\\空键"), ERROR_SUCCESS);
    const RegistryDump before = Dump();

    KeyTreeSnapshot snapshot = CaptureKeyTree(hive(), tree, 0);
    ASSERT_TRUE(snapshot.exists);
    ASSERT_FALSE(snapshot.unreadable);
    EXPECT_EQ(snapshot.values.size(), 8u);
    EXPECT_EQ(snapshot.children.size(), 2u);

    DeleteTree(tree + L"\\子键\\深 一层");
    DeleteTree(tree + L"\\空键");
    Set(tree, L"qword", REG_SZ, Utf16Bytes(L"retyped", true));
    Set(tree, L"", REG_BINARY, {});
    Set(tree, L"added", REG_DWORD, {9, 9, 9, 9});
    Set(tree + L"\\added\\deeper", L"x", REG_SZ, Utf16Bytes(L"x", true));
    RestoreKeyTree(hive(), tree, 0, snapshot);

    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
}

TEST_F(SnapshotKeyTree, AnAbsentKeyIsRemovedAgainAndItsParentKept) {
    ASSERT_EQ(CreateRawKey(hive(), L"Parent"), ERROR_SUCCESS);
    const RegistryDump before = Dump();
    KeyTreeSnapshot snapshot = CaptureKeyTree(hive(), L"Parent\\Made later", 0);
    EXPECT_FALSE(snapshot.exists);
    EXPECT_FALSE(snapshot.unreadable);

    Set(L"Parent\\Made later\\below", L"v", REG_SZ, Utf16Bytes(L"x", true));
    RestoreKeyTree(hive(), L"Parent\\Made later", 0, snapshot);
    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
}

TEST_F(SnapshotKeyTree, AKeyDeletedBetweenCaptureAndRestoreComesBack) {
    Set(L"Parent\\Tree\\Sub", L"v", REG_DWORD, {7, 0, 0, 0});
    Set(L"Parent\\Tree", L"", REG_SZ, Utf16Bytes(L"d", true));
    const RegistryDump before = Dump();
    KeyTreeSnapshot snapshot = CaptureKeyTree(hive(), L"Parent\\Tree", 0);
    DeleteTree(L"Parent");
    RestoreKeyTree(hive(), L"Parent\\Tree", 0, snapshot);
    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
}

// Bad input: the capture returns and its restore changes nothing it must not.
struct BadTreeInput {
    const char* label;
    bool noHive;
    std::wstring path;
    bool expectUnreadable;
};

TEST_F(SnapshotKeyTree, BadInputNeverFailsTheCaptureAndItsRestoreTouchesNothing) {
    const std::wstring name255(255, L'名');
    const std::wstring name256(256, L'k');
    ASSERT_EQ(SetRawString(hive(), L"Long\\" + name255, L"v", L"kept"), ERROR_SUCCESS);
    const BadTreeInput cases[] = {
        {"no hive", true, L"Parent\\Tree", true},
        {"empty path (the whole hive)", false, L"", true},
        {"leading backslash", false, L"\\Long", true},
        {"a 256-character key name", false, L"Long\\" + name256, false},
        {"below a missing 255-character key", false, L"Long\\" + std::wstring(255, L'x') + L"\\y", false},
    };
    for (const BadTreeInput& input : cases) {
        SCOPED_TRACE(input.label);
        HKEY from = input.noHive ? nullptr : hive();
        KeyTreeSnapshot snapshot = CaptureKeyTree(from, input.path, 0);
        EXPECT_EQ(snapshot.unreadable, input.expectUnreadable);
        EXPECT_TRUE(snapshot.values.empty() && snapshot.children.empty());
        const RegistryDump before = Dump();
        RestoreKeyTree(from, input.path, 0, snapshot);
        EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
    }

    // A key with a name of the longest allowed length is copied like any other.
    const RegistryDump before = Dump();
    KeyTreeSnapshot longName = CaptureKeyTree(hive(), L"Long", 0);
    ASSERT_FALSE(longName.unreadable);
    ASSERT_EQ(longName.children.size(), 1u);
    EXPECT_EQ(longName.children[0].name, name255);
    DeleteTree(L"Long");
    RestoreKeyTree(hive(), L"Long", 0, longName);
    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
}

// The capture's registry calls with one of them failing or answering
// differently on its n-th call. The tree used:
//   Tree (values a, b) > C1 (value x) > D,   Tree > C2
// Calls in order: open Tree, C1, D, C2; counts twice per key (Tree 1-2,
// C1 3-4, D 5-6); values Tree 1-3 (index 2 is the "no more" check), C1 4-5;
// sub-keys Tree 1-3, C1 4-5.
enum class Call { Open, Counts, Values, SubKeys };
enum class Twist { Result, OneMoreValueCounted, LastWriteMoved };

struct ReadFault {
    const char* label;
    Call call;
    int onCall;
    Twist twist;
    LONG result;
};

struct FaultState {
    const ReadFault* fault = nullptr;
    int calls[4] = {};
};
FaultState g_fault;

bool FaultHits(Call call) {
    int n = ++g_fault.calls[static_cast<int>(call)];
    return g_fault.fault != nullptr && g_fault.fault->call == call && g_fault.fault->onCall == n;
}

LONG WINAPI FaultyOpen(HKEY key, LPCWSTR sub, DWORD options, REGSAM access, PHKEY result) {
    if (FaultHits(Call::Open)) return g_fault.fault->result;
    return RegOpenKeyExW(key, sub, options, access, result);
}

LONG WINAPI FaultyCounts(HKEY key, LPWSTR cls, LPDWORD clsUnits, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKey, LPDWORD maxClass, LPDWORD values, LPDWORD maxValueName,
                         LPDWORD maxValueBytes, LPDWORD security, PFILETIME lastWrite) {
    bool hit = FaultHits(Call::Counts);
    LONG real = RegQueryInfoKeyW(key, cls, clsUnits, reserved, subKeys, maxSubKey, maxClass, values, maxValueName,
                                 maxValueBytes, security, lastWrite);
    if (!hit) return real;
    switch (g_fault.fault->twist) {
        case Twist::Result: return g_fault.fault->result;
        case Twist::OneMoreValueCounted: ++*values; return real;
        case Twist::LastWriteMoved: ++lastWrite->dwLowDateTime; return real;
    }
    return real;
}

LONG WINAPI FaultyValues(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD dataBytes) {
    if (FaultHits(Call::Values)) return g_fault.fault->result;
    return RegEnumValueW(key, index, name, nameUnits, reserved, type, data, dataBytes);
}

LONG WINAPI FaultySubKeys(HKEY key, DWORD index, LPWSTR name, LPDWORD nameUnits, LPDWORD reserved, LPWSTR cls,
                          LPDWORD clsUnits, PFILETIME lastWrite) {
    if (FaultHits(Call::SubKeys)) return g_fault.fault->result;
    return RegEnumKeyExW(key, index, name, nameUnits, reserved, cls, clsUnits, lastWrite);
}

KeyTreeReadCalls FaultyCalls() {
    KeyTreeReadCalls calls;
    calls.openKey = FaultyOpen;
    calls.queryInfo = FaultyCounts;
    calls.enumValue = FaultyValues;
    calls.enumKey = FaultySubKeys;
    return calls;
}

TEST_F(SnapshotKeyTree, TroubleWhileReadingMakesTheWholeTreeUnreadableAndItsRestoreALeaveAlone) {
    Set(L"Parent\\Tree", L"a", REG_SZ, Utf16Bytes(L"A", true));
    Set(L"Parent\\Tree", L"b", REG_DWORD, {2, 0, 0, 0});
    Set(L"Parent\\Tree\\C1", L"x", REG_BINARY, {1, 2, 3});
    ASSERT_EQ(CreateRawKey(hive(), L"Parent\\Tree\\C1\\D"), ERROR_SUCCESS);
    ASSERT_EQ(CreateRawKey(hive(), L"Parent\\Tree\\C2"), ERROR_SUCCESS);

    g_fault = FaultState{};
    KeyTreeSnapshot clean = CaptureKeyTreeWith(FaultyCalls(), KeyTreeLimits{}, hive(), L"Parent\\Tree", 0);
    ASSERT_FALSE(clean.unreadable);
    ASSERT_EQ(clean.values.size(), 2u);
    ASSERT_EQ(clean.children.size(), 2u);
    ASSERT_EQ(clean.children[0].tree.children.size(), 1u);
    // The call numbers below follow the order the clean capture made.
    EXPECT_EQ(g_fault.calls[static_cast<int>(Call::Open)], 4);
    EXPECT_EQ(g_fault.calls[static_cast<int>(Call::Counts)], 8);

    const ReadFault faults[] = {
        {"the root's counts cannot be queried", Call::Counts, 1, Twist::Result, ERROR_ACCESS_DENIED},
        {"a sub-key's counts cannot be queried", Call::Counts, 3, Twist::Result, ERROR_INVALID_HANDLE},
        {"the value count changed during the enumeration", Call::Counts, 4, Twist::OneMoreValueCounted, 0},
        {"the key was written during the enumeration", Call::Counts, 2, Twist::LastWriteMoved, 0},
        {"value enumeration fails part way", Call::Values, 2, Twist::Result, ERROR_ACCESS_DENIED},
        {"a value grew past the largest size", Call::Values, 1, Twist::Result, ERROR_MORE_DATA},
        {"a value went away", Call::Values, 2, Twist::Result, ERROR_NO_MORE_ITEMS},
        {"a value appeared after the count", Call::Values, 3, Twist::Result, ERROR_SUCCESS},
        {"a sub-key's values fail", Call::Values, 4, Twist::Result, ERROR_KEY_DELETED},
        {"sub-key enumeration fails part way", Call::SubKeys, 2, Twist::Result, ERROR_ACCESS_DENIED},
        {"a sub-key went away from the list", Call::SubKeys, 2, Twist::Result, ERROR_NO_MORE_ITEMS},
        {"a sub-key appeared after the count", Call::SubKeys, 3, Twist::Result, ERROR_SUCCESS},
        {"a sub-key cannot be opened", Call::Open, 3, Twist::Result, ERROR_ACCESS_DENIED},
        {"a sub-key vanished before it was opened", Call::Open, 4, Twist::Result, ERROR_FILE_NOT_FOUND},
    };
    for (const ReadFault& fault : faults) {
        SCOPED_TRACE(fault.label);
        g_fault = FaultState{&fault, {}};
        KeyTreeSnapshot snapshot = CaptureKeyTreeWith(FaultyCalls(), KeyTreeLimits{}, hive(), L"Parent\\Tree", 0);
        g_fault = FaultState{};
        EXPECT_TRUE(snapshot.unreadable);
        EXPECT_TRUE(snapshot.values.empty());
        EXPECT_TRUE(snapshot.children.empty());

        // What the failed operation did stays: nothing of the tree is rebuilt
        // from a partial copy.
        Set(L"Parent\\Tree\\C1", L"changed", REG_DWORD, {1, 0, 0, 0});
        const RegistryDump changed = Dump();
        RestoreKeyTree(hive(), L"Parent\\Tree", 0, snapshot);
        EXPECT_TRUE(SameDump(changed, Dump())) << DescribeDumpDifferences(changed, Dump());
        RegDeleteKeyValueW(hive(), L"Parent\\Tree\\C1", L"changed");
    }
}

TEST_F(SnapshotKeyTree, ATreeBeyondTheLimitsIsUnreadable) {
    // Four keys; 2 + 8 bytes of value name and data.
    Set(L"Parent\\Tree", L"v", REG_BINARY, std::vector<uint8_t>(8, 1));
    ASSERT_EQ(CreateRawKey(hive(), L"Parent\\Tree\\A\\B"), ERROR_SUCCESS);
    ASSERT_EQ(CreateRawKey(hive(), L"Parent\\Tree\\C"), ERROR_SUCCESS);
    struct LimitCase {
        size_t maxDataBytes;
        size_t maxKeys;
        bool unreadable;
    };
    const LimitCase cases[] = {{10, 4, false}, {9, 4, true}, {10, 3, true}, {1000, 1000, false}, {0, 4, true}};
    for (const LimitCase& limit : cases) {
        SCOPED_TRACE(testing::Message() << limit.maxDataBytes << " bytes, " << limit.maxKeys << " keys");
        KeyTreeSnapshot snapshot =
            CaptureKeyTreeWith(KeyTreeReadCalls{}, {limit.maxDataBytes, limit.maxKeys}, hive(), L"Parent\\Tree", 0);
        EXPECT_EQ(snapshot.unreadable, limit.unreadable);
        EXPECT_EQ(snapshot.children.size(), limit.unreadable ? 0u : 2u);
    }
}

TEST_F(SnapshotKeyTree, TheDefaultLimitsAreSixteenMegabytesAndTenThousandKeys) {
    const std::vector<uint8_t> megabyte(1024 * 1024, 0x5A);
    for (int i = 0; i < 15; ++i) Set(L"Parent\\Big", L"m" + std::to_wstring(i), REG_BINARY, megabyte);
    EXPECT_FALSE(CaptureKeyTree(hive(), L"Parent\\Big", 0).unreadable);
    Set(L"Parent\\Big\\below", L"m", REG_BINARY, megabyte);
    Set(L"Parent\\Big\\below", L"n", REG_BINARY, megabyte);
    KeyTreeSnapshot big = CaptureKeyTree(hive(), L"Parent\\Big", 0);
    EXPECT_TRUE(big.unreadable);
    DeleteTree(L"Parent\\Big");

    UniqueRegKey many;
    ASSERT_EQ(RegCreateKeyExW(hive(), L"Parent\\Many", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, many.put(), nullptr),
              ERROR_SUCCESS);
    for (int i = 0; i < 9999; ++i) {
        UniqueRegKey child;
        ASSERT_EQ(RegCreateKeyExW(many.get(), std::to_wstring(i).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                  child.put(), nullptr),
                  ERROR_SUCCESS);
    }
    KeyTreeSnapshot tenThousand = CaptureKeyTree(hive(), L"Parent\\Many", 0);
    EXPECT_FALSE(tenThousand.unreadable);
    EXPECT_EQ(tenThousand.children.size(), 9999u);
    ASSERT_EQ(CreateRawKey(hive(), L"Parent\\Many\\one more"), ERROR_SUCCESS);
    EXPECT_TRUE(CaptureKeyTree(hive(), L"Parent\\Many", 0).unreadable);
}

// A sub-key nobody may read: the tree is unreadable as a whole, and after a
// change and a restore everything in it is still there, byte for byte.
TEST_F(SnapshotKeyTree, AnUnreadableSubKeyKeepsTheWholeTreeAsItIs) {
    Set(L"Parent\\Tree", L"top", REG_SZ, Utf16Bytes(L"top", true));
    Set(L"Parent\\Tree\\Open", L"o", REG_DWORD, {1, 0, 0, 0});
    Set(L"Parent\\Tree\\Locked", L"secret", REG_BINARY, {4, 5, 6});
    Set(L"Parent\\Tree\\Locked\\Deeper", L"", REG_SZ, Utf16Bytes(L"deep", true));
    const RegistryDump before = Dump();
    RestrictedKey locked(hive(), L"Parent\\Tree\\Locked", kNoAccess);
    ASSERT_TRUE(locked.restricted());

    KeyTreeSnapshot snapshot = CaptureKeyTree(hive(), L"Parent\\Tree", 0);
    EXPECT_TRUE(snapshot.unreadable);
    KeyTreeSnapshot lockedItself = CaptureKeyTree(hive(), L"Parent\\Tree\\Locked", 0);
    EXPECT_TRUE(lockedItself.unreadable);

    // The failed operation's change in the readable part stays too: without
    // the rule, the restore's tree deletion would take "top" and "Open" and
    // then fail at "Locked".
    Set(L"Parent\\Tree\\Open", L"changed", REG_DWORD, {2, 0, 0, 0});
    RegistryDump expected = before;
    expected.entries[DumpValueName(hive(), L"Parent\\Tree\\Open", 0, L"changed")] =
        testing_support::DumpValueText(REG_DWORD, "\2\0\0\0", 4);
    RestoreKeyTree(hive(), L"Parent\\Tree", 0, snapshot);
    RestoreKeyTree(hive(), L"Parent\\Tree\\Locked", 0, lockedItself);
    locked.Release();
    EXPECT_TRUE(SameDump(expected, Dump())) << DescribeDumpDifferences(expected, Dump());
}

// ---------------------------------------------------------------------------
// Single values

class SnapshotValue : public SnapshotFixture {};

struct ValueCase {
    const char* label;
    std::wstring path;
    std::wstring name;
    DWORD type;             // REG_NONE with noValue: nothing there
    std::vector<uint8_t> data;
    bool noValue;
};

TEST_F(SnapshotValue, ComesBackOrGoesAwayExactly) {
    const ValueCase cases[] = {
        {"string", L"K\\A", L"s", REG_SZ, Utf16Bytes(L"文本", true), false},
        {"unterminated string", L"K\\A", L"u", REG_SZ, Utf16Bytes(L"abc", false), false},
        {"one-byte expandable string", L"K\\A", L"e", REG_EXPAND_SZ, {'x'}, false},
        {"default value", L"K\\A", L"", REG_MULTI_SZ, Utf16Bytes(std::wstring(L"a\0b\0", 4), true), false},
        {"empty binary", L"K\\A", L"b", REG_BINARY, {}, false},
        {"dword", L"K\\A", L"d", REG_DWORD, {1, 2, 3, 4}, false},
        {"missing value", L"K\\A", L"missing", REG_NONE, {}, true},
        {"missing key", L"K\\Missing", L"v", REG_NONE, {}, true},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.noValue) Set(c.path, c.name, c.type, c.data);
        Set(L"K\\A", L"neighbour", REG_SZ, Utf16Bytes(L"n", true));
        const RegistryDump before = Dump();
        ValueSnapshot snapshot = CaptureValue(hive(), c.path, 0, c.name);
        EXPECT_EQ(snapshot.exists, !c.noValue);
        EXPECT_FALSE(snapshot.unreadable);
        if (!c.noValue) {
            EXPECT_EQ(snapshot.type, c.type);
            EXPECT_EQ(snapshot.data, c.data);
        }
        for (auto change : {0, 1}) {
            if (change == 0) {
                Set(c.path, c.name, REG_QWORD, {1, 1, 1, 1, 1, 1, 1, 1});
            } else {
                RegDeleteKeyValueW(hive(), c.path.c_str(), c.name.c_str());
            }
            RestoreValue(hive(), c.path, 0, c.name, snapshot);
            const RegistryDump after = Dump();
            // The change's write may have made the key; the restore removes
            // only the value.
            RegistryDump expected = before;
            const std::string keyEntry = testing_support::DumpKeyName(hive(), c.path, 0);
            if (expected.entries.count(keyEntry) == 0) expected.entries[keyEntry] = "key";
            EXPECT_TRUE(SameDump(expected, after)) << DescribeDumpDifferences(expected, after);
        }
        DeleteTree(L"K");
    }
}

TEST_F(SnapshotValue, AValueThatCannotBeReadIsNeverDeleted) {
    Set(L"K\\Locked", L"v", REG_BINARY, {1, 2, 3});
    const RegistryDump before = Dump();
    RestrictedKey locked(hive(), L"K\\Locked", kSetValueOnly);
    ASSERT_TRUE(locked.restricted());
    ValueSnapshot snapshot = CaptureValue(hive(), L"K\\Locked", 0, L"v");
    EXPECT_TRUE(snapshot.unreadable);
    EXPECT_FALSE(snapshot.exists);
    // The key allows the delete: only the unreadable mark keeps the value.
    RestoreValue(hive(), L"K\\Locked", 0, L"v", snapshot);
    locked.Release();
    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());

    ValueSnapshot noHive = CaptureValue(nullptr, L"K\\Locked", 0, L"v");
    EXPECT_TRUE(noHive.unreadable);
    RestoreValue(nullptr, L"K\\Locked", 0, L"v", noHive);
    EXPECT_TRUE(SameDump(before, Dump()));
}

// ---------------------------------------------------------------------------
// The COM registration's values

class SnapshotComState : public SnapshotFixture {
protected:
    static constexpr wchar_t kRoot[] = L"Loc";
    std::wstring At(const std::wstring& path) const { return JoinRegistryPath(kRoot, path); }
    void WriteRegistration(const std::wstring& dll) {
        testing_support::WriteClassLayout(hive(), kRoot, 0, dll);
        testing_support::WriteOfficeLayout(hive(), kRoot, 0, L"奎墨", L"奎墨办公插件");
        testing_support::WriteAllowListLayout(hive(), kRoot, 0);
        testing_support::WriteManagedDir(hive(), kRoot, 0, L"C:\\Quilmo\\1.0");
    }
    void RestoreAll(const ComStateSnapshot& snapshot) {
        RestoreComState(hive(), kRoot, 0, true, true, true, snapshot);
    }
};

TEST_F(SnapshotComState, CapturesWhatTheRegistrationWrote) {
    WriteRegistration(L"C:\\Quilmo\\1.0\\ZUDodi32.dll");
    ComStateSnapshot snapshot = CaptureComState(hive(), kRoot, 0, true);
    ASSERT_TRUE(snapshot.captured);
    for (size_t i = 0; i < ComClassTable.size(); ++i) {
        const ComClass& row = ComClassTable[i];
        const ComClassState& state = snapshot.classes[i];
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.progId)));
        EXPECT_TRUE(state.inprocPresent);
        EXPECT_EQ(state.inprocPath, L"C:\\Quilmo\\1.0\\ZUDodi32.dll");
        EXPECT_EQ(state.controlPresent, row.isControl);
        EXPECT_TRUE(state.progIdKeyPresent);
        EXPECT_EQ(state.officeKeyPresent, row.officeHost != nullptr);
        EXPECT_EQ(state.wpsValuePresent, row.wpsHost != nullptr);
        if (row.officeHost != nullptr) {
            EXPECT_TRUE(state.friendlyNameRead && state.descriptionRead && state.loadBehaviorRead &&
                        state.commandLineSafeRead);
            EXPECT_EQ(state.friendlyNameValue, L"奎墨");
            EXPECT_EQ(state.descriptionValue, L"奎墨办公插件");
            EXPECT_EQ(state.loadBehaviorValue, 3u);
            EXPECT_EQ(state.commandLineSafeValue, 0u);
        }
        EXPECT_FALSE(state.classKeyUnreadable || state.progIdKeyUnreadable || state.officeKeyUnreadable ||
                     state.wpsValueUnreadable);
    }
    EXPECT_TRUE(snapshot.managedDirCaptured && snapshot.managedDirRead);
    EXPECT_EQ(snapshot.managedDir, L"C:\\Quilmo\\1.0");
    EXPECT_FALSE(CaptureComState(hive(), kRoot, 0, false).managedDirCaptured);
}

TEST_F(SnapshotComState, RestoreDeletesWhatDidNotExistAndRewritesWhatDid) {
    // Class 1 was registered before; nothing else was.
    const ComClass& excel = ComClassTable[1];
    SetRawString(hive(), At(ComClassKeyPath(excel.clsid)) + L"\\InprocServer32", L"", L"C:\\old\\ZUDodi32.dll");
    SetRawString(hive(), At(ProgIdKeyPath(excel.progId)), L"", L"custom text");
    ComStateSnapshot snapshot = CaptureComState(hive(), kRoot, 0, true);

    WriteRegistration(L"D:\\new\\ZUDodi32.dll");
    RestoreAll(snapshot);

    for (const ComClass& row : ComClassTable) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.progId)));
        bool registered = &row == &excel;
        EXPECT_EQ(RawKeyExists(hive(), At(ComClassKeyPath(row.clsid))), registered);
        EXPECT_EQ(RawKeyExists(hive(), At(ProgIdKeyPath(row.progId))), registered);
        if (row.officeHost != nullptr) {
            EXPECT_FALSE(RawKeyExists(hive(), At(OfficeAddinKeyPath(row.officeHost, row.progId))));
        }
        if (row.wpsHost != nullptr) {
            EXPECT_EQ(RegValueState(hive(), At(WpsAllowListKeyPath(row.wpsHost)), 0, row.progId), ProbeState::Absent);
        }
    }
    std::wstring text;
    ASSERT_TRUE(ReadRegString(hive(), At(ComClassKeyPath(excel.clsid)) + L"\\InprocServer32", 0, nullptr, &text));
    EXPECT_EQ(text, L"C:\\old\\ZUDodi32.dll");
    // An existing ProgID key is rewritten from the table, not from what it held.
    ASSERT_TRUE(ReadRegString(hive(), At(ProgIdKeyPath(excel.progId)), 0, nullptr, &text));
    EXPECT_EQ(text, excel.friendlyName);
    ASSERT_TRUE(ReadRegString(hive(), At(ProgIdKeyPath(excel.progId)) + L"\\CLSID", 0, nullptr, &text));
    EXPECT_EQ(text, excel.clsid);
    EXPECT_EQ(RegValueState(hive(), At(kQuilmoCoreKey), 0, kManagedDirValue), ProbeState::Absent);
}

TEST_F(SnapshotComState, AClassKeyWithoutAStringServerPathIsDeletedWhole) {
    const ComClass& word = ComClassTable[0];
    const std::wstring classKey = At(ComClassKeyPath(word.clsid));
    const std::wstring path = L"%ProgramFiles%\\x.dll";
    SetRawValue(hive(), classKey + L"\\InprocServer32", L"", REG_EXPAND_SZ, path.c_str(), (path.size() + 1) * 2);
    SetRawString(hive(), classKey, L"", L"old");
    ComStateSnapshot snapshot = CaptureComState(hive(), kRoot, 0, false);
    EXPECT_FALSE(snapshot.classes[0].inprocPresent);
    EXPECT_FALSE(snapshot.classes[0].classKeyUnreadable);
    RestoreAll(snapshot);
    EXPECT_FALSE(RawKeyExists(hive(), classKey));
}

TEST_F(SnapshotComState, AllowListValuesComeBackEmptyAndOfficeValuesOnlyWhenTheyWereRead) {
    const ComClass& word = ComClassTable[0];
    const std::wstring allowList = At(WpsAllowListKeyPath(word.wpsHost));
    const std::wstring office = At(OfficeAddinKeyPath(word.officeHost, word.progId));
    SetRawString(hive(), allowList, word.progId, L"not empty");
    SetRawString(hive(), allowList, L"Other.Addin", L"kept");
    SetRawString(hive(), office, L"FriendlyName", L"旧名称");
    SetRawString(hive(), office, L"LoadBehavior", L"3");  // a string: not read, left as it is
    ComStateSnapshot snapshot = CaptureComState(hive(), kRoot, 0, false);
    EXPECT_TRUE(snapshot.classes[0].wpsValuePresent);
    EXPECT_FALSE(snapshot.classes[0].descriptionRead);
    EXPECT_FALSE(snapshot.classes[0].loadBehaviorRead);

    testing_support::WriteOfficeLayout(hive(), kRoot, 0, L"新名称", L"新描述", 3);
    testing_support::WriteAllowListLayout(hive(), kRoot, 0, L"changed");
    RestoreAll(snapshot);

    const RegistryDump after = Dump();
    auto value = [&](const std::wstring& key, const std::wstring& name) {
        auto found = after.entries.find(DumpValueName(hive(), key, 0, name));
        return found == after.entries.end() ? std::string("(none)") : found->second;
    };
    auto text = [](const std::wstring& s) {
        return testing_support::DumpValueText(REG_SZ, s.c_str(), (s.size() + 1) * 2);
    };
    EXPECT_EQ(value(allowList, word.progId), text(L""));
    EXPECT_EQ(value(allowList, L"Other.Addin"), text(L"kept"));
    EXPECT_EQ(value(office, L"FriendlyName"), text(L"旧名称"));
    EXPECT_EQ(value(office, L"Description"), text(L"新描述"));  // was not there: the new one stays
    DWORD three = 3;
    EXPECT_EQ(value(office, L"LoadBehavior"), testing_support::DumpValueText(REG_DWORD, &three, 4));
}

// Entries that exist but cannot be read are never deleted by the restore,
// even where the key's security would allow the deletion.
TEST_F(SnapshotComState, EntriesThatCannotBeReadAreLeftAsTheyAre) {
    const ComClass& host = ComClassTable[3];
    const ComClass& word = ComClassTable[0];
    const std::wstring classKey = At(ComClassKeyPath(host.clsid));
    const std::wstring allowList = At(WpsAllowListKeyPath(word.wpsHost));
    testing_support::WriteClassLayout(hive(), kRoot, 0, L"C:\\Quilmo\\1.0\\ZUDodi32.dll");
    SetRawString(hive(), allowList, word.progId, L"");
    SetRawString(hive(), allowList, L"Other.Addin", L"x");
    const RegistryDump before = Dump();
    RestrictedKey lockedServer(hive(), classKey + L"\\InprocServer32", kNoAccess);
    RestrictedKey lockedList(hive(), allowList, kSetValueOnly);
    ASSERT_TRUE(lockedServer.restricted() && lockedList.restricted());

    ComStateSnapshot snapshot = CaptureComState(hive(), kRoot, 0, true);
    EXPECT_TRUE(snapshot.classes[3].classKeyUnreadable);
    EXPECT_TRUE(snapshot.classes[0].wpsValueUnreadable);
    EXPECT_FALSE(snapshot.classes[0].classKeyUnreadable);

    // The failed registration's other changes are undone as usual.
    RegDeleteTreeW(hive(), At(ProgIdKeyPath(word.progId)).c_str());
    SetRawString(hive(), At(ComClassKeyPath(ComClassTable[1].clsid)) + L"\\InprocServer32", L"", L"D:\\new.dll");
    RestoreAll(snapshot);
    lockedServer.Release();
    lockedList.Release();
    const RegistryDump after = Dump();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
}

TEST_F(SnapshotComState, ManagedDirThatCannotBeReadIsKept) {
    testing_support::WriteManagedDir(hive(), kRoot, 0, L"C:\\Quilmo\\1.0");
    const RegistryDump before = Dump();
    RestrictedKey locked(hive(), At(kQuilmoCoreKey), kSetValueOnly);
    ASSERT_TRUE(locked.restricted());
    ComStateSnapshot snapshot = CaptureComState(hive(), kRoot, 0, true);
    EXPECT_TRUE(snapshot.managedDirUnreadable);
    EXPECT_FALSE(snapshot.managedDirRead);
    RestoreAll(snapshot);
    locked.Release();
    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
}

// ---------------------------------------------------------------------------
// Composed snapshots

class SnapshotComposed : public SnapshotFixture {
protected:
    RegistrationTarget UserTarget() const {
        RegistrationTarget target;
        target.userHive = hive();
        target.machineHive = hive();
        target.user32Root = L"u32";
        target.user64Root = L"u64";
        target.neutralRoot = L"n";
        target.machine32Root = L"m32";
        target.machine64Root = L"m64";
        target.writeMachine = false;
        target.cleanMachine = false;
        target.is64BitWindows = true;
        return target;
    }
};

TEST_F(SnapshotComposed, NeverCapturedSnapshotsRestoreNothing) {
    RegistrationTarget target = UserTarget();
    target.writeMachine = true;
    testing_support::WriteUserRegistration(hive(), target, L"C:\\Quilmo\\1.0");
    for (const RegistryLocation& pass : MachinePasses(target)) {
        testing_support::WriteClassLayout(hive(), pass.root, pass.view, L"C:\\m.dll");
    }
    const RegistryDump before = Dump();

    RestoreInstallSnapshot(target, InstallSnapshot{});
    RestoreRegistrySnapshot(RegistrySnapshot{});
    RestoreCoreRegistrationState(target, CoreRegistrationSnapshot{});
    RestoreComState(hive(), L"u32", 0, true, true, true, ComStateSnapshot{});
    InstallSnapshot discarded;
    CaptureInstallSnapshot(target, &discarded);
    DiscardInstallSnapshot(&discarded);
    EXPECT_FALSE(discarded.registry.valid);
    RestoreInstallSnapshot(target, discarded);

    EXPECT_TRUE(SameDump(before, Dump())) << DescribeDumpDifferences(before, Dump());
}

TEST_F(SnapshotComposed, InstallSnapshotRemovesProgIdKeysARegistrationCreated) {
    RegistrationTarget target = UserTarget();
    const RegistryLocation neutral = UserNeutral(target);
    // One ProgID key existed at the neutral location, with other content.
    const ComClass& ppt = ComClassTable[2];
    SetRawString(hive(), KeyPathAt(neutral, ProgIdKeyPath(ppt.progId)), L"", L"something else");
    InstallSnapshot snapshot;
    CaptureInstallSnapshot(target, &snapshot);
    ASSERT_TRUE(snapshot.registry.valid);

    testing_support::WriteUserRegistration(hive(), target, L"D:\\Quilmo\\2.0");
    RestoreInstallSnapshot(target, snapshot);

    for (const ComClass& row : ComClassTable) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(row.progId)));
        const std::wstring key = KeyPathAt(neutral, ProgIdKeyPath(row.progId));
        EXPECT_EQ(RawKeyExists(hive(), key), &row == &ppt);
        for (const RegistryLocation& pass : UserPasses(target)) {
            EXPECT_FALSE(RawKeyExists(hive(), KeyPathAt(pass, ProgIdKeyPath(row.progId))));
            EXPECT_FALSE(RawKeyExists(hive(), KeyPathAt(pass, ComClassKeyPath(row.clsid))));
        }
    }
    std::wstring text;
    const std::wstring pptKey = KeyPathAt(neutral, ProgIdKeyPath(ppt.progId));
    ASSERT_TRUE(ReadRegString(hive(), pptKey, 0, nullptr, &text));
    EXPECT_EQ(text, ppt.friendlyName);
    ASSERT_TRUE(ReadRegString(hive(), pptKey + L"\\CLSID", 0, nullptr, &text));
    EXPECT_EQ(text, ppt.clsid);
}

TEST_F(SnapshotComposed, CoreSnapshotLeavesTheMachineManagedDirAlone) {
    RegistrationTarget target = UserTarget();
    target.writeMachine = true;
    target.writeUser = false;
    for (const RegistryLocation& pass : MachinePasses(target)) {
        testing_support::WriteManagedDir(hive(), pass.root, pass.view, L"C:\\machine");
    }
    CoreRegistrationSnapshot snapshot = CaptureCoreRegistrationState(target);
    for (const RegistryLocation& pass : MachinePasses(target)) {
        testing_support::WriteClassLayout(hive(), pass.root, pass.view, L"C:\\new.dll");
        testing_support::WriteManagedDir(hive(), pass.root, pass.view, L"D:\\changed");
    }
    RestoreCoreRegistrationState(target, snapshot);
    for (const RegistryLocation& pass : MachinePasses(target)) {
        std::wstring dir;
        ASSERT_TRUE(ReadRegString(hive(), KeyPathAt(pass, kQuilmoCoreKey), 0, kManagedDirValue, &dir));
        EXPECT_EQ(dir, L"D:\\changed");
        EXPECT_FALSE(RawKeyExists(hive(), KeyPathAt(pass, ComClassKeyPath(ComClassTable[0].clsid))));
    }
}

TEST_F(SnapshotComposed, NoHiveIsCapturedAsUnreadableAndRestoredAsNothing) {
    RegistrationTarget target = UserTarget();
    target.userHive = nullptr;
    target.machineHive = nullptr;
    target.writeMachine = true;
    InstallSnapshot install;
    CaptureInstallSnapshot(target, &install);
    const CoreRegistrationSnapshot core = CaptureCoreRegistrationState(target);
    const RegistrySnapshot machine = CaptureMachineSnapshot(target, false);
    EXPECT_TRUE(install.registry.valid && machine.valid);
    for (const RegistrySnapshot* snapshot : {&std::as_const(install.registry), &machine}) {
        for (const KeyTreeEntry& entry : snapshot->trees) EXPECT_TRUE(entry.tree.unreadable);
        for (const ValueEntry& entry : snapshot->values) EXPECT_TRUE(entry.value.unreadable);
    }
    for (const ComStateSnapshot& slot : core.slots) {
        for (const ComClassState& state : slot.classes) {
            EXPECT_TRUE(state.classKeyUnreadable && state.progIdKeyUnreadable);
            EXPECT_FALSE(state.inprocPresent || state.progIdKeyPresent || state.officeKeyPresent);
        }
    }
    RestoreInstallSnapshot(target, install);
    RestoreCoreRegistrationState(target, core);
    RestoreRegistrySnapshot(machine);
}

// Roots whose key names have the longest allowed length work like any other.
TEST_F(SnapshotComposed, RootsOfLongestKeyNamesComeBackExactly) {
    RegistrationTarget target = UserTarget();
    target.user32Root = std::wstring(255, L'三');
    target.user64Root = std::wstring(255, L'六');
    target.neutralRoot = std::wstring(254, L'n') + L".";
    testing_support::WriteUserRegistration(hive(), target, L"C:\\Quilmo\\1.0");
    const RegistryDump before = Dump();
    InstallSnapshot snapshot;
    CaptureInstallSnapshot(target, &snapshot);
    for (const RegistryLocation& pass : UserPasses(target)) {
        testing_support::WriteClassLayout(hive(), pass.root, pass.view, L"D:\\other.dll");
        testing_support::WriteManagedDir(hive(), pass.root, pass.view, L"D:\\other");
        SetRawString(hive(), KeyPathAt(pass, kSavedVstoLoadBehaviorKey), L"Word", L"x");
    }
    testing_support::WriteOfficeLayout(hive(), target.neutralRoot, 0, L"x", L"y", 0);
    RestoreInstallSnapshot(target, snapshot);
    const RegistryDump after = Dump();
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
}

// 32-bit Windows has no 64-bit pass: what lies at its root is neither
// captured nor restored.
TEST_F(SnapshotComposed, WithoutA64BitWindowsNothingAtThe64BitPassIsTouched) {
    RegistrationTarget target = UserTarget();
    target.is64BitWindows = false;
    target.writeMachine = true;
    InstallSnapshot install;
    CaptureInstallSnapshot(target, &install);
    CoreRegistrationSnapshot core = CaptureCoreRegistrationState(target);
    RegistrySnapshot machine = CaptureMachineSnapshot(target, false);
    EXPECT_FALSE(install.slots[1].captured);
    EXPECT_FALSE(core.slots[1].captured);
    EXPECT_FALSE(core.slots[4].captured);
    for (const auto* list : {&install.registry, &machine}) {
        for (const KeyTreeEntry& entry : list->trees) EXPECT_NE(entry.path.rfind(L"u64", 0), 0u);
        for (const KeyTreeEntry& entry : list->trees) EXPECT_NE(entry.path.rfind(L"m64", 0), 0u);
        for (const ValueEntry& entry : list->values) EXPECT_NE(entry.path.rfind(L"u64", 0), 0u);
        for (const ValueEntry& entry : list->values) EXPECT_NE(entry.path.rfind(L"m64", 0), 0u);
    }

    // What a 64-bit pass would hold stays put through every restore.
    testing_support::WriteClassLayout(hive(), L"u64", 0, L"C:\\x64.dll");
    testing_support::WriteClassLayout(hive(), L"m64", 0, L"C:\\x64.dll");
    SetRawString(hive(), L"u64\\" + std::wstring(kLegacyUninstallKey), L"DisplayName", L"legacy");
    SetRawString(hive(), L"m64\\" + ProgIdKeyPath(LegacyComProgIds[0]), L"", L"legacy");
    const RegistryDump dump64 = DumpRegistryTree(hive(), L"u64", 0);
    const RegistryDump dumpM64 = DumpRegistryTree(hive(), L"m64", 0);
    RestoreInstallSnapshot(target, install);
    RestoreCoreRegistrationState(target, core);
    RestoreRegistrySnapshot(machine);
    EXPECT_TRUE(SameDump(dump64, DumpRegistryTree(hive(), L"u64", 0)));
    EXPECT_TRUE(SameDump(dumpM64, DumpRegistryTree(hive(), L"m64", 0)));
}


// ---------------------------------------------------------------------------
// Runs in the 64-bit and in the 32-bit Windows prefix (QUILMO_EXPECT_ARCH,
// through the registry_snapshot_win64 / _win32 tests) with the target's own
// answer to "is this 64-bit Windows".

size_t CountViews(const RegistrySnapshot& snapshot, REGSAM view) {
    size_t count = 0;
    for (const KeyTreeEntry& entry : snapshot.trees) count += (entry.view & view) != 0 ? 1 : 0;
    for (const ValueEntry& entry : snapshot.values) count += (entry.view & view) != 0 ? 1 : 0;
    return count;
}

TEST(SnapshotWindowsBitness, The64BitViewIsCapturedAndRestoredOnlyOn64BitWindows) {
    const char* expected = std::getenv("QUILMO_EXPECT_ARCH");
    ASSERT_NE(expected, nullptr) << "run through the registry_snapshot_win64 / _win32 tests";
    const bool is64 = std::string(expected) == "win64";
    ScratchKey user(CurrentTestName() + L".user");
    ScratchKey machine(CurrentTestName() + L".machine");
    RegistrationTarget target;
    ASSERT_EQ(target.is64BitWindows, is64);
    target.userHive = user.get();
    target.machineHive = machine.get();

    InstallSnapshot install;
    CaptureInstallSnapshot(target, &install);
    const RegistrySnapshot machineSnapshot = CaptureMachineSnapshot(target, false);
    const CoreRegistrationSnapshot core = CaptureCoreRegistrationState(target);
    EXPECT_EQ(install.slots[1].captured, is64);
    EXPECT_EQ(core.slots[1].captured, is64);
    EXPECT_EQ(core.slots[4].captured, is64);
    for (const RegistrySnapshot* snapshot : {&std::as_const(install.registry), &machineSnapshot}) {
        EXPECT_EQ(CountViews(*snapshot, KEY_WOW64_64KEY) > 0, is64);
        EXPECT_EQ(CountViews(*snapshot, KEY_WOW64_32KEY) > 0, is64);
    }
    // One pass or two: the saved load behaviour and the legacy Uninstall and
    // COM ProgID keys have a 64-bit entry each; every machine entry has one.
    EXPECT_EQ(install.registry.trees.size(), is64 ? 35u : 30u);
    EXPECT_EQ(install.registry.values.size(), 21u);
    EXPECT_EQ(machineSnapshot.trees.size(), is64 ? 72u : 36u);
    EXPECT_EQ(machineSnapshot.values.size(), is64 ? 48u : 24u);

    // A failed registration at every user pass is undone in this Windows.
    const RegistryDump before = DumpRegistryTree(user.get(), L"", 0);
    for (const RegistryLocation& pass : UserPasses(target)) {
        testing_support::WriteClassLayout(user.get(), pass.root, pass.view, L"C:\\new\\ZUDodi32.dll");
        testing_support::WriteManagedDir(user.get(), pass.root, pass.view, L"C:\\new");
        SetRawString(user.get(), KeyPathAt(pass, kLegacyUninstallKey), L"DisplayName", L"x", pass.view);
    }
    RestoreInstallSnapshot(target, install);
    RegistryDump after = DumpRegistryTree(user.get(), L"", 0);
    // Only the empty keys above what was written stay.
    for (auto entry = after.entries.begin(); entry != after.entries.end();) {
        const std::string valuePrefix = entry->first + "|value:";
        auto firstValue = after.entries.lower_bound(valuePrefix);
        bool hasValues = firstValue != after.entries.end() && firstValue->first.rfind(valuePrefix, 0) == 0;
        bool keptEmpty = entry->second == "key" && !hasValues && before.entries.count(entry->first) == 0;
        entry = keptEmpty ? after.entries.erase(entry) : std::next(entry);
    }
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
}

}  // namespace
}  // namespace quilmo
