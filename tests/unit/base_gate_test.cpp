#include "files/file_handles.h"

#include "files/path_text.h"
#include "startup/paths.h"
#include "support/link_doubles.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>


namespace quilmo {
namespace {

using testing_support::DrivesLookSubstituted;
using testing_support::HandleShowsLink;
using testing_support::IdentityOf;
using testing_support::MakeDir;
using testing_support::RemoveTree;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

bool Opens(const std::wstring& path, bool checkAcl = false, bool* aclRejected = nullptr) {
    return OpenInstallBaseSafely(path, checkAcl, aclRejected).valid();
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
        const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        const DWORD length = needed ? GetEnvironmentVariableW(name, buffer.data(), needed + 1) : 0;
        had_ = length > 0 && length <= needed;
        if (had_) old_.assign(buffer.data(), length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~ScopedEnvironment() { SetEnvironmentVariableW(name_, had_ ? old_.c_str() : nullptr); }

private:
    const wchar_t* name_;
    bool had_ = false;
    std::wstring old_;
};

class BaseGate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeDir(scratch / L"mid"));
        ASSERT_TRUE(MakeDir(base));
        ASSERT_TRUE(MakeDir(scratch / L"Other"));
    }
    ScratchDir scratch;
    std::wstring base = scratch / L"mid\\Quilmo2025";
};

TEST_F(BaseGate, AcceptsTheDefaultBaseWithAndWithoutTheAccessCheck) {
    const std::wstring defaultBase = ProductDataFolder();
    const std::wstring normalized = NormalizePath(defaultBase);
    const std::wstring vendor = ParentDirRaw(normalized);
    const bool vendorExisted = testing_support::Exists(vendor);
    const bool baseExisted = testing_support::Exists(normalized);
    ASSERT_TRUE(EnsureDirectory(normalized));
    struct Tidy {
        std::wstring base, vendor;
        bool baseExisted, vendorExisted;
        ~Tidy() {
            if (!baseExisted) RemoveDirectoryW(base.c_str());
            if (!vendorExisted) RemoveDirectoryW(vendor.c_str());
        }
    } tidy{normalized, vendor, baseExisted, vendorExisted};
    bool aclRejected = true;
    UniqueNtHandle handle = OpenInstallBaseSafely(defaultBase, true, &aclRejected);
    ASSERT_TRUE(handle.valid());
    EXPECT_FALSE(aclRejected);
    EXPECT_TRUE(PathEquals(GetFinalPathNormalized(handle.get()), NormalizePath(defaultBase)));
    EXPECT_TRUE(Opens(defaultBase, false));
}

TEST_F(BaseGate, AcceptsABaseNamedQuilmo2025InAnyCaseAndSpelling) {
    EXPECT_TRUE(Opens(base));
    EXPECT_TRUE(Opens(L" \"" + scratch.path() + L"/mid/quilmo2025\\\" "));
    EXPECT_TRUE(Opens(L"\\\\?\\" + base));
    UniqueNtHandle handle = OpenInstallBaseSafely(base, false, nullptr);
    FileIdentity identity;
    ASSERT_TRUE(GetFileIdentity(handle.get(), &identity));
    EXPECT_EQ(identity, IdentityOf(base));
    // The handle can list the base, as the collector needs.
    std::vector<DirEntry> entries;
    EXPECT_TRUE(ListDirectoryNoFollow(handle.get(), &entries));
}

TEST_F(BaseGate, RefusesOtherNamesRootsAndMalformedPaths) {
    ASSERT_TRUE(WriteBytes(scratch / L"Other\\Quilmo2025", "a file, not a directory"));
    const std::wstring refused[] = {
        scratch / L"Other",
        scratch / L"mid\\Quilmo2025x",
        scratch / L"mid\\Quilmo2025\\..",
        scratch / L"missing\\Quilmo2025",
        scratch / L"Other\\Quilmo2025",
        L"C:\\",
        L"C:",
        L"Quilmo2025",
        L"\\\\srv\\share\\Quilmo2025",
        L"",
        scratch / (std::wstring(300, L'q') + L"\\Quilmo2025"),
        L"C:\\" + std::wstring(40000, L'a') + L"\\Quilmo2025",
    };
    for (const auto& path : refused) EXPECT_FALSE(Opens(path)) << path.substr(0, 80);
}

TEST_F(BaseGate, ComponentsBelowTheDriveRoot) {
    std::vector<std::wstring> parts;
    ASSERT_TRUE(SplitBelowDriveRoot(L"C:\\a\\b\\Quilmo2025", &parts));
    EXPECT_EQ(parts, (std::vector<std::wstring>{L"a", L"b", L"Quilmo2025"}));
    for (const wchar_t* bad : {L"C:\\a\\.\\Quilmo2025", L"C:\\a\\..\\Quilmo2025", L"C:\\a\\\\Quilmo2025", L"C:\\",
                               L"C:\\Quilmo2025\\"}) {
        EXPECT_FALSE(SplitBelowDriveRoot(bad, &parts)) << bad;
        EXPECT_TRUE(parts.empty());
    }
}

std::wstring FolderFrom(UINT(WINAPI* source)(LPWSTR, UINT)) {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = source(buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

TEST_F(BaseGate, RefusesTheSystemFolders) {
    for (auto source : {&GetWindowsDirectoryW, &GetSystemDirectoryW}) {
        const std::wstring candidate = FolderFrom(source) + L"\\Quilmo2025";
        const bool made = CreateDirectoryW(candidate.c_str(), nullptr) != FALSE;
        EXPECT_FALSE(Opens(candidate)) << candidate;
        if (made) RemoveDirectoryW(candidate.c_str());
    }
}

TEST_F(BaseGate, RefusesAProfileFolderItselfButNotBelowOne) {
    for (const wchar_t* name :
         {L"ProgramFiles", L"ProgramFiles(x86)", L"ProgramData", L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA"}) {
        ScopedEnvironment profile(name, base + L"\\");
        EXPECT_FALSE(Opens(base)) << name;
    }
    ScopedEnvironment parentIsProfile(L"USERPROFILE", scratch / L"mid");
    EXPECT_TRUE(Opens(base));
}

// This Wine makes no junctions: the attributes of the component's handle
// report it as one, as Windows does.
TEST_F(BaseGate, RefusesALinkOnTheWay) {
    {
        HandleShowsLink link(IdentityOf(scratch / L"mid"));
        EXPECT_FALSE(Opens(base));
    }
    {
        HandleShowsLink link(IdentityOf(base));
        EXPECT_FALSE(Opens(base));
    }
    // Nothing stayed open on the way: both directories open exclusively.
    for (const std::wstring& dir : {scratch / L"mid", base}) {
        UniqueFile exclusive(CreateFileW(dir.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        EXPECT_TRUE(exclusive.valid()) << dir;
    }
    EXPECT_TRUE(Opens(base));
}

TEST_F(BaseGate, RefusesASubstitutedDriveByItsDeviceTarget) {
    DrivesLookSubstituted substituted;
    EXPECT_FALSE(Opens(base));
    EXPECT_GE(substituted.queries(), 1);
}

// The real call: a drive made with DefineDosDeviceW reports its "\??\"
// target and the base on it is refused.
TEST_F(BaseGate, RealSubstitutedDriveIsRefused) {
    wchar_t target[512] = {};
    ASSERT_EQ(QueryDosDeviceW(L"Q:", target, 512), 0u) << "drive Q: is already in use";
    ASSERT_TRUE(DefineDosDeviceW(0, L"Q:", (scratch / L"mid").c_str()));
    const DWORD length = QueryDosDeviceW(L"Q:", target, 512);
    const bool refused = !Opens(L"Q:\\Quilmo2025");
    DefineDosDeviceW(DDD_REMOVE_DEFINITION, L"Q:", nullptr);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(std::wstring(target).substr(0, 4), L"\\??\\");
    EXPECT_TRUE(refused);
    wchar_t system[512] = {};
    ASSERT_GT(QueryDosDeviceW(L"C:", system, 512), 0u);
    EXPECT_NE(std::wstring(system).substr(0, 4), L"\\??\\") << system;
}

TEST_F(BaseGate, OwnerAndAccessListCheck) {
    UniqueNtHandle handle = OpenInstallBaseSafely(base, false, nullptr);
    ASSERT_TRUE(handle.valid());
    EXPECT_TRUE(IsOwnerAndDaclSafe(handle.get()));
    handle.reset();

    ASSERT_TRUE(testing_support::GrantEveryone(base, FILE_READ_DATA | FILE_TRAVERSE | SYNCHRONIZE));
    EXPECT_TRUE(Opens(base, true)) << "reading rights for others are harmless";

    ASSERT_TRUE(testing_support::GrantEveryone(base, FILE_WRITE_DATA | FILE_READ_DATA));
    bool aclRejected = false;
    EXPECT_FALSE(Opens(base, true, &aclRejected));
    EXPECT_TRUE(aclRejected);
    aclRejected = true;
    EXPECT_TRUE(Opens(base, false, &aclRejected));
    EXPECT_FALSE(aclRejected);
    aclRejected = true;
    EXPECT_FALSE(Opens(scratch / L"Other", true, &aclRejected));
    EXPECT_FALSE(aclRejected) << "only the access check sets the flag";
}

// The Restart Manager of this Wine never reports a process, so a table of
// recorded calls stands in for it.
struct FakeRestartManager {
    static std::vector<UINT> chunks;
    static int starts, ends;
    static DWORD startResult, registerResult, listResult;
    static UINT needed;

    static DWORD WINAPI Start(DWORD* session, DWORD, WCHAR*) {
        ++starts;
        *session = 42;
        return startResult;
    }
    static DWORD WINAPI Register(DWORD session, UINT files, LPCWSTR* names, UINT apps, void*, UINT services,
                                 LPCWSTR*) {
        EXPECT_EQ(session, 42u);
        EXPECT_EQ(apps, 0u);
        EXPECT_EQ(services, 0u);
        for (UINT i = 0; i < files; ++i) EXPECT_NE(names[i], nullptr);
        chunks.push_back(files);
        return registerResult;
    }
    static DWORD WINAPI GetList(DWORD, UINT* neededOut, UINT* records, void* info, DWORD*) {
        EXPECT_EQ(*records, 0u);
        EXPECT_EQ(info, nullptr);
        *neededOut = needed;
        return listResult;
    }
    static DWORD WINAPI End(DWORD) {
        ++ends;
        return ERROR_SUCCESS;
    }
    static void Reset() {
        chunks.clear();
        starts = ends = 0;
        startResult = registerResult = listResult = ERROR_SUCCESS;
        needed = 0;
    }
    static RestartManagerApi Table() { return RestartManagerApi{&Start, &Register, &GetList, &End, true}; }
};
std::vector<UINT> FakeRestartManager::chunks;
int FakeRestartManager::starts = 0;
int FakeRestartManager::ends = 0;
DWORD FakeRestartManager::startResult = 0;
DWORD FakeRestartManager::registerResult = 0;
DWORD FakeRestartManager::listResult = 0;
UINT FakeRestartManager::needed = 0;

std::vector<std::wstring> Paths(int count) {
    std::vector<std::wstring> paths;
    for (int i = 0; i < count; ++i) paths.push_back(L"C:\\v\\file" + std::to_wstring(i) + L".dll");
    return paths;
}

TEST(FilesInUse, RegistersInChunksOfSixtyFour) {
    FakeRestartManager::Reset();
    const RestartManagerApi table = FakeRestartManager::Table();
    ScopedRestartManagerApi scope(&table);
    EXPECT_TRUE(FilesNotInUse(Paths(130)));
    EXPECT_EQ(FakeRestartManager::chunks, (std::vector<UINT>{64, 64, 2}));
    EXPECT_EQ(FakeRestartManager::ends, 1);
}

TEST(FilesInUse, AnyProcessOrAnyFailureMeansInUse) {
    struct Case {
        const char* what;
        DWORD start, reg, list;
        UINT needed;
        bool expected;
        int ends;
    };
    const Case cases[] = {
        {"a process holds a file", 0, 0, ERROR_MORE_DATA, 1, false, 1},
        {"list succeeds but names a process", 0, 0, ERROR_SUCCESS, 1, false, 1},
        {"list fails", 0, 0, ERROR_ACCESS_DENIED, 0, false, 1},
        {"registration fails", 0, ERROR_BAD_ARGUMENTS, 0, 0, false, 1},
        {"session cannot start", ERROR_OUTOFMEMORY, 0, 0, 0, false, 0},
        {"nobody", 0, 0, ERROR_SUCCESS, 0, true, 1},
    };
    const RestartManagerApi table = FakeRestartManager::Table();
    ScopedRestartManagerApi scope(&table);
    for (const auto& c : cases) {
        FakeRestartManager::Reset();
        FakeRestartManager::startResult = c.start;
        FakeRestartManager::registerResult = c.reg;
        FakeRestartManager::listResult = c.list;
        FakeRestartManager::needed = c.needed;
        EXPECT_EQ(FilesNotInUse(Paths(3)), c.expected) << c.what;
        EXPECT_EQ(FakeRestartManager::ends, c.ends) << c.what;
    }
    FakeRestartManager::Reset();
    EXPECT_TRUE(FilesNotInUse({}));
    EXPECT_EQ(FakeRestartManager::starts, 0);
    const RestartManagerApi missing;
    ScopedRestartManagerApi none(&missing);
    EXPECT_FALSE(FilesNotInUse(Paths(1)));
}

TEST(FilesInUse, RealRestartManagerAnswersForClosedFiles) {
    ScratchDir scratch;
    ASSERT_TRUE(WriteBytes(scratch / L"a.dll", "a"));
    ASSERT_TRUE(RealRmApi().available);
    EXPECT_TRUE(FilesNotInUse({scratch / L"a.dll"}));
}

}  // namespace
}  // namespace quilmo
