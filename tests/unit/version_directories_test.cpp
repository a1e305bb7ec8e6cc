#include "files/version_directories.h"

#include "files/file_handles.h"
#include "files/path_text.h"
#include "files/text_encoding.h"
#include "manifest/sha256.h"
#include "startup/paths.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::ListNames;
using testing_support::MakeDir;
using testing_support::OpenDirectory;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::Snapshot;
using testing_support::WriteBytes;

bool HasMigrationLeftovers(const std::wstring& dir) {
    for (const auto& entry : ListNames(dir)) {
        if (entry.first.find(L".__qmmig_") != std::wstring::npos) return true;
    }
    return false;
}

bool EndsWithSuffixOfEightHexDigits(const std::string& path, const std::string& plain) {
    if (path.size() != plain.size() + 10 || path.compare(0, plain.size(), plain) != 0) return false;
    if (path[plain.size()] != '_' || path.back() != '\\') return false;
    for (size_t i = plain.size() + 1; i < path.size() - 1; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(path[i])) || std::isupper(static_cast<unsigned char>(path[i])))
            return false;
    }
    return true;
}

class VersionDirs : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string base = WideToUtf8(scratch / L"\u594E\u58A8 base");
};

TEST_F(VersionDirs, CandidateWithoutCreating) {
    EXPECT_EQ(AllocateTargetDirectory(base, "2026.1.2", false), base + "\\2026.1.2\\");
    EXPECT_EQ(AllocateTargetDirectory(base + "/", "2026.1.2", false), base + "/2026.1.2\\");
    EXPECT_EQ(AllocateTargetDirectory(base + "\\", "", false), base + "\\unknown\\");
    EXPECT_EQ(AllocateTargetDirectory("", "2026.1", false), WideToUtf8(ProductDataFolder()) + "2026.1\\");
    EXPECT_FALSE(Exists(Utf8ToWide(base)));
}

TEST_F(VersionDirs, CreatesThePlainNameThenASuffixedOne) {
    const std::string first = AllocateTargetDirectory(base, "", true);
    EXPECT_EQ(first, base + "\\unknown\\");
    EXPECT_TRUE(Exists(Utf8ToWide(first)));
    const std::string second = AllocateTargetDirectory(base, "", true);
    EXPECT_TRUE(EndsWithSuffixOfEightHexDigits(second, base + "\\unknown")) << second;
    EXPECT_TRUE(Exists(Utf8ToWide(second)));
    EXPECT_EQ(ListNames(Utf8ToWide(base)).size(), 2u);
}

int creationAttempts = 0;
BOOL WINAPI FailingCreate(LPCWSTR, LPSECURITY_ATTRIBUTES) {
    ++creationAttempts;
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
}

TEST_F(VersionDirs, GivesUpAfterTwentyOneFailedCreations) {
    creationAttempts = 0;
    {
        ScopedDirectoryCreator failing(&FailingCreate);
        EXPECT_EQ(AllocateTargetDirectory(base, "2026.1", true), "");
    }
    EXPECT_EQ(creationAttempts, 21);
    EXPECT_FALSE(Exists(Utf8ToWide(base) + L"\\2026.1"));
}

TEST_F(VersionDirs, RefusesVersionsThatAreNotOneDirectoryName) {
    ASSERT_TRUE(MakeDir(Utf8ToWide(base)));
    for (const char* version : {"..\\evil", "a/b", "..", ".", "2026.1.", "2026.1 ", "C:", "a:b", "x*"}) {
        EXPECT_EQ(AllocateTargetDirectory(base, version, false), "") << version;
        EXPECT_EQ(AllocateTargetDirectory(base, version, true), "") << version;
    }
    EXPECT_TRUE(ListNames(Utf8ToWide(base)).empty());
    EXPECT_TRUE(ListNames(scratch.path()).size() == 1u);
}

class CopyVersion : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeDir(source));
        ASSERT_TRUE(WriteBytes(source + L"\\Quilmo.Core.dll", "core"));
        ASSERT_TRUE(MakeDir(source + L"\\sub"));
        ASSERT_TRUE(MakeDir(source + L"\\sub\\deeper"));
        ASSERT_TRUE(WriteBytes(source + L"\\sub\\deeper\\res.bin", std::string(100000, 'r')));
        ASSERT_TRUE(WriteBytes(source + L"\\sub\\empty.txt", ""));
    }
    ScratchDir scratch;
    std::wstring source = scratch / L"2026.1";
};

TEST_F(CopyVersion, CopiesNestedTreesAndOverwrites) {
    const std::wstring destination = scratch / L"2026.2";
    ASSERT_TRUE(MakeDir(destination));
    ASSERT_TRUE(WriteBytes(destination + L"\\Quilmo.Core.dll", "stale"));
    ASSERT_TRUE(WriteBytes(destination + L"\\new-only.txt", "n"));
    EXPECT_TRUE(CopyPreviousVersion(source + L"/", destination + L"\\\\"));
    auto copied = Snapshot(destination);
    EXPECT_EQ(copied.erase(L"new-only.txt"), 1u);
    EXPECT_EQ(copied, Snapshot(source));
}

// The copy that also hashes: the same tree as the plain copy, each written
// file's digest known from the bytes written, and every copied file locked
// against change until the check has used that digest.
TEST_F(CopyVersion, HashingCopyRecordsDigestsOfWrittenFilesAndLocksThemUntilReleased) {
    const std::wstring destination = scratch / L"2026.2";
    ASSERT_TRUE(MakeDir(destination));
    ASSERT_TRUE(WriteBytes(destination + L"\\Quilmo.Core.dll", "stale"));
    ASSERT_TRUE(WriteBytes(destination + L"\\new-only.txt", "n"));
    ASSERT_TRUE(WriteBytes(scratch / L"other.bin", "other"));
    CopiedFiles copied;
    EXPECT_TRUE(CopyPreviousVersion(source, destination + L"\\", &copied));
    EXPECT_EQ(copied.Count(), 3u);
    for (const wchar_t* name : {L"Quilmo.Core.dll", L"sub\\deeper\\res.bin", L"sub\\empty.txt"}) {
        SCOPED_TRACE(WideToUtf8(name));
        EXPECT_EQ(copied.DigestOf(destination + L"\\" + name), Sha256OfFile(source + L"\\" + name));
        const std::wstring path = destination + L"\\" + name;
        UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(writer.valid()) << "a copied file must not be writable before the check";
        EXPECT_FALSE(MoveFileExW((scratch / L"other.bin").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
        EXPECT_FALSE(DeleteFileW(path.c_str()));
    }
    // Paths are compared as Windows does, without regard to case or slash.
    EXPECT_EQ(copied.DigestOf(destination + L"/SUB/deeper/RES.bin"), Sha256OfFile(source + L"\\sub\\deeper\\res.bin"));
    EXPECT_EQ(copied.DigestOf(destination + L"\\sub\\empty.txt"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(copied.DigestOf(destination + L"\\new-only.txt"), "");  // not written by this copy

    copied.Release();
    EXPECT_EQ(copied.DigestOf(destination + L"\\Quilmo.Core.dll"), "");
    auto after = Snapshot(destination);
    EXPECT_EQ(after.erase(L"new-only.txt"), 1u);
    EXPECT_EQ(after, Snapshot(source));
    EXPECT_TRUE(WriteBytes(destination + L"\\Quilmo.Core.dll", "changed after the check"));
}

// A file the copy could not read keeps whatever the destination held, and
// nothing vouches for it: the check hashes it from disk.
TEST_F(CopyVersion, HashingCopyVouchesOnlyForWhatItWrote) {
    const std::wstring destination = scratch / L"2026.2";
    ASSERT_TRUE(MakeDir(destination));
    ASSERT_TRUE(WriteBytes(destination + L"\\Quilmo.Core.dll", "stale"));
    UniqueFile busy(CreateFileW((source + L"\\Quilmo.Core.dll").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(busy.valid());
    CopiedFiles copied;
    EXPECT_TRUE(CopyPreviousVersion(source, destination, &copied));
    EXPECT_EQ(copied.DigestOf(destination + L"\\Quilmo.Core.dll"), "");
    EXPECT_EQ(copied.Count(), 2u);
    copied.Release();
    EXPECT_EQ(ReadBytes(destination + L"\\Quilmo.Core.dll"), "stale");
}

TEST_F(CopyVersion, NeverCopiesADestinationInsideTheSourceIntoItself) {
    const std::wstring destination = source + L"\\sub\\staging";
    EXPECT_TRUE(CopyPreviousVersion(source, destination));
    EXPECT_EQ(ReadBytes(destination + L"\\Quilmo.Core.dll"), "core");
    EXPECT_FALSE(Exists(destination + L"\\sub"));  // the branch holding the destination is left out
    EXPECT_FALSE(Exists(destination + L"\\staging"));
}

TEST_F(CopyVersion, RefusesWhatCannotBeCopied) {
    const auto before = Snapshot(scratch.path());
    EXPECT_FALSE(CopyPreviousVersion(source + L"\\sub", source));     // source inside destination
    EXPECT_FALSE(CopyPreviousVersion(scratch / L"missing", scratch / L"x"));
    EXPECT_FALSE(CopyPreviousVersion(L"", scratch / L"x"));
    EXPECT_FALSE(CopyPreviousVersion(source, L"\\\\"));
    EXPECT_TRUE(CopyPreviousVersion(source, source + L"\\"));        // the same directory: nothing to do
    EXPECT_EQ(Snapshot(scratch.path()), before);
}

class Migration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(MakeDir(versionPath));
        version = OpenDirectory(versionPath, FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE);
        ASSERT_TRUE(version.valid());
    }
    ScratchDir scratch;
    std::wstring versionPath = scratch / L"2026.1";
    std::wstring dataDir = scratch / L"roaming\\quilmostudio\\Quilmo";
    UniqueFile version;
};

TEST_F(Migration, NothingToMigrateLeavesTheDataDirectoryUncreated) {
    ASSERT_TRUE(WriteBytes(versionPath + L"\\Quilmo.Core.dll", "core"));
    EXPECT_TRUE(MigrateUserFiles(version.get(), dataDir));
    EXPECT_FALSE(Exists(scratch / L"roaming"));
}

TEST_F(Migration, CopiesAllThreeFilesAndKeepsTheSources) {
    ASSERT_TRUE(WriteBytes(versionPath + L"\\config.ini", "[a]\r\nb=1\r\n"));
    ASSERT_TRUE(WriteBytes(versionPath + L"\\Cookie.dat", ""));
    ASSERT_TRUE(WriteBytes(versionPath + L"\\WebViewScripts.json", std::string(150000, 'j')));
    EXPECT_TRUE(MigrateUserFiles(version.get(), dataDir + L"\\"));
    EXPECT_EQ(ReadBytes(dataDir + L"\\config.ini"), "[a]\r\nb=1\r\n");
    EXPECT_EQ(ReadBytes(dataDir + L"\\Cookie.dat"), "");
    EXPECT_EQ(ReadBytes(dataDir + L"\\WebViewScripts.json"), std::string(150000, 'j'));
    EXPECT_EQ(ReadBytes(versionPath + L"\\config.ini"), "[a]\r\nb=1\r\n");
    EXPECT_FALSE(HasMigrationLeftovers(dataDir));
    // A second run finds everything migrated and changes nothing.
    const auto after = Snapshot(dataDir);
    EXPECT_TRUE(MigrateUserFiles(version.get(), dataDir));
    EXPECT_EQ(Snapshot(dataDir), after);
}

TEST_F(Migration, ExistingDestinationsAreNeverReplaced) {
    ASSERT_TRUE(testing_support::MakeDir(scratch / L"roaming"));
    ASSERT_TRUE(EnsureDirectory(dataDir));
    ASSERT_TRUE(WriteBytes(versionPath + L"\\config.ini", "old version's settings"));
    ASSERT_TRUE(WriteBytes(dataDir + L"\\config.ini", "the user's newer settings"));
    EXPECT_TRUE(MigrateUserFiles(version.get(), dataDir));
    EXPECT_EQ(ReadBytes(dataDir + L"\\config.ini"), "the user's newer settings");

    ASSERT_TRUE(WriteBytes(versionPath + L"\\Cookie.dat", "cookies"));
    ASSERT_TRUE(WriteBytes(dataDir + L"\\Cookie.dat", ""));
    EXPECT_FALSE(MigrateUserFiles(version.get(), dataDir));
    EXPECT_EQ(ReadBytes(dataDir + L"\\Cookie.dat"), "");
    EXPECT_FALSE(HasMigrationLeftovers(dataDir));
}

TEST_F(Migration, ZeroLengthFilesAndDirectoriesOfTheSameName) {
    ASSERT_TRUE(WriteBytes(versionPath + L"\\Cookie.dat", ""));
    ASSERT_TRUE(MakeDir(versionPath + L"\\config.ini"));
    ASSERT_TRUE(EnsureDirectory(dataDir));
    ASSERT_TRUE(WriteBytes(dataDir + L"\\Cookie.dat", ""));
    EXPECT_TRUE(MigrateUserFiles(version.get(), dataDir));  // empty counts as migrated when empty is expected
    EXPECT_FALSE(Exists(dataDir + L"\\config.ini"));

    ASSERT_TRUE(WriteBytes(versionPath + L"\\WebViewScripts.json", "{}"));
    ASSERT_TRUE(MakeDir(dataDir + L"\\WebViewScripts.json"));
    EXPECT_FALSE(MigrateUserFiles(version.get(), dataDir));  // a directory in the way is never replaced
}

TEST_F(Migration, RefusesWithoutAUsableDataDirectoryOrHandle) {
    ASSERT_TRUE(WriteBytes(versionPath + L"\\config.ini", "c"));
    EXPECT_FALSE(MigrateUserFiles(version.get(), L""));
    ASSERT_TRUE(WriteBytes(scratch / L"roaming", "a file where the directory should be"));
    EXPECT_FALSE(MigrateUserFiles(version.get(), dataDir));
    EXPECT_EQ(ReadBytes(scratch / L"roaming"), "a file where the directory should be");
    EXPECT_FALSE(MigrateUserFiles(nullptr, dataDir));
    EXPECT_FALSE(MigrateUserFiles(INVALID_HANDLE_VALUE, dataDir));
}

class AtomicCopy : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteBytes(sourcePath, content));
        source.reset(CreateFileW(sourcePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
        ASSERT_TRUE(source.valid());
        ASSERT_TRUE(MakeDir(target));
    }
    ScratchDir scratch;
    std::string content = std::string(70000, 'a') + "tail";
    std::wstring sourcePath = scratch / L"source.bin";
    std::wstring target = scratch / L"target";
    UniqueFile source;
};

TEST_F(AtomicCopy, CopiesFromTheCurrentPositionAndRenames) {
    SetFilePointer(source.get(), 4, nullptr, FILE_BEGIN);
    EXPECT_TRUE(CopyFileAtomically(source.get(), target, content.size() - 4, L"config.ini", target + L"\\config.ini"));
    EXPECT_EQ(ReadBytes(target + L"\\config.ini"), content.substr(4));
    EXPECT_EQ(ListNames(target).size(), 1u);
}

TEST_F(AtomicCopy, ProvokedFailuresLeaveNoTemporaryFile) {
    EXPECT_FALSE(CopyFileAtomically(source.get(), target, content.size() + 1, L"config.ini",
                                    target + L"\\config.ini"));  // short source
    EXPECT_TRUE(ListNames(target).empty());

    SetFilePointer(source.get(), 0, nullptr, FILE_BEGIN);
    EXPECT_FALSE(CopyFileAtomically(source.get(), target, content.size(), L"config.ini",
                                    scratch / L"missing-dir\\config.ini"));  // the rename fails
    EXPECT_TRUE(ListNames(target).empty());

    EXPECT_FALSE(CopyFileAtomically(source.get(), scratch / L"nowhere", content.size(), L"config.ini",
                                    scratch / L"nowhere\\config.ini"));
    EXPECT_FALSE(CopyFileAtomically(source.get(), target, content.size(), L"..\\config.ini",
                                    scratch / L"config.ini"));
    EXPECT_FALSE(CopyFileAtomically(INVALID_HANDLE_VALUE, target, 0, L"config.ini", target + L"\\config.ini"));
    EXPECT_FALSE(Exists(scratch / L"config.ini"));
    EXPECT_TRUE(ListNames(target).empty());

    source.reset();
    UniqueFile writeOnly(CreateFileW(sourcePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    ASSERT_TRUE(writeOnly.valid());
    EXPECT_FALSE(CopyFileAtomically(writeOnly.get(), target, content.size(), L"config.ini",
                                    target + L"\\config.ini"));  // the read fails
    EXPECT_TRUE(ListNames(target).empty());
}

TEST_F(AtomicCopy, ADestinationThatAppearedIsKeptWhenUsable) {
    ASSERT_TRUE(WriteBytes(target + L"\\config.ini", "already there"));
    EXPECT_TRUE(CopyFileAtomically(source.get(), target, content.size(), L"config.ini", target + L"\\config.ini"));
    EXPECT_EQ(ReadBytes(target + L"\\config.ini"), "already there");
    EXPECT_EQ(ListNames(target).size(), 1u);

    ASSERT_TRUE(WriteBytes(target + L"\\Cookie.dat", ""));
    SetFilePointer(source.get(), 0, nullptr, FILE_BEGIN);
    EXPECT_FALSE(CopyFileAtomically(source.get(), target, content.size(), L"Cookie.dat", target + L"\\Cookie.dat"));
    EXPECT_EQ(ReadBytes(target + L"\\Cookie.dat"), "");
    EXPECT_EQ(ListNames(target).size(), 2u);
}

TEST_F(AtomicCopy, UsableExistingFile) {
    ASSERT_TRUE(WriteBytes(target + L"\\empty", ""));
    ASSERT_TRUE(WriteBytes(target + L"\\full", "x"));
    ASSERT_TRUE(MakeDir(target + L"\\dir"));
    struct Case {
        const wchar_t* name;
        uint64_t expected;
        bool usable;
    };
    const Case cases[] = {
        {L"empty", 0, true}, {L"empty", 5, false}, {L"full", 0, true},     {L"full", 9, true},
        {L"dir", 0, false},  {L"missing", 0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsUsableExistingFile(target + L"\\" + c.name, c.expected), c.usable) << c.name << " " << c.expected;
    }
    EXPECT_FALSE(IsUsableExistingFile(L"", 0));
}

TEST(UserData, DirectoryIsBelowRoamingApplicationData) {
    const std::wstring dir = UserDataDirectory();
    const std::wstring product = ProductDataFolder();  // roaming + "\QuilmoStudio\Quilmo2025\"
    const std::wstring roaming = product.substr(0, product.size() - std::wstring(L"\\QuilmoStudio\\Quilmo2025\\").size());
    EXPECT_EQ(dir, roaming + L"\\quilmostudio\\Quilmo");
}

}  // namespace
}  // namespace quilmo
