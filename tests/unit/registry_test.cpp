#include "registration/registry.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/unique_handle.h"
#include "support/scratch_registry.h"

namespace quilmo {
namespace {

using testing_support::NextHandleValue;
using testing_support::ScratchKey;

std::wstring TestName() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/') c = '_';
    }
    return std::wstring(name.begin(), name.end());
}

// Every test works below its own key, opened as the "hive" of the calls, so
// even a faulty delete can never reach beyond it.
class Registry : public testing::Test {
protected:
    ScratchKey scratch_{TestName()};

    void SetRaw(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        UniqueRegKey key;
        ASSERT_EQ(RegCreateKeyExW(scratch_.get(), path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    }
    bool KeyExists(const std::wstring& path) {
        UniqueRegKey key;
        return RegOpenKeyExW(scratch_.get(), path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }
};

// A key under the scratch key, with a child and a value, whose security is
// then narrowed to the given rights (always keeping the right to change that
// security again, so the test can clean it up).
class LockedKey {
public:
    LockedKey(HKEY parent, const std::wstring& name, const wchar_t* sddl) : parent_(parent), name_(name) {
        UniqueRegKey key;
        if (RegCreateKeyExW(parent, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) !=
            ERROR_SUCCESS) {
            return;
        }
        UniqueRegKey child;
        RegCreateKeyExW(key.get(), L"Child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, child.put(), nullptr);
        RegSetValueExW(key.get(), L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"x"), 4);
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) return;
        UniqueLocalMemory owned(descriptor);
        locked_ = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    }
    ~LockedKey() {
        UniqueRegKey key;
        if (RegOpenKeyExW(parent_, name_.c_str(), 0, WRITE_DAC, key.put()) == ERROR_SUCCESS) {
            SECURITY_DESCRIPTOR open = {};
            InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
            SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
            RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, &open);
        }
    }
    bool locked() const { return locked_; }

private:
    HKEY parent_;
    std::wstring name_;
    bool locked_ = false;
};

constexpr wchar_t kOnlyChangeSecurity[] = L"D:P(A;;0x40000;;;WD)";  // WRITE_DAC for everyone, nothing else
constexpr wchar_t kReadOnly[] = L"D:P(A;;KR;;;WD)(A;;0x40000;;;WD)";

struct JoinCase {
    const wchar_t* root;
    const wchar_t* sub;
    const wchar_t* joined;
};

TEST(RegistryPath, JoinsWithExactlyOneBackslash) {
    const JoinCase cases[] = {
        {L"", L"Software\\A", L"Software\\A"},    {L"", L"\\Software", L"\\Software"},
        {L"Root", L"", L"Root"},                  {L"Root\\", L"", L"Root\\"},
        {L"Root", L"\\Software", L"Root\\Software"}, {L"Root\\", L"Software", L"Root\\Software"},
        {L"Root", L"Software", L"Root\\Software"}, {L"Root\\", L"\\Software", L"Root\\Software"},
    };
    for (const JoinCase& c : cases) {
        EXPECT_EQ(JoinRegistryPath(c.root, c.sub), c.joined) << "root=" << testing::PrintToString(std::wstring(c.root));
    }
}

TEST(RegistryStates, CombineFoldsUnknownOverPresentOverAbsent) {
    using S = ProbeState;
    EXPECT_EQ(CombineStates({}), S::Absent);
    EXPECT_EQ(CombineStates({S::Absent, S::Absent}), S::Absent);
    EXPECT_EQ(CombineStates({S::Absent, S::Present, S::Absent}), S::Present);
    EXPECT_EQ(CombineStates({S::Present, S::Unknown, S::Absent}), S::Unknown);
    EXPECT_EQ(CombineStates(std::vector<S>{S::Unknown}), S::Unknown);
    EXPECT_EQ(CombineStates(std::vector<S>{}), S::Absent);
    EXPECT_EQ(static_cast<int32_t>(S::Unknown), 2);
}

TEST(RegistryStates, OnlyNotFoundMeansAbsent) {
    EXPECT_EQ(StateFromRegResult(ERROR_SUCCESS), ProbeState::Present);
    EXPECT_EQ(StateFromRegResult(ERROR_FILE_NOT_FOUND), ProbeState::Absent);
    EXPECT_EQ(StateFromRegResult(ERROR_PATH_NOT_FOUND), ProbeState::Absent);
    for (LONG other : {ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_BADKEY, ERROR_KEY_DELETED,
                       ERROR_NOT_ENOUGH_MEMORY, ERROR_MORE_DATA}) {
        EXPECT_EQ(StateFromRegResult(other), ProbeState::Unknown) << other;
    }
}

TEST_F(Registry, StatesOfKeysAndValues) {
    SetRaw(L"Key", L"v", REG_DWORD, "\1\0\0\0", 4);
    HKEY hive = scratch_.get();
    EXPECT_EQ(RegKeyState(hive, L"Key", 0), ProbeState::Present);
    EXPECT_EQ(RegKeyState(hive, L"Missing", 0), ProbeState::Absent);
    EXPECT_EQ(RegKeyState(hive, L"Missing\\Deeper", 0), ProbeState::Absent);
    EXPECT_EQ(RegValueState(hive, L"Key", 0, L"v"), ProbeState::Present);
    EXPECT_EQ(RegValueState(hive, L"Key", 0, L"other"), ProbeState::Absent);
    EXPECT_EQ(RegValueState(hive, L"Key", 0, nullptr), ProbeState::Absent);
    EXPECT_EQ(RegValueState(hive, L"Missing", 0, L"v"), ProbeState::Absent);
    EXPECT_EQ(RegKeyState(nullptr, L"Key", 0), ProbeState::Unknown);
    EXPECT_EQ(RegValueState(nullptr, L"Key", 0, L"v"), ProbeState::Unknown);
}

TEST_F(Registry, KeyThatDeniesReadingIsUnknownNeverAbsent) {
    LockedKey locked(scratch_.get(), L"Locked", kOnlyChangeSecurity);
    ASSERT_TRUE(locked.locked());
    UniqueRegKey probe;
    LONG opened = RegOpenKeyExW(scratch_.get(), L"Locked", 0, KEY_READ, probe.put());
    ASSERT_EQ(opened, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegKeyState(scratch_.get(), L"Locked", 0), ProbeState::Unknown);
    EXPECT_EQ(RegValueState(scratch_.get(), L"Locked", 0, L"v"), ProbeState::Unknown);
    std::wstring text;
    EXPECT_FALSE(ReadRegString(scratch_.get(), L"Locked", 0, L"v", &text));
    // Not knowing is not "already gone": the deletion reports its failure.
    EXPECT_FALSE(DeleteRegValue(scratch_.get(), L"Locked", 0, L"v"));
    EXPECT_FALSE(DeleteRegTree(scratch_.get(), L"Locked\\Child", 0));
}

// Errors other than "not found" that need no security: a key deleted under
// an open handle, and a handle that is no key at all.
TEST_F(Registry, KeyThatFailsForOtherReasonsIsUnknown) {
    SetRaw(L"Doomed\\Sub", L"v", REG_SZ, L"x", 4);
    UniqueRegKey doomed;
    ASSERT_EQ(RegOpenKeyExW(scratch_.get(), L"Doomed", 0, KEY_READ, doomed.put()), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeW(scratch_.get(), L"Doomed"), ERROR_SUCCESS);
    RegDeleteKeyW(scratch_.get(), L"Doomed");
    UniqueRegKey probe;
    LONG opened = RegOpenKeyExW(doomed.get(), L"Sub", 0, KEY_READ, probe.put());
    EXPECT_EQ(opened, ERROR_KEY_DELETED);
    EXPECT_EQ(RegKeyState(doomed.get(), L"Sub", 0), ProbeState::Unknown);
    EXPECT_EQ(RegValueState(doomed.get(), L"", 0, L"v"), ProbeState::Unknown);
    UniqueHandle notAKey(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    HKEY bogus = reinterpret_cast<HKEY>(notAKey.get());
    EXPECT_EQ(RegKeyState(bogus, L"Sub", 0), ProbeState::Unknown);
    EXPECT_EQ(RegValueState(bogus, L"Sub", 0, L"v"), ProbeState::Unknown);
    EXPECT_FALSE(DeleteRegValue(bogus, L"Sub", 0, L"v"));
    EXPECT_FALSE(DeleteRegTree(bogus, L"Sub\\Leaf", 0));
}

TEST_F(Registry, TreeBelowAParentThatCannotBeWrittenIsNotDeleted) {
    LockedKey locked(scratch_.get(), L"ReadOnly", kReadOnly);
    ASSERT_TRUE(locked.locked());
    UniqueRegKey probe;
    ASSERT_EQ(RegOpenKeyExW(scratch_.get(), L"ReadOnly", 0, KEY_WRITE, probe.put()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegKeyState(scratch_.get(), L"ReadOnly\\Child", 0), ProbeState::Present);
    EXPECT_FALSE(DeleteRegTree(scratch_.get(), L"ReadOnly\\Child", 0));
    EXPECT_EQ(RegKeyState(scratch_.get(), L"ReadOnly\\Child", 0), ProbeState::Present);
    // Absent things below it are still "already removed".
    EXPECT_TRUE(DeleteRegTree(scratch_.get(), L"ReadOnly\\Nothing", 0));
    EXPECT_TRUE(DeleteRegValue(scratch_.get(), L"ReadOnly", 0, L"nothing"));
}

TEST_F(Registry, DeleteTreeRemovesAllBelowAndRefusesTopLevelKeys) {
    SetRaw(L"Top\\Leaf\\A\\B", L"v", REG_SZ, L"x", 4);
    SetRaw(L"Top\\Leaf", nullptr, REG_SZ, L"y", 4);
    SetRaw(L"Top\\Sibling", L"v", REG_SZ, L"z", 4);
    HKEY hive = scratch_.get();
    for (const wchar_t* topLevel : {L"Top", L"\\Top", L"Top\\", L""}) {
        EXPECT_FALSE(DeleteRegTree(hive, topLevel, 0)) << topLevel;
    }
    EXPECT_TRUE(KeyExists(L"Top\\Leaf\\A\\B"));
    EXPECT_TRUE(DeleteRegTree(hive, L"Top\\Leaf", 0));
    EXPECT_FALSE(KeyExists(L"Top\\Leaf"));
    EXPECT_TRUE(KeyExists(L"Top\\Sibling"));
    EXPECT_TRUE(DeleteRegTree(hive, L"Top\\Leaf", 0));        // already gone
    EXPECT_TRUE(DeleteRegTree(hive, L"Missing\\Leaf\\X", 0));  // parent missing too
    EXPECT_FALSE(DeleteRegTree(nullptr, L"Top\\Sibling", 0));
}

TEST_F(Registry, DeleteValueTreatsMissingAsRemoved) {
    SetRaw(L"Key", L"v", REG_SZ, L"x", 4);
    SetRaw(L"Key", nullptr, REG_SZ, L"d", 4);
    HKEY hive = scratch_.get();
    EXPECT_TRUE(DeleteRegValue(hive, L"Key", 0, L"v"));
    EXPECT_EQ(RegValueState(hive, L"Key", 0, L"v"), ProbeState::Absent);
    EXPECT_EQ(RegValueState(hive, L"Key", 0, nullptr), ProbeState::Present);
    EXPECT_TRUE(DeleteRegValue(hive, L"Key", 0, nullptr));
    EXPECT_EQ(RegValueState(hive, L"Key", 0, nullptr), ProbeState::Absent);
    EXPECT_TRUE(DeleteRegValue(hive, L"Key", 0, L"v"));
    EXPECT_TRUE(DeleteRegValue(hive, L"Missing\\Key", 0, L"v"));
    EXPECT_EQ(RegKeyState(hive, L"Missing", 0), ProbeState::Absent);  // nothing created on the way
}

TEST_F(Registry, WritesStringsWithTheirTerminatorAndDwordsAsFourBytes) {
    HKEY hive = scratch_.get();
    ASSERT_TRUE(WriteRegString(hive, L"New\\Key", 0, L"s", L"奎墨"));
    ASSERT_TRUE(WriteRegString(hive, L"New\\Key", 0, nullptr, L""));
    ASSERT_TRUE(WriteRegDword(hive, L"New\\Key", 0, L"d", 0x6D8D));
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(hive, L"New\\Key", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    struct Expected {
        const wchar_t* name;
        DWORD type;
        DWORD size;
    };
    for (const Expected& e : {Expected{L"s", REG_SZ, 6}, Expected{nullptr, REG_SZ, 2}, Expected{L"d", REG_DWORD, 4}}) {
        DWORD type = 0;
        DWORD size = 0;
        ASSERT_EQ(RegQueryValueExW(key.get(), e.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, e.type);
        EXPECT_EQ(size, e.size);
    }
    std::wstring text;
    EXPECT_TRUE(ReadRegString(hive, L"New\\Key", 0, L"s", &text));
    EXPECT_EQ(text, L"奎墨");
    EXPECT_FALSE(WriteRegString(nullptr, L"New\\Key", 0, L"s", L"x"));
    EXPECT_FALSE(WriteRegDword(nullptr, L"New\\Key", 0, L"d", 1));
}

// One stored value and what both string readers make of it.
struct StoredValue {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    bool ok;
    std::wstring text;
    bool getOk;  // GetRegString, where it differs: it has no rule for a lone byte
};

void PrintTo(const StoredValue& value, std::ostream* os) { *os << value.name; }

std::vector<BYTE> Bytes(const std::wstring& text, bool withTerminator) {
    const BYTE* first = reinterpret_cast<const BYTE*>(text.c_str());
    size_t size = (text.size() + (withTerminator ? 1 : 0)) * sizeof(wchar_t);
    return std::vector<BYTE>(first, first + size);
}

std::vector<StoredValue> StoredValues() {
    const std::wstring big(kMaxRegStringBytes / 2 + 1, L'a');  // just over 64 KB
    const std::wstring largest(kMaxRegStringBytes / 2 - 1, L'b');  // 64 KB with its terminator
    return {
        {"Plain", REG_SZ, Bytes(L"C:\\Quilmo\\", true), true, L"C:\\Quilmo\\", true},
        {"NoTerminator", REG_SZ, Bytes(L"2025.3.14", false), true, L"2025.3.14", true},
        {"EmbeddedZero", REG_SZ, Bytes(std::wstring(L"ab\0cd", 5), true), true, L"ab", true},
        {"Empty", REG_SZ, {}, true, L"", true},
        {"OnlyTerminator", REG_SZ, Bytes(L"", true), true, L"", true},
        {"OddByte", REG_SZ, {0x41}, false, L"", true},
        {"Expand", REG_EXPAND_SZ, Bytes(L"%TEMP%", true), false, L"", false},
        {"Dword", REG_DWORD, {1, 0, 0, 0}, false, L"", false},
        {"Multi", REG_MULTI_SZ, Bytes(std::wstring(L"a\0", 2), true), false, L"", false},
        {"Binary", REG_BINARY, Bytes(L"abc", true), false, L"", false},
        {"Largest", REG_SZ, Bytes(largest, true), true, largest, true},
        {"Oversized", REG_SZ, Bytes(big, true), false, L"", false},
    };
}

class RegistryStrings : public Registry, public testing::WithParamInterface<StoredValue> {
protected:
    void SetUp() override {
        const StoredValue& v = GetParam();
        SetRaw(L"Values", L"v", v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    }
};

TEST_P(RegistryStrings, ReadRegStringReadsOnlyStrings) {
    std::wstring text = L"stale";
    HANDLE next = NextHandleValue();
    EXPECT_EQ(ReadRegString(scratch_.get(), L"Values", 0, L"v", &text), GetParam().ok);
    EXPECT_EQ(text, GetParam().ok ? GetParam().text : L"");
    EXPECT_EQ(NextHandleValue(), next);
}

TEST_P(RegistryStrings, GetRegStringReadsOnlyStrings) {
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(scratch_.get(), L"Values", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    std::wstring text = L"stale";
    HANDLE next = NextHandleValue();
    EXPECT_EQ(GetRegString(key.get(), L"v", &text), GetParam().getOk);
    EXPECT_EQ(text, GetParam().ok ? GetParam().text : L"");
    EXPECT_EQ(NextHandleValue(), next);
}

INSTANTIATE_TEST_SUITE_P(Values, RegistryStrings, testing::ValuesIn(StoredValues()),
                         [](const testing::TestParamInfo<StoredValue>& info) { return info.param.name; });

TEST_F(Registry, StringReadersFailOnMissingKeysAndValues) {
    SetRaw(L"Key", L"v", REG_SZ, L"x", 4);
    std::wstring text = L"stale";
    EXPECT_FALSE(ReadRegString(scratch_.get(), L"Missing", 0, L"v", &text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(ReadRegString(scratch_.get(), L"Key", 0, L"other", &text));
    EXPECT_FALSE(ReadRegString(nullptr, L"Key", 0, L"v", &text));
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(scratch_.get(), L"Key", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    text = L"stale";
    EXPECT_FALSE(GetRegString(key.get(), L"other", &text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(GetRegString(nullptr, L"v", &text));
}

// Calls the real reader and, right after a size query, lets the value grow
// by one character, the way a concurrent writer would.
struct GrowingValue {
    static HKEY key;
    static int growthsLeft;
    static int calls;
    static LONG WINAPI Read(HKEY k, LPCWSTR sub, LPCWSTR name, DWORD flags, LPDWORD type, PVOID data, LPDWORD size) {
        ++calls;
        LONG result = RegGetValueW(k, sub, name, flags, type, data, size);
        if (data == nullptr && growthsLeft > 0) {
            --growthsLeft;
            std::wstring text(*size / sizeof(wchar_t) + 4, L'g');
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
        return result;
    }
};
HKEY GrowingValue::key = nullptr;
int GrowingValue::growthsLeft = 0;
int GrowingValue::calls = 0;

TEST_F(Registry, GetRegStringRereadsAValueThatGrewInBetween) {
    SetRaw(L"Key", L"v", REG_SZ, L"start", 12);
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(scratch_.get(), L"Key", 0, KEY_READ | KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
    GrowingValue::key = key.get();
    GrowingValue::growthsLeft = 1;
    GrowingValue::calls = 0;
    std::wstring text;
    ASSERT_TRUE(GetRegStringWith(GrowingValue::Read, key.get(), L"v", &text));
    EXPECT_EQ(GrowingValue::calls, 4);  // two rounds of size query and read
    std::wstring stored;
    ASSERT_TRUE(ReadRegString(scratch_.get(), L"Key", 0, L"v", &stored));
    EXPECT_EQ(text, stored);
    EXPECT_GT(text.size(), 5u);
}

TEST_F(Registry, GetRegStringGivesUpOnAValueThatKeepsGrowing) {
    SetRaw(L"Key", L"v", REG_SZ, L"start", 12);
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(scratch_.get(), L"Key", 0, KEY_READ | KEY_SET_VALUE, key.put()), ERROR_SUCCESS);
    GrowingValue::key = key.get();
    GrowingValue::growthsLeft = 100;
    GrowingValue::calls = 0;
    std::wstring text = L"stale";
    EXPECT_FALSE(GetRegStringWith(GrowingValue::Read, key.get(), L"v", &text));
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(GrowingValue::calls, 8);  // four rounds, then no more
}

TEST_F(Registry, NoPrimitiveLeavesAKeyOpen) {
    SetRaw(L"Key\\Sub", L"v", REG_SZ, L"x", 4);
    SetRaw(L"Key", L"d", REG_DWORD, "\1\0\0\0", 4);
    HKEY hive = scratch_.get();
    HANDLE before = NextHandleValue();
    std::wstring text;
    ReadRegString(hive, L"Key\\Sub", 0, L"v", &text);
    ReadRegString(hive, L"Key", 0, L"d", &text);
    ReadRegString(hive, L"Nope", 0, L"d", &text);
    WriteRegString(hive, L"Key\\W", 0, L"s", L"text");
    WriteRegDword(hive, L"Key\\W", 0, L"d", 7);
    RegKeyState(hive, L"Key", 0);
    RegKeyState(hive, L"Nope", 0);
    RegValueState(hive, L"Key", 0, L"d");
    RegValueState(hive, L"Key", 0, L"nope");
    DeleteRegValue(hive, L"Key", 0, L"d");
    DeleteRegValue(hive, L"Key", 0, L"d");
    DeleteRegTree(hive, L"Key\\Sub", 0);
    DeleteRegTree(hive, L"Key\\Sub", 0);
    DeleteRegTree(hive, L"Key", 0);
    EXPECT_EQ(NextHandleValue(), before);
    UniqueRegKey probe;  // the probe does notice a key left open
    ASSERT_EQ(RegOpenKeyExW(hive, L"", 0, KEY_READ, probe.put()), ERROR_SUCCESS);
    EXPECT_NE(NextHandleValue(), before);
}

}  // namespace
}  // namespace quilmo
