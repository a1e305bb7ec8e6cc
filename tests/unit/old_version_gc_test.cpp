// The old-version collector on real trees below a scratch install base:
// what it deletes, what it keeps and why, and that nothing outside the base
// is ever touched.
#include "files/old_version_gc.h"

#include "files/gc_rules.h"
#include "files/path_text.h"
#include "files/text_encoding.h"
#include "registration/registered_directories.h"
#include "registration/registration_tables.h"
#include "support/link_doubles.h"
#include "support/log_reader.h"
#include "support/scratch_dir.h"
#include "support/scratch_registry.h"
#include "support/test_registry_key.h"

#include <gtest/gtest.h>


#include <functional>
#include <map>
#include <memory>

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::HandleShowsLink;
using testing_support::IdentityOf;
using testing_support::ListingShowsLink;
using testing_support::MakeDirectories;
using testing_support::ReadBytes;
using testing_support::SavedUserKey;
using testing_support::ScratchDir;
using testing_support::Snapshot;
using testing_support::WriteBytes;

constexpr uint64_t kMinute = 600000000ULL;  // in 100 ns units

// --- Plain rules ---

TEST(GcRules, VersionDirectoryNames) {
    const struct {
        const wchar_t* name;
        bool valid;
    } cases[] = {
        {L"2024.1", true},
        {L"2024.1.2", true},
        {L"2024.10.20.300", true},
        {L"2024.1.2-beta.1_x", true},
        {L"2024.1.2_0a1b2c3d", true},   // the staging suffix
        {L"2024.1_ABCDEF0123456789", true},
        {L"2024.1.2.__qmdel_0123456789abcdef", false},  // left by an unfinished deletion
        {L"2024.1.2_0a1", false},       // 3 hex digits
        {L"2024.1.2_0123456789abcdef0", false},  // 17
        {L"2024.1.2_xyz0", false},
        {L"2024.1.2-", false},
        {L"2024.1.2-a b", false},
        {L"2024.1.", false},
        {L"2024.", false},
        {L"2024", false},
        {L"202.1.2", false},
        {L"20a4.1", false},
        {L"2024-1", false},
        {L"backup", false},
        {L"", false},
        {L"2024.1 ", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsVersionDirectoryName(c.name), c.valid) << WideToUtf8(c.name);
    }
}

TEST(GcRules, AgeBinariesAndFullPaths) {
    const uint64_t now = 1000 * kMinute;
    EXPECT_FALSE(IsOldEnough(0, now)) << "a directory without any time is never old";
    EXPECT_FALSE(IsOldEnough(now + 1, now)) << "a time in the future";
    EXPECT_FALSE(IsOldEnough(now - 30 * kMinute + 1, now));
    EXPECT_TRUE(IsOldEnough(now - 30 * kMinute, now));

    EXPECT_TRUE(HasBinaryExtension(L"C:\\v\\Quilmo.Core.DLL"));
    EXPECT_TRUE(HasBinaryExtension(L"a.cpl"));
    EXPECT_FALSE(HasBinaryExtension(L"a.dll.txt"));
    EXPECT_FALSE(HasBinaryExtension(L"dll"));

    EXPECT_TRUE(IsAbsoluteWindowsPath(L"C:\\x"));
    EXPECT_TRUE(IsAbsoluteWindowsPath(L"  \"c:/x\""));
    EXPECT_TRUE(IsAbsoluteWindowsPath(L"\\\\srv\\share"));
    EXPECT_FALSE(IsAbsoluteWindowsPath(L"2024.1.2"));
    EXPECT_FALSE(IsAbsoluteWindowsPath(L"\\Users\\x"));
    EXPECT_FALSE(IsAbsoluteWindowsPath(L"C:x"));
    EXPECT_FALSE(IsAbsoluteWindowsPath(L""));
}

TEST(GcRules, SummaryLine) {
    GcResult result;
    result.deleted = 2;
    result.protectedDirs = 3;
    result.recent = 4;
    result.invalid = 5;
    result.locked = 6;
    result.unsafe = 7;
    result.migFail = 8;
    result.sharedAcl = true;
    result.parentGateSkip = true;
    EXPECT_EQ(FormatGcSummary(result),
              "old-version gc done: deleted=2 protected=3 recent=4 locked=6 unsafe=7 invalid=5 migFail=8 lockBusy=0 "
              "sharedAcl=1 protAbort=0 parentGateSkip=1");
}

// --- The collector on real trees ---

void SetTimes(const std::wstring& path, uint64_t time) {
    UniqueFile handle(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    ASSERT_TRUE(handle.valid()) << WideToUtf8(path);
    FILETIME value{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
    ASSERT_TRUE(SetFileTime(handle.get(), &value, &value, &value)) << WideToUtf8(path);
}

uint64_t NowValue() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Gives a version directory, its direct files and subdirectories the age
// given; children first, as writing into a directory refreshes its time.
void Age(const std::wstring& dir, uint64_t minutes) {
    const uint64_t time = NowValue() - minutes * kMinute;
    for (const auto& entry : testing_support::ListNames(dir)) {
        if (entry.second & FILE_ATTRIBUTE_DIRECTORY) {
            Age(dir + L"\\" + entry.first, minutes);
            continue;
        }
        const bool readOnly = (entry.second & FILE_ATTRIBUTE_READONLY) != 0;
        const std::wstring file = dir + L"\\" + entry.first;
        if (readOnly) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        SetTimes(file, time);
        if (readOnly) SetFileAttributesW(file.c_str(), entry.second);
    }
    SetTimes(dir, time);
}

// Holds a path open in another process until destroyed.
class OtherProcessHolds {
public:
    OtherProcessHolds(const std::wstring& path, DWORD share) {
        const std::wstring suffix = std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter_);
        const std::wstring readyName = L"qm-hold-ready-" + suffix;
        const std::wstring releaseName = L"qm-hold-release-" + suffix;
        ready_.reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
        release_.reset(CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str()));
        std::wstring commandLine = L"\"" + HolderPath() + L"\" \"" + path + L"\" " + std::to_wstring(share) + L" " +
                                   readyName + L" " + releaseName;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            return;
        }
        process_.reset(info.hProcess);
        UniqueHandle thread(info.hThread);
        const HANDLE waits[] = {ready_.get(), process_.get()};
        holding_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    ~OtherProcessHolds() {
        SetEvent(release_.get());
        if (process_) WaitForSingleObject(process_.get(), 30000);
    }
    bool holding() const { return holding_; }

private:
    static std::wstring HolderPath() { return L"Z:" + Utf8ToWide(QUILMO_HOLD_OPEN_EXE); }
    static inline int counter_ = 0;
    UniqueHandle ready_, release_, process_;
    bool holding_ = false;
};

// Keeps the installer log of the prefix as it was.
class SavedLog {
public:
    SavedLog() : bytes_(test::ReadLogBytes()) { test::WriteLogBytes(""); }
    ~SavedLog() { test::WriteLogBytes(bytes_); }

private:
    std::string bytes_;
};

// The topmost key of path below HKEY_CURRENT_USER that does not exist yet;
// empty when the whole path exists.
std::wstring FirstMissingKey(const std::wstring& path) {
    std::wstring missing;
    for (std::wstring current = path;;) {
        UniqueRegKey probe;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, current.c_str(), 0, KEY_READ, probe.put()) == ERROR_SUCCESS) break;
        missing = current;
        const size_t slash = current.rfind(L'\\');
        if (slash == std::wstring::npos) break;
        current.resize(slash);
    }
    return missing;
}

// The registrations the collector reads, saved and cleared for each test;
// keys the test had to create on the way are removed again.
class SavedRegistrations {
public:
    SavedRegistrations() {
        // Each key saved whole, and the deepest key a test writes below it.
        std::vector<std::pair<std::wstring, std::wstring>> keys = {{kQuilmoCoreKey, kQuilmoCoreKey},
                                                                   {kUninstallKey, kUninstallKey}};
        for (const ComClass& c : ComClassTable) {
            keys.push_back({ComClassKeyPath(c.clsid), ComClassKeyPath(c.clsid) + L"\\InprocServer32"});
        }
        for (const LegacyVstoHostEntry& h : LegacyVstoHost) {
            keys.push_back({OfficeAddinKeyPath(h.officeHost, h.addinName), OfficeAddinKeyPath(h.officeHost, h.addinName)});
        }
        keys.push_back({L"", std::wstring(testing_support::kTestsKey) + L"\\Backup"});  // where the copies go
        for (const auto& key : keys) {
            const std::wstring missing = FirstMissingKey(key.second);
            if (!missing.empty()) created_.push_back(missing);
        }
        for (const auto& key : keys) {
            if (key.first.empty()) continue;
            saved_.push_back(std::make_unique<SavedUserKey>(key.first));
            saved_.back()->Remove();
        }
    }
    ~SavedRegistrations() {
        saved_.clear();
        for (const std::wstring& key : created_) {
            RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
            RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        }
    }
    SavedRegistrations(const SavedRegistrations&) = delete;
    SavedRegistrations& operator=(const SavedRegistrations&) = delete;

private:
    std::vector<std::unique_ptr<SavedUserKey>> saved_;
    std::vector<std::wstring> created_;
};

bool SetUserValue(const std::wstring& key, const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    UniqueRegKey handle;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, handle.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(handle.get(), name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

class Collector : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(testing_support::MakeDir(base)); }

    // An old-enough version directory with a marker and the given files
    // (relative path -> content).
    std::wstring Version(const std::wstring& name, uint64_t minutes = 120,
                         const std::map<std::wstring, std::string>& files = {{L"Library.dll", "library"}}) {
        const std::wstring dir = base + L"\\" + name;
        MakeDirectories(dir);
        for (const auto& file : files) {
            const std::wstring path = dir + L"\\" + file.first;
            MakeDirectories(ParentDirRaw(path));
            EXPECT_TRUE(WriteBytes(path, file.second)) << WideToUtf8(path);
        }
        Age(dir, minutes);
        return dir;
    }

    GcResult Collect(const std::vector<std::wstring>& protectedPaths = {}, const GcBaseLock* lock = nullptr) {
        return CollectOldVersions(base, GatherRegisteredDirectories(), protectedPaths, userData, lock);
    }

    std::vector<std::string> Log() { return test::LogMessages(); }

    SavedLog log;
    SavedRegistrations registrations;
    ScratchDir scratch;
    std::wstring base = scratch / L"Quilmo2025";
    std::wstring userData = scratch / L"userdata";
};

std::string Counts(const GcResult& r) { return FormatGcSummary(r).substr(std::string("old-version gc done: ").size()); }

TEST_F(Collector, AgeNamesAndMarkersDecide) {
    Version(L"2024.1.2", 29);
    Version(L"2024.1.3", 30);
    Version(L"2024.1.4_0a1b2c3d");
    Version(L"2024.1.5-beta", 120, {{L"Uninstall.exe", "u"}, {L"sub\\data.bin", "d"}});
    Version(L"2024.1", 120, {{L"readme.txt", "no marker"}});
    Version(L"2024.2", 120, {{L"Library.dll\\inside.txt", "a marker name that is a directory"}});
    Version(L"backup");
    Version(L"2024.1.2.__qmdel_0123456789abcdef");
    ASSERT_TRUE(WriteBytes(base + L"\\2024.9.9", "a file, not a directory"));
    // A recent directory whose marker was refreshed by a copy stays recent.
    const std::wstring refreshed = Version(L"2024.1.6");
    SetTimes(refreshed + L"\\Library.dll", NowValue() - 5 * kMinute);
    SetTimes(refreshed, NowValue() - 120 * kMinute);

    const GcResult result = Collect();
    EXPECT_EQ(Counts(result),
              "deleted=3 protected=0 recent=2 locked=0 unsafe=0 invalid=4 migFail=0 lockBusy=0 sharedAcl=0 "
              "protAbort=0 parentGateSkip=0");
    const auto names = testing_support::ListNames(base);
    for (const wchar_t* gone : {L"2024.1.3", L"2024.1.4_0a1b2c3d", L"2024.1.5-beta"}) {
        EXPECT_EQ(names.count(gone), 0u) << WideToUtf8(gone);
    }
    for (const wchar_t* kept : {L"2024.1.2", L"2024.1.6", L"2024.1", L"2024.2", L"backup",
                                L"2024.1.2.__qmdel_0123456789abcdef", L"2024.9.9", L".qm_gc.lock"}) {
        EXPECT_EQ(names.count(kept), 1u) << WideToUtf8(kept);
    }
    EXPECT_EQ(names.size(), 8u) << "no renamed leftovers";
    EXPECT_EQ(Log(), std::vector<std::string>{FormatGcSummary(result)});
}

TEST_F(Collector, RegisteredInstalledAndRunningDirectoriesAreProtected) {
    Version(L"2025.1.1");  // the version just installed
    Version(L"2025.1.2");  // the one installed before
    Version(L"2025.2.1");
    Version(L"2025.2.2");
    Version(L"2025.2.3");
    Version(L"2025.2.4");
    Version(L"2025.2.5");
    Version(L"2025.2.6");
    Version(L"2025.3.1");  // referenced by nothing
    ASSERT_TRUE(SetUserValue(kQuilmoCoreKey, kManagedDirValue, L"  \"" + base + L"\\2025.2.1\\\"  "));
    // Forward slashes and an environment variable that expands to the base.
    ASSERT_TRUE(SetEnvironmentVariableW(L"QM_GC_TEST_BASE", base.c_str()));
    std::wstring slashed = L"%QM_GC_TEST_BASE%/2025.2.2/";
    ASSERT_TRUE(SetUserValue(kUninstallKey, L"InstallLocation", slashed, REG_EXPAND_SZ));
    ASSERT_TRUE(SetUserValue(ComClassKeyPath(ComClassTable[3].clsid) + L"\\InprocServer32", nullptr,
                             base + L"\\2025.2.3\\Quilmo.Core.dll"));
    std::wstring url = L"file:///" + base + L"/2025%2E2%2E4/Quilmo2025.Excel.vsto|vstolocal";
    for (wchar_t& c : url) {
        if (c == L'\\') c = L'/';
    }
    ASSERT_TRUE(SetUserValue(OfficeAddinKeyPath(L"Excel", L"Quilmo2025.Excel"), L"Manifest", url));
    // A value naming a file inside a version protects the whole version.
    ASSERT_TRUE(SetUserValue(OfficeAddinKeyPath(L"Word", L"Quilmo2025.Word"), L"Manifest",
                             base + L"\\2025.2.5\\sub\\Quilmo2025.Word.vsto|vstolocal"));
    // Blank values are nothing to protect, and nothing to abort over.
    ASSERT_TRUE(SetUserValue(OfficeAddinKeyPath(L"PowerPoint", L"Quilmo2025.PPT"), L"Manifest", L"   "));

    const GcResult result = Collect({base + L"\\2025.1.1\\", L"", base + L"/2025.1.2", base + L"\\2025.2.6\\x"});
    EXPECT_EQ(Counts(result),
              "deleted=1 protected=8 recent=0 locked=0 unsafe=0 invalid=0 migFail=0 lockBusy=0 sharedAcl=0 "
              "protAbort=0 parentGateSkip=0");
    EXPECT_FALSE(Exists(base + L"\\2025.3.1"));
    for (const wchar_t* kept : {L"2025.1.1", L"2025.1.2", L"2025.2.1", L"2025.2.2", L"2025.2.3", L"2025.2.4",
                                L"2025.2.5", L"2025.2.6"}) {
        EXPECT_EQ(ReadBytes(base + L"\\" + kept + L"\\Library.dll"), "library") << WideToUtf8(kept);
    }
    SetEnvironmentVariableW(L"QM_GC_TEST_BASE", nullptr);
}

TEST_F(Collector, MachineRegistrationsInEitherViewProtect) {
    Version(L"2025.7.1");
    Version(L"2025.7.2");
    Version(L"2025.7.3");
    testing_support::TestRegistryKey core(HKEY_LOCAL_MACHINE, kQuilmoCoreKey, KEY_WOW64_64KEY);
    ASSERT_TRUE(core.SetString(kManagedDirValue, base + L"\\2025.7.1"));
    testing_support::TestRegistryKey uninstall(HKEY_LOCAL_MACHINE, kUninstallKey, KEY_WOW64_32KEY);
    ASSERT_TRUE(uninstall.SetString(L"InstallLocation", base + L"\\2025.7.2"));
    const GcResult result = Collect();
    EXPECT_EQ(result.protectedDirs, 2) << Counts(result);
    EXPECT_EQ(result.deleted, 1) << Counts(result);
    EXPECT_FALSE(Exists(base + L"\\2025.7.3"));
}

TEST_F(Collector, AProtectedPathThroughAJunctionProtectsItsTargetToo) {
    // This Wine cannot make junctions: the handle of "2025.1.9" reports the
    // final path of the directory it leads to.
    const std::wstring junction = Version(L"2025.1.9");
    const std::wstring target = Version(L"2025.1.10");
    Version(L"2025.1.11");
    GcResult result;
    {
        testing_support::FinalPathLeadsTo link(IdentityOf(junction), target);
        result = Collect({junction});
    }
    EXPECT_EQ(result.protectedDirs, 2) << Counts(result);
    EXPECT_EQ(result.deleted, 1) << Counts(result);
    EXPECT_TRUE(Exists(target + L"\\Library.dll"));
    EXPECT_FALSE(Exists(base + L"\\2025.1.11"));
}

TEST_F(Collector, ValuesThatNameNoFullPathAbortBeforeAnythingIsScanned) {
    const struct {
        const char* what;
        std::wstring value;
    } cases[] = {
        {"relative", L"2025.4.1"},
        {"rooted without a drive", L"\\Quilmo2025\\2025.4.1"},
        {"a bare DLL name", L"Quilmo.Core.dll"},
    };
    for (const auto& c : cases) {
        Version(L"2025.4.1");
        test::WriteLogBytes("");
        ASSERT_TRUE(SetUserValue(kQuilmoCoreKey, kManagedDirValue, c.value));
        const GcResult result = Collect();
        EXPECT_TRUE(result.protAbort) << c.what;
        EXPECT_EQ(result.deleted, 0) << c.what;
        EXPECT_TRUE(Exists(base + L"\\2025.4.1\\Library.dll")) << c.what;
        EXPECT_EQ(Log(), std::vector<std::string>{"old-version gc aborted: malformed non-empty registry protected path"})
            << c.what;
    }
    // A COM server value without a directory cannot be placed either.
    SavedRegistrations cleared;
    ASSERT_TRUE(SetUserValue(ComClassKeyPath(ComClassTable[0].clsid) + L"\\InprocServer32", nullptr, L"Quilmo.dll"));
    EXPECT_TRUE(Collect().protAbort);
    EXPECT_TRUE(Exists(base + L"\\2025.4.1\\Library.dll"));
}

TEST_F(Collector, EmptyBlankAndUnreadableValuesAreIgnored) {
    const struct {
        const char* what;
        std::wstring value;
        DWORD type;
    } cases[] = {
        {"empty", L"", REG_SZ},
        {"spaces and quotes", L"  \" \t ", REG_SZ},
        {"not a string", L"C:\\", REG_BINARY},
    };
    for (const auto& c : cases) {
        Version(L"2025.5.1");
        ASSERT_TRUE(SetUserValue(kQuilmoCoreKey, kManagedDirValue, c.value, c.type));
        const GcResult result = Collect();
        EXPECT_FALSE(result.protAbort) << c.what;
        EXPECT_EQ(result.deleted, 1) << c.what;
    }
}

TEST_F(Collector, AValueOfMaximalLengthInsideAVersionKeepsIt) {
    Version(L"2025.6.1");
    std::wstring value = base + L"\\2025.6.1\\";
    value.append(32767 - value.size(), L'a');
    ASSERT_TRUE(SetUserValue(kQuilmoCoreKey, kManagedDirValue, value));
    const GcResult result = Collect();
    EXPECT_EQ(result.deleted, 0);
    EXPECT_TRUE(result.protAbort || result.protectedDirs == 1) << Counts(result);
    EXPECT_EQ(ReadBytes(base + L"\\2025.6.1\\Library.dll"), "library");
}

TEST_F(Collector, NothingOutsideTheBaseIsTouched) {
    // The user's own things: files outside the base, one of them hard-linked
    // into a version, and a folder of theirs beside the versions.
    const std::wstring outside = MakeDirectories(scratch / L"outside");
    ASSERT_TRUE(WriteBytes(outside + L"\\shared.dll", "user's library"));
    ASSERT_TRUE(WriteBytes(outside + L"\\notes.txt", "user's notes"));
    const std::wstring mine = MakeDirectories(base + L"\\My files");
    ASSERT_TRUE(WriteBytes(mine + L"\\Library.dll", "looks like a marker"));
    ASSERT_TRUE(WriteBytes(mine + L"\\thesis.docx", "years of work"));
    Age(mine, 600);

    const std::wstring linked = Version(L"2026.1.1", 120, {{L"Library.dll", "l"}, {L"deep\\a\\b\\c.txt", "c"}});
    ASSERT_TRUE(CreateHardLinkW((linked + L"\\deep\\a\\hard.dll").c_str(), (outside + L"\\shared.dll").c_str(),
                                nullptr));
    Age(linked, 120);

    std::wstring nested = L"Library.dll";
    std::map<std::wstring, std::string> deepFiles{{nested, "l"}};
    std::wstring relative;
    for (int i = 0; i < 40; ++i) relative += L"n\\";
    deepFiles[relative + L"leaf.txt"] = "deep";
    deepFiles[L"ro.dll"] = "read-only";
    const std::wstring deep = Version(L"2026.1.2", 120, deepFiles);
    ASSERT_TRUE(SetFileAttributesW((deep + L"\\ro.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    Age(deep, 120);

    std::wstring tooDeepPath;
    for (int i = 0; i < 66; ++i) tooDeepPath += L"t\\";
    const std::wstring tooDeep = Version(L"2026.1.3", 120, {{L"Library.dll", "l"}, {tooDeepPath + L"x", "x"}});

    const auto outsideBefore = Snapshot(outside);
    const auto mineBefore = Snapshot(mine);
    const auto linkedBefore = Snapshot(linked);
    const auto tooDeepBefore = Snapshot(tooDeep);

    const GcResult result = Collect();
    EXPECT_EQ(Counts(result),
              "deleted=1 protected=0 recent=0 locked=0 unsafe=2 invalid=1 migFail=0 lockBusy=0 sharedAcl=0 "
              "protAbort=0 parentGateSkip=0");
    EXPECT_FALSE(Exists(deep)) << "read-only files and 40 levels are no obstacle";
    EXPECT_EQ(Snapshot(outside), outsideBefore);
    EXPECT_EQ(Snapshot(mine), mineBefore);
    EXPECT_EQ(Snapshot(linked), linkedBefore) << "a hard link keeps the whole version";
    EXPECT_EQ(Snapshot(tooDeep), tooDeepBefore) << "deeper than the probe goes";
    BY_HANDLE_FILE_INFORMATION info{};
    UniqueFile shared(CreateFileW((outside + L"\\shared.dll").c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(GetFileInformationByHandle(shared.get(), &info));
    EXPECT_EQ(info.nNumberOfLinks, 2u);
}

TEST_F(Collector, LinksAnywhereMakeAVersionUnsafe) {
    // This Wine cannot make junctions: the listings and handles report them.
    const std::wstring inner = Version(L"2026.2.1", 120, {{L"Library.dll", "l"}, {L"junction\\x.txt", "x"}});
    const std::wstring plain = Version(L"2026.2.2");
    const auto innerBefore = Snapshot(inner);
    GcResult result;
    {
        ListingShowsLink junctionInside(L"junction");
        result = Collect();
    }
    EXPECT_EQ(result.unsafe, 1) << Counts(result);
    EXPECT_EQ(result.deleted, 1) << Counts(result);
    EXPECT_EQ(Snapshot(inner), innerBefore);
    EXPECT_FALSE(Exists(plain));

    // The version itself a link, by its listing or by its open handle.
    const std::wstring listed = Version(L"2026.2.3");
    const std::wstring opened = Version(L"2026.2.4");
    {
        ListingShowsLink versionIsLink(L"2026.2.3");
        HandleShowsLink handleIsLink(IdentityOf(opened));
        result = Collect();
    }
    EXPECT_EQ(result.unsafe, 2) << Counts(result);
    EXPECT_EQ(result.deleted, 1) << "the first one, its junction gone";
    EXPECT_TRUE(Exists(listed + L"\\Library.dll"));
    EXPECT_TRUE(Exists(opened + L"\\Library.dll"));
}

TEST_F(Collector, FilesAndDirectoriesInUseAreLocked) {
    const struct {
        const char* what;
        const wchar_t* held;  // below the version
        DWORD share;
    } cases[] = {
        {"a document open without sharing", L"doc.txt", 0},
        {"a document open for reading only", L"doc.txt", FILE_SHARE_READ},
        {"a process sitting in a subfolder", L"sub", FILE_SHARE_READ | FILE_SHARE_WRITE},
        {"a process sitting in the version", L"", FILE_SHARE_READ | FILE_SHARE_WRITE},
    };
    for (const auto& c : cases) {
        const std::wstring dir =
            Version(L"2026.3.1", 120, {{L"Library.dll", "l"}, {L"doc.txt", "d"}, {L"sub\\f.txt", "f"}});
        const auto before = Snapshot(dir);
        GcResult result;
        {
            OtherProcessHolds holder(*c.held ? dir + L"\\" + c.held : dir, c.share);
            ASSERT_TRUE(holder.holding()) << c.what;
            result = Collect();
        }
        EXPECT_EQ(result.locked, 1) << c.what << ": " << Counts(result);
        EXPECT_EQ(result.deleted, 0) << c.what;
        EXPECT_EQ(Snapshot(dir), before) << c.what;
    }
}

// The Restart Manager of this Wine never names a process; this one names
// Word for every query and records what it was asked about.
struct OfficeHoldsEverything {
    static std::vector<std::wstring> registered;
    static DWORD WINAPI Start(DWORD* session, DWORD, WCHAR*) {
        *session = 1;
        return ERROR_SUCCESS;
    }
    static DWORD WINAPI Register(DWORD, UINT count, LPCWSTR* files, UINT, void*, UINT, LPCWSTR*) {
        for (UINT i = 0; i < count; ++i) registered.push_back(files[i]);
        return ERROR_SUCCESS;
    }
    static DWORD WINAPI GetList(DWORD, UINT* needed, UINT*, void*, DWORD*) {
        *needed = 1;
        return ERROR_MORE_DATA;
    }
    static DWORD WINAPI End(DWORD) { return ERROR_SUCCESS; }
};
std::vector<std::wstring> OfficeHoldsEverything::registered;

TEST_F(Collector, ALoadedLibraryLocksItsVersionAndLargeVersionsRegisterOnlyBinaries) {
    std::map<std::wstring, std::string> many{{L"Library.dll", "l"}, {L"Quilmo.Core.dll", "c"}};
    for (int i = 0; i < 70; ++i) many[L"res\\r" + std::to_wstring(i) + L".txt"] = "r";
    const std::wstring large = Version(L"2026.4.1", 120, many);
    const RestartManagerApi table{&OfficeHoldsEverything::Start, &OfficeHoldsEverything::Register,
                                  &OfficeHoldsEverything::GetList, &OfficeHoldsEverything::End, true};
    OfficeHoldsEverything::registered.clear();
    GcResult result;
    {
        ScopedRestartManagerApi scope(&table);
        result = Collect();
    }
    EXPECT_EQ(result.locked, 1);
    EXPECT_TRUE(Exists(large + L"\\Quilmo.Core.dll"));
    ASSERT_EQ(OfficeHoldsEverything::registered.size(), 2u);
    for (const std::wstring& path : OfficeHoldsEverything::registered) {
        EXPECT_TRUE(HasBinaryExtension(path)) << WideToUtf8(path);
        EXPECT_TRUE(PathStartsWith(path, large + L"\\")) << WideToUtf8(path);
    }

    testing_support::RemoveTree(large + L"\\res");
    ASSERT_TRUE(WriteBytes(large + L"\\notes.txt", "n"));
    Age(large, 120);
    OfficeHoldsEverything::registered.clear();
    {
        ScopedRestartManagerApi scope(&table);
        result = Collect();
    }
    EXPECT_EQ(result.locked, 1);
    EXPECT_EQ(OfficeHoldsEverything::registered.size(), 3u) << "a small version registers every file";
}

// Refuses every delete disposition, as a file system would for files it
// cannot remove; everything else passes through.
NtStatus NTAPI SetInformationRefusingDeletes(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG length,
                                             ULONG infoClass) {
    constexpr ULONG kFileDispositionInformation = 13;
    if (infoClass == kFileDispositionInformation) return kStatusCannotDelete;
    return RealNtApi().setInformationFile(file, io, info, length, infoClass);
}

TEST_F(Collector, AnUnfinishedDeletionIsLeftUnderANameNoLaterRunTouches) {
    const std::wstring dir = Version(L"2026.4.5", 120, {{L"Library.dll", "l"}, {L"sub\\data.txt", "d"}});
    NtFileApi refusing = RealNtApi();
    refusing.setInformationFile = &SetInformationRefusingDeletes;
    GcResult result;
    {
        ScopedNtFileApi scope(&refusing);
        result = Collect();
    }
    EXPECT_EQ(Counts(result),
              "deleted=0 protected=0 recent=0 locked=0 unsafe=0 invalid=0 migFail=0 lockBusy=0 sharedAcl=0 "
              "protAbort=0 parentGateSkip=0");
    EXPECT_FALSE(Exists(dir));
    std::wstring leftover;
    for (const auto& entry : testing_support::ListNames(base)) {
        if (entry.first.rfind(L"2026.4.5.__qmdel_", 0) == 0) leftover = entry.first;
    }
    ASSERT_EQ(leftover.size(), std::wstring(L"2026.4.5.__qmdel_").size() + 16) << "renamed with a 16-digit token";
    const auto before = Snapshot(base + L"\\" + leftover);
    EXPECT_EQ(before.size(), 3u);

    result = Collect();
    EXPECT_EQ(result.invalid, 1) << Counts(result);
    EXPECT_EQ(result.deleted, 0);
    EXPECT_EQ(Snapshot(base + L"\\" + leftover), before);
}

TEST_F(Collector, UserFilesAreMigratedBeforeTheirVersionGoes) {
    Version(L"2026.5.1", 120, {{L"Library.dll", "l"}, {L"config.ini", "[user]\nname=me\n"}});
    GcResult result = Collect();
    EXPECT_EQ(result.deleted, 1);
    EXPECT_EQ(ReadBytes(userData + L"\\config.ini"), "[user]\nname=me\n");

    // A data directory that cannot be made keeps the version.
    testing_support::RemoveTree(userData);
    ASSERT_TRUE(WriteBytes(userData, "a file where the data folder belongs"));
    const std::wstring kept = Version(L"2026.5.2", 120, {{L"Library.dll", "l"}, {L"Cookie.dat", "session"}});
    result = Collect();
    EXPECT_EQ(result.migFail, 1);
    EXPECT_EQ(result.deleted, 0);
    EXPECT_EQ(ReadBytes(kept + L"\\Cookie.dat"), "session");
    EXPECT_EQ(ReadBytes(userData), "a file where the data folder belongs");
}

TEST_F(Collector, OnlyOneCollectorPerBase) {
    const std::wstring dir = Version(L"2026.6.1");
    ASSERT_TRUE(WriteBytes(base + L"\\.qm_gc.lock", ""));
    {
        OtherProcessHolds otherInstaller(base + L"\\.qm_gc.lock", 0);
        ASSERT_TRUE(otherInstaller.holding());
        const GcResult result = Collect();
        EXPECT_EQ(Counts(result),
                  "deleted=0 protected=0 recent=0 locked=0 unsafe=0 invalid=0 migFail=0 lockBusy=1 sharedAcl=0 "
                  "protAbort=0 parentGateSkip=0");
        EXPECT_EQ(Log().back(), FormatGcSummary(result));
    }
    EXPECT_TRUE(Exists(dir + L"\\Library.dll"));

    // In one process: the pipeline's lock is held, so a second collector
    // without it is refused while the holder's own run goes ahead.
    GcBaseLock lock;
    ASSERT_TRUE(lock.TryAcquire(base));
    EXPECT_TRUE(Collect().lockBusy);
    EXPECT_TRUE(Exists(dir));

    // A lock taken in another base, or none held at all, is no lock here.
    ScratchDir elsewhere;
    const std::wstring otherBase = MakeDirectories(elsewhere / L"Quilmo2025");
    GcBaseLock foreign;
    ASSERT_TRUE(foreign.TryAcquire(otherBase));
    EXPECT_TRUE(Collect({}, &foreign).lockBusy);
    GcBaseLock released;
    EXPECT_TRUE(Collect({}, &released).lockBusy);
    EXPECT_TRUE(Exists(dir));

    const GcResult result = Collect({}, &lock);
    EXPECT_FALSE(result.lockBusy);
    EXPECT_EQ(result.deleted, 1);
    foreign.Release();
}

TEST_F(Collector, ABaseThatFailsTheGateIsLeftAlone) {
    const std::wstring dir = Version(L"2026.7.1");
    ASSERT_TRUE(testing_support::GrantEveryone(base, FILE_WRITE_DATA | FILE_READ_DATA));
    GcResult result = Collect();
    EXPECT_EQ(Counts(result),
              "deleted=0 protected=0 recent=0 locked=0 unsafe=0 invalid=0 migFail=0 lockBusy=0 sharedAcl=1 "
              "protAbort=0 parentGateSkip=1");
    EXPECT_TRUE(Exists(dir + L"\\Library.dll"));

    const std::wstring notABase = MakeDirectories(scratch / L"Other");
    MakeDirectories(notABase + L"\\2026.7.2");
    ASSERT_TRUE(WriteBytes(notABase + L"\\2026.7.2\\Library.dll", "l"));
    Age(notABase + L"\\2026.7.2", 120);
    result = CollectOldVersions(notABase, GatherRegisteredDirectories(), {}, userData, nullptr);
    EXPECT_TRUE(result.parentGateSkip);
    EXPECT_FALSE(result.sharedAcl);
    EXPECT_TRUE(Exists(notABase + L"\\2026.7.2\\Library.dll"));
    EXPECT_TRUE(CollectOldVersions(L"  ", GatherRegisteredDirectories(), {}, userData, nullptr).parentGateSkip);
}

}  // namespace
}  // namespace quilmo

namespace quilmo {
namespace {

// Run by the test below as a copy of this program placed inside a version
// directory: the collector must count that version as protected.
TEST(CollectorChild, TheRunningProgramsVersionIsProtected) {
    wchar_t base[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"QM_GC_CHILD_BASE", base, MAX_PATH)) GTEST_SKIP() << "run by the parent test";
    const GcResult result = CollectOldVersions(base, GatherRegisteredDirectories(), {}, L"", nullptr);
    EXPECT_EQ(result.protectedDirs, 1) << FormatGcSummary(result);
    EXPECT_EQ(result.deleted, 0) << FormatGcSummary(result);
}

TEST_F(Collector, TheVersionTheInstallerRunsFromIsProtected) {
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const std::wstring dir = Version(L"2027.1.1");
    const std::wstring copy = dir + L"\\QuilmoSetup.exe";
    ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
    Age(dir, 120);
    testing_support::ScopedVariable childBase(L"QM_GC_CHILD_BASE", base.c_str());
    std::wstring commandLine = L"\"" + copy + L"\" --gtest_filter=CollectorChild.*";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(copy.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    UniqueHandle process(info.hProcess), thread(info.hThread);
    ASSERT_EQ(WaitForSingleObject(process.get(), 120000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    ASSERT_TRUE(GetExitCodeProcess(process.get(), &exitCode));
    EXPECT_EQ(exitCode, 0u) << "the collector in the copy did not find its own version protected";
    EXPECT_TRUE(Exists(copy));
}

}  // namespace
}  // namespace quilmo
