// Round trips: the registry after capture, change and restore, dumped with
// plain registry calls and compared with the dump from before.
//
//   - random key trees from a seeded generator (QUILMO_SNAPSHOT_SEED and
//     QUILMO_SNAPSHOT_ROUNDS choose the first seed and the number of rounds;
//     a failure names its seed);
//   - the install and core registration snapshots over what a real update
//     meets: an empty user hive, and the registration of an earlier version.
#include "registration/registry_snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "registration/registration_tables.h"
#include "files/unique_handle.h"
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
using testing_support::DumpRegistry;
using testing_support::DumpRegistryTree;
using testing_support::RegistryDump;
using testing_support::SameDump;
using testing_support::ScratchKey;
using testing_support::SetRawDword;
using testing_support::SetRawString;
using testing_support::SetRawValue;

unsigned long EnvNumber(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoul(text, nullptr, 10) : fallback;
}

// ---------------------------------------------------------------------------
// Random trees

class TreeGenerator {
public:
    TreeGenerator(uint32_t seed, HKEY hive, REGSAM view) : rng_(seed), hive_(hive), view_(view) {}

    // A tree at path with sub-keys down to depth 8 below it.
    void Build(const std::wstring& path) {
        keysLeft_ = 12 + Below(30);
        bigLeft_ = Chance(4) ? 1 : 0;
        BuildKey(path, 0, Chance(3));
    }

    // Random changes at every depth: values added, deleted, retyped and
    // rewritten; keys added and deleted. At least one change is made.
    void Change() {
        size_t changes = 0;
        std::vector<std::wstring> keys = keys_;
        for (const std::wstring& key : keys) {
            if (Gone(key)) continue;
            changes += ChangeKey(key);
        }
        if (changes == 0) {
            const std::wstring& key = keys[Below(keys.size())];
            WriteValue(key, NewName(false), RandomType());
        }
    }

    // A value of its own next to the tree, or (one time in three) none.
    void SetOrDeleteValue(const std::wstring& key, const std::wstring& name) {
        if (Chance(3)) {
            RegDeleteKeyValueW(hive_, key.c_str(), name.c_str());
        } else {
            WriteValue(key, name, RandomType());
        }
    }

    // Forgets the keys built so far, for a tree that was deleted whole.
    void Forget() {
        keys_.clear();
        depths_.clear();
        values_.clear();
        deleted_.clear();
    }

    void DeleteAll(const std::wstring& path) {
        RegDeleteTreeW(hive_, path.c_str());
        RegDeleteKeyExW(hive_, path.c_str(), view_, 0);
    }

private:
    static constexpr int kMaxDepth = 8;

    uint32_t Below(size_t n) { return n == 0 ? 0 : static_cast<uint32_t>(rng_() % n); }
    bool Chance(uint32_t oneIn) { return Below(oneIn) == 0; }

    std::wstring NewName(bool forKey) {
        static const wchar_t* const kPieces[] = {L"键", L"值 名", L"a.b", L"中文 名.x", L" lead", L"trail ", L"点.点.",
                                                  L"数据", L"Ω", L"x", L"Name", L"名 称"};
        std::wstring name = kPieces[Below(std::size(kPieces))];
        if (!forKey && Chance(12)) name += L"\\带\\反斜杠";  // value names may hold backslashes
        name += L"-" + std::to_wstring(serial_++);
        return name;
    }

    DWORD RandomType() {
        static const DWORD kTypes[] = {REG_SZ,     REG_SZ,    REG_EXPAND_SZ,         REG_MULTI_SZ,
                                       REG_BINARY, REG_BINARY, REG_DWORD,            REG_DWORD_BIG_ENDIAN,
                                       REG_QWORD,  REG_NONE,   REG_RESOURCE_LIST, 0x80000001};
        return kTypes[Below(std::size(kTypes))];
    }

    std::vector<uint8_t> Text(size_t maxUnits) {
        static const wchar_t kChars[] = L"abcXYZ 0.\\%奎墨中文值";
        std::vector<uint8_t> bytes;
        size_t units = Below(maxUnits + 1);
        for (size_t i = 0; i < units; ++i) {
            wchar_t c = kChars[Below(std::size(kChars) - 1)];
            bytes.push_back(static_cast<uint8_t>(c & 0xFF));
            bytes.push_back(static_cast<uint8_t>(c >> 8));
        }
        return bytes;
    }

    std::vector<uint8_t> Data(DWORD type) {
        std::vector<uint8_t> data;
        switch (type) {
            case REG_SZ:
            case REG_EXPAND_SZ: {
                data = Text(24);
                uint32_t ending = Below(6);
                if (ending < 3) data.insert(data.end(), {0, 0});            // terminated
                if (ending == 3 && !data.empty()) data.pop_back();         // odd byte count
                if (ending == 4) data.clear();                               // no bytes at all
                break;                                                       // 5: unterminated
            }
            case REG_MULTI_SZ: {
                for (uint32_t i = Below(4); i > 0; --i) {
                    std::vector<uint8_t> part = Text(8);
                    data.insert(data.end(), part.begin(), part.end());
                    data.insert(data.end(), {0, 0});
                }
                if (!Chance(5)) data.insert(data.end(), {0, 0});
                break;
            }
            case REG_DWORD:
            case REG_DWORD_BIG_ENDIAN: data.resize(4); break;
            case REG_QWORD: data.resize(8); break;
            default: data.resize(Chance(3) ? 0 : Below(64)); break;
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) {
            for (uint8_t& b : data) b = static_cast<uint8_t>(rng_());
        }
        if (bigLeft_ > 0 && type == REG_BINARY && Chance(3)) {
            --bigLeft_;
            data.resize(1024 * 1024);
            for (size_t i = 0; i < data.size(); i += 997) data[i] = static_cast<uint8_t>(rng_());
        }
        return data;
    }

    void WriteValue(const std::wstring& key, const std::wstring& name, DWORD type) {
        std::vector<uint8_t> data = Data(type);
        ASSERT_EQ(SetRawValue(hive_, key, name, type, data.data(), data.size(), view_), ERROR_SUCCESS);
        std::vector<std::wstring>& names = values_[key];
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }

    void BuildKey(const std::wstring& path, int depth, bool spine) {
        ASSERT_EQ(CreateRawKey(hive_, path, view_), ERROR_SUCCESS);
        keys_.push_back(path);
        depths_[path] = depth;
        for (uint32_t i = Below(5); i > 0; --i) WriteValue(path, NewName(false), RandomType());
        if (Chance(3)) WriteValue(path, L"", RandomType());  // the default value
        if (depth >= kMaxDepth) return;
        uint32_t children = Below(4);
        if (spine && children == 0) children = 1;  // the first child carries the spine on
        for (uint32_t i = 0; i < children && keysLeft_ > 0; ++i) {
            --keysLeft_;
            BuildKey(path + L"\\" + NewName(true), depth + 1, spine && i == 0);
        }
    }

    size_t ChangeKey(const std::wstring& key) {
        size_t changes = 0;
        std::vector<std::wstring>& names = values_[key];
        if (Chance(3)) {  // add a value
            WriteValue(key, NewName(false), RandomType());
            ++changes;
        }
        if (!names.empty() && Chance(3)) {  // delete a value
            size_t at = Below(names.size());
            RegDeleteKeyValueW(hive_, key.c_str(), names[at].c_str());
            names.erase(names.begin() + at);
            ++changes;
        }
        if (!names.empty() && Chance(3)) {  // retype a value (or rewrite it with its own type)
            WriteValue(key, names[Below(names.size())], RandomType());
            ++changes;
        }
        if (Chance(6)) {  // add a sub-key with content
            keysLeft_ = 3;
            BuildKey(key + L"\\" + NewName(true), depths_[key] + 1, false);
            ++changes;
        }
        if (key != keys_.front() && Chance(8)) {  // delete the key with everything below it
            DeleteAll(key);
            deleted_.push_back(key + L"\\");
            ++changes;
        }
        return changes;
    }

    bool Gone(const std::wstring& key) const {
        for (const std::wstring& prefix : deleted_) {
            if ((key + L"\\").rfind(prefix, 0) == 0) return true;
        }
        return false;
    }

    std::mt19937 rng_;
    HKEY hive_;
    REGSAM view_;
    size_t keysLeft_ = 0;
    int bigLeft_ = 0;
    unsigned serial_ = 0;
    std::vector<std::wstring> keys_;
    std::map<std::wstring, int> depths_;
    std::map<std::wstring, std::vector<std::wstring>> values_;
    std::vector<std::wstring> deleted_;
};

// What the rounds covered, counted from the dumps taken before each change.
struct DumpStats {
    size_t keys = 0;
    size_t values = 0;
    size_t emptyValues = 0;
    size_t megabyteValues = 0;
    size_t deepest = 0;
    size_t bytes = 0;
};

void CountDumped(const RegistryDump& dump, DumpStats* stats) {
    for (const auto& entry : dump.entries) {
        size_t hex = entry.second.find(" bytes: ");
        if (hex == std::string::npos) {
            ++stats->keys;
            size_t depth = static_cast<size_t>(std::count(entry.first.begin(), entry.first.end(), '\\'));
            // Entry names are "hive|view|RT\Tree\..."; the tree itself is depth 0.
            if (depth >= 1) stats->deepest = std::max(stats->deepest, depth - 1);
            continue;
        }
        size_t bytes = (entry.second.size() - hex - 8) / 2;
        ++stats->values;
        stats->bytes += bytes;
        if (bytes == 0) ++stats->emptyValues;
        if (bytes == 1024 * 1024) ++stats->megabyteValues;
    }
}

class SnapshotRoundTrip : public ::testing::Test {
protected:
    ScratchKey scratch_{CurrentTestName()};
};

TEST_F(SnapshotRoundTrip, RandomTreesComeBackByteForByte) {
    const unsigned long firstSeed = EnvNumber("QUILMO_SNAPSHOT_SEED", 20261210);
    const unsigned long rounds = EnvNumber("QUILMO_SNAPSHOT_ROUNDS", 300);
    const std::wstring parent = L"RT";
    const std::wstring root = L"RT\\Tree";
    const REGSAM views[] = {0, KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    DumpStats stats;
    auto started = std::chrono::steady_clock::now();
    for (unsigned long round = 0; round < rounds; ++round) {
        const uint32_t seed = static_cast<uint32_t>(firstSeed + round);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " (rerun with QUILMO_SNAPSHOT_SEED=" << seed
                                        << " QUILMO_SNAPSHOT_ROUNDS=1)");
        const REGSAM view = views[seed % 3];
        HKEY hive = scratch_.get();
        TreeGenerator generator(seed, hive, view);
        ASSERT_EQ(CreateRawKey(hive, parent, view), ERROR_SUCCESS);
        // One round in ten starts without the tree: the restore must remove
        // what the change created.
        const bool startAbsent = seed % 10 == 7;
        generator.Build(root);
        if (startAbsent) {
            generator.DeleteAll(root);
            generator.Forget();
        }
        const std::wstring valueNames[] = {L"", L"值 一", L"value.two"};
        for (const std::wstring& name : valueNames) generator.SetOrDeleteValue(parent, name);
        const RegistryDump before = DumpRegistryTree(hive, parent, view);

        // The tree and the values beside it, as the pipeline's snapshots
        // hold them.
        RegistrySnapshot snapshot;
        snapshot.trees.push_back({hive, root, view, CaptureKeyTree(hive, root, view)});
        for (const std::wstring& name : valueNames) {
            snapshot.values.push_back({hive, parent, view, name, CaptureValue(hive, parent, view, name)});
        }
        snapshot.valid = true;
        ASSERT_FALSE(snapshot.trees[0].tree.unreadable);
        ASSERT_EQ(snapshot.trees[0].tree.exists, !startAbsent);
        CountDumped(before, &stats);

        if (startAbsent) {
            generator.Build(root);  // the failed operation made the whole tree
        } else {
            generator.Change();
        }
        if (seed % 10 == 3) generator.DeleteAll(root);
        for (const std::wstring& name : valueNames) generator.SetOrDeleteValue(parent, name);
        const RegistryDump changed = DumpRegistryTree(hive, parent, view);
        ASSERT_FALSE(SameDump(before, changed)) << "the change changed nothing";

        RestoreRegistrySnapshot(snapshot);
        const RegistryDump after = DumpRegistryTree(hive, parent, view);
        ASSERT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);
        generator.DeleteAll(parent);
    }
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[ round trip ] %lu rounds, seeds %lu..%lu, %.1f s: %zu keys (deepest %zu below the tree), %zu values "
                "(%zu of 0 bytes, %zu of 1 MB), %.1f MB of value data\n",
                rounds, firstSeed, firstSeed + rounds - 1, seconds, stats.keys, stats.deepest, stats.values,
                stats.emptyValues, stats.megabyteValues, stats.bytes / 1048576.0);
}

// ---------------------------------------------------------------------------
// What a real update meets

// The dump with its entry names upper-cased: registry names are
// case-insensitive and a key keeps the spelling of whoever created it first
// ("Software" or "SOFTWARE").
std::string Folded(std::string name) {
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

RegistryDump Folded(const RegistryDump& dump) {
    RegistryDump folded;
    for (const auto& entry : dump.entries) folded.entries[Folded(entry.first)] = entry.second;
    return folded;
}

std::string StringText(const std::wstring& text) {
    return testing_support::DumpValueText(REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

std::string DwordText(DWORD value) { return testing_support::DumpValueText(REG_DWORD, &value, sizeof(value)); }

// A key path the test changes, and how the snapshot covers it.
enum class Cover {
    Tree,         // copied whole: comes back exactly, or is removed when it was absent
    ComKey,       // COM state: rewritten when it existed (additions stay), removed when it was absent
    ValueHolder,  // holds captured values only: the key and additions stay
};

struct Place {
    std::wstring path;  // relative to the scratch key
    Cover cover;
};

struct UpdateScenario {
    const char* label;
    bool redirectedRoots;  // u32 / u64 / n below the scratch key, else all roots empty (views 32 / 64)
};

void PrintTo(const UpdateScenario& scenario, std::ostream* out) { *out << scenario.label; }

class SnapshotRealUpdate : public ::testing::TestWithParam<UpdateScenario> {
protected:
    ScratchKey scratch_{CurrentTestName()};
    HKEY hive() const { return scratch_.get(); }

    RegistrationTarget Target() const {
        RegistrationTarget target;
        target.userHive = hive();
        target.machineHive = nullptr;
        target.writeMachine = false;
        target.cleanMachine = false;
        target.is64BitWindows = true;
        if (GetParam().redirectedRoots) {
            target.user32Root = L"u32";
            target.user64Root = L"u64";
            target.neutralRoot = L"n";
        }
        return target;
    }

    RegistryDump Dump() const { return Folded(DumpRegistryTree(hive(), L"", 0)); }
    std::string KeyEntry(const std::wstring& path) const {
        return Folded(testing_support::DumpKeyName(hive(), path, 0));
    }
    std::string ValueEntry(const std::wstring& path, const std::wstring& name) const {
        return Folded(testing_support::DumpValueName(hive(), path, 0, name));
    }

    // An earlier version's complete registration, with leftovers of the
    // older generations that the install snapshot also covers.
    void WritePreviousVersion(const RegistrationTarget& target) {
        testing_support::WriteUserRegistration(hive(), target, L"C:\\Users\\用户\\AppData\\Local\\Quilmo\\2.3.0");
        const RegistryLocation neutral = UserNeutral(target);
        // WPS once wrote its own data into one allow-list value.
        SetRawString(hive(), KeyPathAt(neutral, WpsAllowListKeyPath(L"WPS")), L"Quilmo2027.Word", L"1");
        SetRawString(hive(), KeyPathAt(neutral, WpsAllowListKeyPath(L"WPS")), L"Other.Addin", L"");

        const RegistryLocation user32 = User32Pass(target);
        SetRawDword(hive(), KeyPathAt(user32, kSavedVstoLoadBehaviorKey), L"Word", 3, user32.view);
        const std::wstring vsto = KeyPathAt(neutral, OfficeAddinKeyPath(L"Word", L"Quilmo2025.Word"));
        SetRawString(hive(), vsto, L"Manifest", L"file:///C:/Quilmo/Quilmo2025.Word.vsto|vstolocal");
        SetRawDword(hive(), vsto, L"LoadBehavior", 3);
        SetRawString(hive(), KeyPathAt(neutral, WpsAllowListKeyPath(L"WPS")), L"Quilmo2025.Word", L"");
        SetRawString(hive(), KeyPathAt(neutral, kLegacyUninstallKey), L"DisplayName", L"奎墨");
        SetRawString(hive(), KeyPathAt(neutral, ProgIdKeyPath(L"Quilmo.Word")) + L"\\CLSID", L"", L"{0000}");
    }

    // Where the snapshots cover something, listed here independently of the
    // snapshot code.
    std::vector<Place> ComPlaces(const RegistrationTarget& target) const {
        std::vector<Place> places;
        const RegistryLocation neutral = UserNeutral(target);
        for (const RegistryLocation& pass : UserPasses(target)) {
            for (const ComClass& row : ComClassTable) {
                places.push_back({KeyPathAt(pass, ComClassKeyPath(row.clsid)), Cover::ComKey});
                places.push_back({KeyPathAt(pass, ComClassKeyPath(row.clsid)) + L"\\InprocServer32", Cover::ComKey});
                places.push_back({KeyPathAt(pass, ProgIdKeyPath(row.progId)), Cover::ComKey});
            }
            places.push_back({KeyPathAt(pass, kQuilmoCoreKey), Cover::ValueHolder});
        }
        for (const ComClass& row : ComClassTable) {
            places.push_back({KeyPathAt(neutral, ProgIdKeyPath(row.progId)), Cover::ComKey});
            if (row.officeHost != nullptr) {
                places.push_back({KeyPathAt(neutral, OfficeAddinKeyPath(row.officeHost, row.progId)), Cover::ComKey});
            }
            if (row.wpsHost != nullptr) {
                places.push_back({KeyPathAt(neutral, WpsAllowListKeyPath(row.wpsHost)), Cover::ValueHolder});
            }
        }
        return places;
    }

    std::vector<Place> LegacyTreePlaces(const RegistrationTarget& target) const {
        std::vector<Place> places;
        const RegistryLocation neutral = UserNeutral(target);
        const std::vector<RegistryLocation> passes = UserPasses(target);
        for (const RegistryLocation& pass : passes) {
            places.push_back({KeyPathAt(pass, kSavedVstoLoadBehaviorKey), Cover::Tree});
            places.push_back({KeyPathAt(pass, kLegacyUninstallKey), Cover::Tree});
            for (const wchar_t* progId : LegacyComProgIds) {
                places.push_back({KeyPathAt(pass, ProgIdKeyPath(progId)), Cover::Tree});
            }
        }
        places.push_back({KeyPathAt(neutral, kLegacyUninstallKey), Cover::Tree});
        for (const wchar_t* progId : LegacyComProgIds) {
            places.push_back({KeyPathAt(neutral, ProgIdKeyPath(progId)), Cover::Tree});
        }
        for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
            places.push_back({KeyPathAt(neutral, OfficeAddinKeyPath(row.officeHost, row.addinName)), Cover::Tree});
        }
        for (const wchar_t* office : OfficeHostNames) {
            for (const wchar_t* progId : LegacyProgIds) {
                places.push_back({KeyPathAt(neutral, OfficeAddinKeyPath(office, progId)), Cover::Tree});
            }
        }
        return places;
    }

    // The legacy allow-list values at the neutral location.
    std::vector<std::pair<std::wstring, std::wstring>> LegacyValues(const RegistrationTarget& target) const {
        std::vector<std::pair<std::wstring, std::wstring>> values;
        const RegistryLocation neutral = UserNeutral(target);
        for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
            values.push_back({KeyPathAt(neutral, WpsAllowListKeyPath(row.wpsHost)), row.addinName});
        }
        for (const wchar_t* wps : WpsHostNames) {
            for (const wchar_t* progId : LegacyProgIds) {
                values.push_back({KeyPathAt(neutral, WpsAllowListKeyPath(wps)), progId});
            }
        }
        return values;
    }

    // A registration of another version in another directory that then
    // fails: every value rewritten, a "Control" key under a class that has
    // none, and a value and a key added in every covered place.
    void FailedUpdate(const RegistrationTarget& target, const std::vector<Place>& places, bool withLegacy) {
        const std::wstring dir = L"D:\\其他\\Quilmo\\2.4.0";
        for (const RegistryLocation& pass : UserPasses(target)) {
            testing_support::WriteClassLayout(hive(), pass.root, pass.view, dir + L"\\ZUDodi32.dll");
            SetRawString(hive(), KeyPathAt(pass, ComClassKeyPath(ComClassTable[0].clsid)) + L"\\Control", L"", L"",
                         pass.view);
            testing_support::WriteManagedDir(hive(), pass.root, pass.view, dir);
        }
        const RegistryLocation neutral = UserNeutral(target);
        testing_support::WriteOfficeLayout(hive(), neutral.root, 0, L"新名称", L"新描述", 9);
        testing_support::WriteAllowListLayout(hive(), neutral.root, 0, L"changed");
        for (const Place& place : places) {
            SetRawDword(hive(), place.path, L"Added", 1);
            ASSERT_EQ(CreateRawKey(hive(), place.path + L"\\AddedKey\\Deeper"), ERROR_SUCCESS);
        }
        if (!withLegacy) return;
        for (const auto& value : LegacyValues(target)) SetRawDword(hive(), value.first, value.second, 7);
    }

    // The dump the restore must give: the one from before, plus what the
    // restore rules keep on purpose.
    RegistryDump Expected(const RegistryDump& before, const std::vector<Place>& places, bool previousVersion,
                          const RegistrationTarget& target) const {
        RegistryDump expected = before;
        std::vector<std::wstring> removed;  // places absent before: removed whole
        for (const Place& place : places) {
            bool existed = before.entries.count(KeyEntry(place.path)) != 0;
            if (place.cover == Cover::ValueHolder || (place.cover == Cover::ComKey && existed)) {
                expected.entries[KeyEntry(place.path)] = "key";
                expected.entries[ValueEntry(place.path, L"Added")] = DwordText(1);
                expected.entries[KeyEntry(place.path + L"\\AddedKey")] = "key";
                expected.entries[KeyEntry(place.path + L"\\AddedKey\\Deeper")] = "key";
            } else if (!existed) {
                removed.push_back(place.path + L"\\");
            }
        }
        // Keys above the covered places that the failed registration created
        // stay (empty): no restore deletes a key it did not capture.
        for (const Place& place : places) {
            for (size_t slash = place.path.find(L'\\'); slash != std::wstring::npos;
                 slash = place.path.find(L'\\', slash + 1)) {
                const std::wstring ancestor = place.path.substr(0, slash);
                bool insideRemoved = std::any_of(removed.begin(), removed.end(), [&](const std::wstring& prefix) {
                    return (ancestor + L"\\").rfind(prefix, 0) == 0;
                });
                if (!insideRemoved) expected.entries.emplace(KeyEntry(ancestor), "key");
            }
        }
        if (previousVersion) {
            // A "Control" key added under a class key that existed stays, and
            // an allow-list value comes back as "" whatever it held.
            for (const RegistryLocation& pass : UserPasses(target)) {
                const std::wstring control = KeyPathAt(pass, ComClassKeyPath(ComClassTable[0].clsid)) + L"\\Control";
                expected.entries[KeyEntry(control)] = "key";
                expected.entries[ValueEntry(control, L"")] = StringText(L"");
            }
            const RegistryLocation neutral = UserNeutral(target);
            expected.entries[ValueEntry(KeyPathAt(neutral, WpsAllowListKeyPath(L"WPS")), L"Quilmo2027.Word")] =
                StringText(L"");
        }
        return expected;
    }
};

TEST_P(SnapshotRealUpdate, InstallSnapshotGivesBackAnEmptyHive) {
    const RegistrationTarget target = Target();
    const RegistryDump before = Dump();
    InstallSnapshot snapshot;
    CaptureInstallSnapshot(target, &snapshot);
    std::vector<Place> places = ComPlaces(target);
    for (const Place& place : LegacyTreePlaces(target)) places.push_back(place);
    FailedUpdate(target, places, true);
    RestoreInstallSnapshot(target, snapshot);
    DiscardInstallSnapshot(&snapshot);
    const RegistryDump expected = Expected(before, places, false, target);
    const RegistryDump after = Dump();
    EXPECT_TRUE(SameDump(expected, after)) << DescribeDumpDifferences(expected, after, 40);
}

TEST_P(SnapshotRealUpdate, InstallSnapshotGivesBackAnEarlierVersionsRegistration) {
    const RegistrationTarget target = Target();
    WritePreviousVersion(target);
    const RegistryDump before = Dump();
    InstallSnapshot snapshot;
    CaptureInstallSnapshot(target, &snapshot);
    std::vector<Place> places = ComPlaces(target);
    for (const Place& place : LegacyTreePlaces(target)) places.push_back(place);
    FailedUpdate(target, places, true);
    ASSERT_FALSE(SameDump(before, Dump()));
    RestoreInstallSnapshot(target, snapshot);
    const RegistryDump expected = Expected(before, places, true, target);
    const RegistryDump after = Dump();
    EXPECT_TRUE(SameDump(expected, after)) << DescribeDumpDifferences(expected, after, 40);
}

TEST_P(SnapshotRealUpdate, CoreSnapshotGivesBackAnEmptyHiveAndAnEarlierRegistration) {
    for (bool previousVersion : {false, true}) {
        SCOPED_TRACE(previousVersion ? "earlier registration" : "empty hive");
        const RegistrationTarget target = Target();
        RegDeleteTreeW(hive(), nullptr);
        if (previousVersion) WritePreviousVersion(target);
        const RegistryDump before = Dump();
        CoreRegistrationSnapshot snapshot = CaptureCoreRegistrationState(target);
        const std::vector<Place> places = ComPlaces(target);
        FailedUpdate(target, places, false);
        RestoreCoreRegistrationState(target, snapshot);
        const RegistryDump expected = Expected(before, places, previousVersion, target);
        const RegistryDump after = Dump();
        EXPECT_TRUE(SameDump(expected, after)) << DescribeDumpDifferences(expected, after, 40);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, SnapshotRealUpdate,
                         testing::Values(UpdateScenario{"redirected roots", true},
                                         UpdateScenario{"all roots empty", false}),
                         [](const testing::TestParamInfo<UpdateScenario>& info) {
                             return std::string(info.param.redirectedRoots ? "RedirectedRoots" : "EmptyRoots");
                         });


// ---------------------------------------------------------------------------
// The real user hive with the pipeline's target (all roots empty), where the
// 32-bit and the 64-bit view of the user's classes are separate keys when the
// prefix splits them as 64-bit Windows does. The product's keys are set aside
// first and put back afterwards.

// A key of the real hive in one view, copied aside and put back (or removed
// again when there was none).
class SavedViewKey {
public:
    SavedViewKey(const std::wstring& path, REGSAM view, const std::wstring& backupName)
        : path_(path), view_(view), backup_(L"Backup\\" + backupName) {
        UniqueRegKey source;
        existed_ = RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ | view_, source.put()) ==
                   ERROR_SUCCESS;
        if (existed_) RegCopyTreeW(source.get(), nullptr, backup_.get());
    }
    ~SavedViewKey() {
        DeleteRegTree(HKEY_CURRENT_USER, path_, view_);
        if (!existed_) return;
        UniqueRegKey restored;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view_, nullptr,
                            restored.put(), nullptr) == ERROR_SUCCESS) {
            RegCopyTreeW(backup_.get(), nullptr, restored.get());
        }
    }
    SavedViewKey(const SavedViewKey&) = delete;
    SavedViewKey& operator=(const SavedViewKey&) = delete;

private:
    std::wstring path_;
    REGSAM view_;
    ScratchKey backup_;
    bool existed_ = false;
};

TEST(SnapshotUserHive, TheInstallSnapshotGivesBackBothViewsOfTheRealUserHive) {
    RegistrationTarget target;
    target.writeMachine = false;
    target.cleanMachine = false;
    if (!target.is64BitWindows) GTEST_SKIP() << "the 64-bit prefix's test (registry_snapshot_win32 covers 32-bit)";
    const REGSAM views[] = {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    std::vector<std::unique_ptr<SavedViewKey>> saved;
    std::vector<testing_support::DumpRoot> roots;
    int serial = 0;
    auto keep = [&](const std::wstring& path, REGSAM view) {
        saved.push_back(std::make_unique<SavedViewKey>(path, view, CurrentTestName() + std::to_wstring(serial++)));
        roots.push_back({HKEY_CURRENT_USER, path, view});
    };
    for (REGSAM view : views) {
        for (const ComClass& row : ComClassTable) {
            keep(ComClassKeyPath(row.clsid), view);
            keep(ProgIdKeyPath(row.progId), view);
        }
        for (const wchar_t* progId : LegacyComProgIds) keep(ProgIdKeyPath(progId), view);
    }
    keep(L"Software\\QuilmoStudio", 0);
    keep(L"SOFTWARE\\Microsoft\\Office", 0);
    keep(L"SOFTWARE\\Kingsoft", 0);
    keep(kLegacyUninstallKey, 0);

    const std::wstring dir = L"C:\\Users\\用户\\AppData\\Local\\Quilmo\\2.3.0";
    testing_support::WriteClassLayout(HKEY_CURRENT_USER, L"", KEY_WOW64_32KEY, dir + L"\\ZUDodi32.dll");
    testing_support::WriteClassLayout(HKEY_CURRENT_USER, L"", KEY_WOW64_64KEY, dir + L"\\REDero64.dll");
    testing_support::WriteManagedDir(HKEY_CURRENT_USER, L"", 0, dir);
    testing_support::WriteOfficeLayout(HKEY_CURRENT_USER, L"", 0, L"奎墨", L"奎墨办公插件");
    testing_support::WriteAllowListLayout(HKEY_CURRENT_USER, L"", 0);
    SetRawString(HKEY_CURRENT_USER, kLegacyUninstallKey, L"DisplayName", L"奎墨 2025");
    const RegistryDump before = DumpRegistry(roots);
    std::wstring inproc32;
    std::wstring inproc64;
    const std::wstring server = ComClassKeyPath(ComClassTable[0].clsid) + L"\\InprocServer32";
    ReadRegString(HKEY_CURRENT_USER, server, KEY_WOW64_32KEY, nullptr, &inproc32);
    ReadRegString(HKEY_CURRENT_USER, server, KEY_WOW64_64KEY, nullptr, &inproc64);
    std::printf("[ user hive ] the prefix %s the user's classes between the two views\n",
                inproc32 != inproc64 ? "splits" : "does not split");

    InstallSnapshot snapshot;
    CaptureInstallSnapshot(target, &snapshot);
    const std::wstring other = L"D:\\其他\\2.4.0";
    testing_support::WriteClassLayout(HKEY_CURRENT_USER, L"", KEY_WOW64_32KEY, other + L"\\ZUDodi32.dll");
    testing_support::WriteClassLayout(HKEY_CURRENT_USER, L"", KEY_WOW64_64KEY, other + L"\\REDero64.dll");
    testing_support::WriteManagedDir(HKEY_CURRENT_USER, L"", KEY_WOW64_32KEY, other);
    testing_support::WriteOfficeLayout(HKEY_CURRENT_USER, L"", 0, L"新", L"新", 2);
    DeleteRegTree(HKEY_CURRENT_USER, kLegacyUninstallKey, 0);
    ASSERT_FALSE(SameDump(before, DumpRegistry(roots)));
    RestoreInstallSnapshot(target, snapshot);
    const RegistryDump after = DumpRegistry(roots);
    EXPECT_TRUE(SameDump(before, after)) << DescribeDumpDifferences(before, after);

    saved.clear();
    // The backups' parent, when nothing else is kept there.
    RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(testing_support::kTestsKey) + L"\\Backup").c_str());
}

}  // namespace
}  // namespace quilmo
