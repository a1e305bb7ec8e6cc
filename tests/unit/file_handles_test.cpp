#include "files/file_handles.h"

#include "files/path_text.h"
#include "support/link_doubles.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <winioctl.h>

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::HandleShowsLink;
using testing_support::IdentityOf;
using testing_support::ListingShowsLink;
using testing_support::MakeDir;
using testing_support::OpenDirectory;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::Snapshot;
using testing_support::WriteBytes;

bool OpenExclusively(const std::wstring& path) {
    UniqueFile handle(CreateFileW(ToLongPathForm(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return handle.valid();
}

bool MakeReadOnlyFile(const std::wstring& path, const std::string& bytes) {
    return WriteBytes(path, bytes) && SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
}

class DirHandles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Exists(scratch.path()));
        root = OpenDirectory(scratch.path());
        ASSERT_TRUE(root.valid());
    }
    ScratchDir scratch;
    UniqueFile root;
};

TEST_F(DirHandles, OpenChildNoFollowOpensOnlyLeafNames) {
    ASSERT_TRUE(MakeDir(scratch / L"a"));
    ASSERT_TRUE(WriteBytes(scratch / L"a\\b", "x"));
    const std::wstring refused[] = {L"", L".", L"..", L"a\\b", L"a/b", L"..\\a", L"\\a"};
    for (const auto& name : refused) {
        OpenedHandle opened = OpenChildNoFollow(root.get(), name, ProbeFile);
        EXPECT_FALSE(opened.handle.valid()) << name;
        EXPECT_EQ(opened.status, kStatusObjectNameNotFound) << name;
    }
    OpenedHandle dir = OpenChildNoFollow(root.get(), L"a", TraverseDir);
    ASSERT_TRUE(dir.handle.valid());
    EXPECT_EQ(dir.status, kStatusSuccess);
    OpenedHandle file = OpenChildNoFollow(dir.handle.get(), L"B", ReadFileRel);  // case-insensitive
    EXPECT_TRUE(file.handle.valid());
    EXPECT_EQ(OpenChildNoFollow(root.get(), L"missing", ProbeFile).status, kStatusObjectNameNotFound);
    // The wrong kind of object is refused by the profile's options.
    EXPECT_FALSE(OpenChildNoFollow(root.get(), L"a", ProbeFile).handle.valid());
    EXPECT_FALSE(OpenChildNoFollow(dir.handle.get(), L"b", ListDir).handle.valid());
}

TEST_F(DirHandles, RelativeOpensRefuseNoneParentsAndOverlongNames) {
    ASSERT_TRUE(WriteBytes(scratch / L"f", "x"));
    for (HANDLE none : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(OpenChildNoFollow(none, L"f", ProbeFile).handle.valid());
        EXPECT_LT(OpenChildNoFollow(none, L"f", ProbeFile).status, 0);
    }
    const std::wstring overlong(32767, L'n');  // 65,534 bytes
    OpenedHandle opened = NtOpenRelative(root.get(), overlong, ProbeFile.access, kShareAll, kDispositionOpenIf,
                                         ProbeFile.options | kSynchronousIo, 0);
    EXPECT_FALSE(opened.handle.valid());
    EXPECT_EQ(opened.status, kStatusObjectNameNotFound);
}

TEST_F(DirHandles, NtOpenRelativeCreatesTheLockFileProfile) {
    OpenedHandle lock = NtOpenRelative(root.get(), L".qm_gc.lock", 0x00100183, 0, kDispositionOpenIf, 0x00200060, 0x82);
    ASSERT_TRUE(lock.handle.valid()) << std::hex << lock.status;
    const DWORD attributes = GetFileAttributesW((scratch / L".qm_gc.lock").c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    OpenedHandle second =
        NtOpenRelative(root.get(), L".qm_gc.lock", 0x00100183, 0, kDispositionOpenIf, 0x00200060, 0x82);
    EXPECT_FALSE(second.handle.valid());
    EXPECT_EQ(second.status, kStatusSharingViolation);
}

int queryCalls = 0;

NtStatus NTAPI CountingQuery(HANDLE file, HANDLE event, PVOID apc, PVOID context, PIO_STATUS_BLOCK io, PVOID buffer,
                             ULONG length, ULONG infoClass, BOOLEAN single, PUNICODE_STRING mask, BOOLEAN restart) {
    ++queryCalls;
    return RealNtApi().queryDirectoryFile(file, event, apc, context, io, buffer, length, infoClass, single, mask,
                                          restart);
}

TEST_F(DirHandles, ListingSpansSeveralBuffersAndSkipsDotEntries) {
    std::set<std::wstring> expected;
    for (int i = 0; i < 400; ++i) {
        const std::wstring name = L"entry-with-a-fairly-long-name-number-" + std::to_wstring(i) + L".bin";
        ASSERT_TRUE(WriteBytes(scratch / name, ""));
        expected.insert(name);
    }
    ASSERT_TRUE(MakeDir(scratch / L"subdir"));
    expected.insert(L"subdir");
    UniqueFile dir = OpenDirectory(scratch.path(), FILE_LIST_DIRECTORY | SYNCHRONIZE);
    std::vector<DirEntry> entries{DirEntry{L"stale", 0}};
    NtFileApi api = RealNtApi();
    api.queryDirectoryFile = &CountingQuery;
    queryCalls = 0;
    {
        ScopedNtFileApi scope(&api);
        ASSERT_TRUE(ListDirectoryNoFollow(dir.get(), &entries));
    }
    EXPECT_GE(queryCalls, 4) << "the listing must have needed several buffers";
    std::set<std::wstring> seen;
    for (const auto& entry : entries) {
        EXPECT_TRUE(seen.insert(entry.name).second) << "listed twice: " << entry.name;
        EXPECT_EQ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, entry.name == L"subdir") << entry.name;
    }
    EXPECT_EQ(seen, expected);
}

NtStatus NTAPI QueryWithOddNameLength(HANDLE file, HANDLE event, PVOID apc, PVOID context, PIO_STATUS_BLOCK io,
                                      PVOID buffer, ULONG length, ULONG infoClass, BOOLEAN single,
                                      PUNICODE_STRING mask, BOOLEAN restart) {
    const NtStatus status = RealNtApi().queryDirectoryFile(file, event, apc, context, io, buffer, length, infoClass,
                                                           single, mask, restart);
    if (status >= 0) {
        ULONG nameBytes = 0;
        std::memcpy(&nameBytes, static_cast<unsigned char*>(buffer) + 60, 4);
        nameBytes |= 1;
        std::memcpy(static_cast<unsigned char*>(buffer) + 60, &nameBytes, 4);
    }
    return status;
}

TEST_F(DirHandles, MalformedListingRecordFailsTheWholeListing) {
    ASSERT_TRUE(WriteBytes(scratch / L"one", "1"));
    NtFileApi api = RealNtApi();
    api.queryDirectoryFile = &QueryWithOddNameLength;
    ScopedNtFileApi scope(&api);
    std::vector<DirEntry> entries;
    EXPECT_FALSE(ListDirectoryNoFollow(root.get(), &entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(DirHandles, WithoutTheNativeInterfaceNothingOpensOrChanges) {
    ASSERT_TRUE(WriteBytes(scratch / L"keep", "k"));
    NtFileApi missing;  // nothing resolved
    ScopedNtFileApi scope(&missing);
    EXPECT_EQ(OpenChildNoFollow(root.get(), L"keep", ProbeFile).status, kStatusObjectNameNotFound);
    std::vector<DirEntry> entries;
    EXPECT_FALSE(ListDirectoryNoFollow(root.get(), &entries));
    EXPECT_FALSE(DeleteFileRelative(root.get(), L"keep"));
    EXPECT_EQ(ReadBytes(scratch / L"keep"), "k");
}

TEST_F(DirHandles, DeleteFileRelativeDeletesReadOnlyButNeverHardLinkedFiles) {
    ASSERT_TRUE(MakeReadOnlyFile(scratch / L"readonly.txt", "ro"));
    ASSERT_TRUE(WriteBytes(scratch / L"plain.txt", "p"));
    ASSERT_TRUE(WriteBytes(scratch / L"linked.txt", "shared"));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"second.txt").c_str(), (scratch / L"linked.txt").c_str(), nullptr));
    ASSERT_TRUE(MakeDir(scratch / L"dir"));

    EXPECT_TRUE(DeleteFileRelative(root.get(), L"readonly.txt"));
    EXPECT_FALSE(Exists(scratch / L"readonly.txt"));
    EXPECT_TRUE(DeleteFileRelative(root.get(), L"PLAIN.txt"));
    EXPECT_FALSE(Exists(scratch / L"plain.txt"));

    EXPECT_FALSE(DeleteFileRelative(root.get(), L"linked.txt"));
    EXPECT_FALSE(DeleteFileRelative(root.get(), L"second.txt"));
    EXPECT_EQ(ReadBytes(scratch / L"linked.txt"), "shared");
    EXPECT_EQ(ReadBytes(scratch / L"second.txt"), "shared");

    EXPECT_FALSE(DeleteFileRelative(root.get(), L"dir"));
    EXPECT_TRUE(Exists(scratch / L"dir"));
    EXPECT_FALSE(DeleteFileRelative(root.get(), L"missing"));
}

// Where the first open with delete access is refused (as Windows does for
// some read-only files), the two-handle retry must still delete single-link
// files only.
NtStatus NTAPI CreateRefusingDeleteAccess(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES object,
                                          PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes, ULONG share,
                                          ULONG disposition, ULONG options, PVOID ea, ULONG eaLength) {
    if (access == DeleteFileRel.access) return kStatusAccessDenied;
    return RealNtApi().createFile(handle, access, object, io, size, attributes, share, disposition, options, ea,
                                  eaLength);
}

TEST_F(DirHandles, DeleteFileRelativeRetriesWithTwoHandlesWhenDeleteAccessIsRefused) {
    ASSERT_TRUE(MakeReadOnlyFile(scratch / L"readonly.txt", "ro"));
    ASSERT_TRUE(WriteBytes(scratch / L"linked.txt", "shared"));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"second.txt").c_str(), (scratch / L"linked.txt").c_str(), nullptr));
    NtFileApi api = RealNtApi();
    api.createFile = &CreateRefusingDeleteAccess;
    ScopedNtFileApi scope(&api);
    EXPECT_TRUE(DeleteFileRelative(root.get(), L"readonly.txt"));
    EXPECT_FALSE(Exists(scratch / L"readonly.txt"));
    EXPECT_FALSE(DeleteFileRelative(root.get(), L"linked.txt"));
    EXPECT_EQ(ReadBytes(scratch / L"second.txt"), "shared");
}

TEST_F(DirHandles, DeleteFileRelativeLeavesAReadOnlyFileItRefusesReadOnly) {
    ASSERT_TRUE(MakeReadOnlyFile(scratch / L"kept.txt", "k"));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"kept2.txt").c_str(), (scratch / L"kept.txt").c_str(), nullptr));
    EXPECT_FALSE(DeleteFileRelative(root.get(), L"kept.txt"));
    EXPECT_NE(GetFileAttributesW((scratch / L"kept.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(DirHandles, BadNamesDeleteNothing) {
    ASSERT_TRUE(MakeDir(scratch / L"sub"));
    ASSERT_TRUE(WriteBytes(scratch / L"sub\\f", "f"));
    ASSERT_TRUE(WriteBytes(scratch / L"name", "n"));
    const auto before = Snapshot(scratch.path());
    const std::wstring names[] = {L"sub\\f", L"sub/f", L"name.", L"name ", L"..", L".", L"", std::wstring(40000, L'a')};
    for (const auto& name : names) {
        EXPECT_FALSE(DeleteFileRelative(root.get(), name)) << name.substr(0, 20);
        EXPECT_FALSE(RenameRelative(root.get(), root.get(), name)) << name.substr(0, 20);
    }
    for (HANDLE none : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        std::vector<DirEntry> entries;
        EXPECT_FALSE(ListDirectoryNoFollow(none, &entries));
        EXPECT_FALSE(GetFileIdentity(none, nullptr));
        EXPECT_FALSE(RenameRelative(none, root.get(), L"x"));
        EXPECT_FALSE(RenameRelative(root.get(), none, L"x"));
        EXPECT_FALSE(ClearReadOnly(none, FILE_ATTRIBUTE_READONLY));
        EXPECT_FALSE(DeleteFileRelative(none, L"name"));
        EXPECT_FALSE(DeleteTreeRelative(none, 0));
        EXPECT_EQ(GetFinalPathNormalized(none), L"");
        EXPECT_FALSE(IsOwnerAndDaclSafe(none));
    }
    EXPECT_EQ(Snapshot(scratch.path()), before);
    root.reset();
    EXPECT_TRUE(OpenExclusively(scratch / L"name"));
    EXPECT_TRUE(OpenExclusively(scratch / L"sub"));
}

TEST_F(DirHandles, RenameRelativeNeverReplaces) {
    ASSERT_TRUE(WriteBytes(scratch / L"from", "from"));
    ASSERT_TRUE(WriteBytes(scratch / L"taken", "taken"));
    OpenedHandle file = OpenChildNoFollow(root.get(), L"from", DeleteFileRel);
    ASSERT_TRUE(file.handle.valid());
    EXPECT_FALSE(RenameRelative(file.handle.get(), root.get(), L"taken"));
    EXPECT_EQ(ReadBytes(scratch / L"taken"), "taken");
    EXPECT_EQ(ReadBytes(scratch / L"from"), "from");
    EXPECT_TRUE(RenameRelative(file.handle.get(), root.get(), L"moved.__qmdel_0123456789abcdef"));
    file.handle.reset();
    EXPECT_FALSE(Exists(scratch / L"from"));
    EXPECT_EQ(ReadBytes(scratch / L"moved.__qmdel_0123456789abcdef"), "from");
}

TEST_F(DirHandles, IdentityFinalPathAndClearReadOnly) {
    ASSERT_TRUE(MakeReadOnlyFile(scratch / L"ro", "r"));
    OpenedHandle file = OpenChildNoFollow(root.get(), L"ro", AttribFile);
    ASSERT_TRUE(file.handle.valid());
    FileIdentity viaHandle;
    BY_HANDLE_FILE_INFORMATION info{};
    ASSERT_TRUE(GetFileIdentity(file.handle.get(), &viaHandle, &info));
    UniqueFile again(CreateFileW((scratch / L"ro").c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                 0, nullptr));
    FileIdentity viaPath;
    ASSERT_TRUE(GetFileIdentity(again.get(), &viaPath));
    EXPECT_EQ(viaHandle, viaPath);
    EXPECT_FALSE(viaHandle < viaPath);
    EXPECT_NE(viaHandle, IdentityOf(scratch.path()));

    EXPECT_TRUE(ClearReadOnly(file.handle.get(), info.dwFileAttributes));
    const DWORD after = GetFileAttributesW((scratch / L"ro").c_str());
    EXPECT_EQ(after & FILE_ATTRIBUTE_READONLY, 0u);

    EXPECT_TRUE(PathEquals(GetFinalPathNormalized(root.get()), NormalizePath(scratch.path())))
        << GetFinalPathNormalized(root.get());
    EXPECT_TRUE(PathEquals(GetFinalPathNormalized(file.handle.get()), NormalizePath(scratch / L"ro")));
}

TEST_F(DirHandles, EnsureDirectoryCreatesParentsAndRefusesFiles) {
    EXPECT_TRUE(EnsureDirectory(scratch / L"a\\b\\c"));
    EXPECT_TRUE(Exists(scratch / L"a\\b\\c"));
    EXPECT_TRUE(EnsureDirectory(scratch / L"a\\b\\c"));  // already there
    ASSERT_TRUE(WriteBytes(scratch / L"file", "f"));
    EXPECT_FALSE(EnsureDirectory(scratch / L"file"));
    EXPECT_FALSE(EnsureDirectory(scratch / L"file\\below"));
    EXPECT_EQ(ReadBytes(scratch / L"file"), "f");

    std::wstring deep = scratch.path();
    while (deep.size() < 300) deep += L"\\long-component";
    EXPECT_TRUE(EnsureDirectory(deep));
    EXPECT_TRUE(Exists(deep));

    std::wstring huge = scratch / L"h";
    while (huge.size() < 33000) huge += L"\\h";
    EXPECT_FALSE(EnsureDirectory(huge));
    EXPECT_FALSE(Exists(scratch / L"h"));
    EXPECT_FALSE(EnsureDirectory(L""));
}

// A tree with a nested read-only directory and read-only files at several depths.
void BuildNestedTree(const std::wstring& top, int depth) {
    std::wstring dir = top;
    ASSERT_TRUE(MakeDir(dir));
    for (int i = 0; i < depth; ++i) {
        ASSERT_TRUE(WriteBytes(dir + L"\\file" + std::to_wstring(i), std::string(i * 100, 'x')));
        ASSERT_TRUE(MakeReadOnlyFile(dir + L"\\readonly" + std::to_wstring(i), "ro"));
        dir += L"\\level" + std::to_wstring(i);
        ASSERT_TRUE(MakeDir(dir));
    }
    ASSERT_TRUE(WriteBytes(dir + L"\\leaf", "leaf"));
    ASSERT_TRUE(SetFileAttributesW((top + L"\\level0").c_str(), FILE_ATTRIBUTE_READONLY));
}

TEST_F(DirHandles, DeleteTreeRelativeRemovesANestedTree) {
    BuildNestedTree(scratch / L"tree", 12);
    {
        OpenedHandle tree = OpenChildNoFollow(root.get(), L"tree", DeleteDir);
        ASSERT_TRUE(tree.handle.valid());
        EXPECT_TRUE(DeleteTreeRelative(tree.handle.get(), 0));
    }
    EXPECT_FALSE(Exists(scratch / L"tree"));
}

TEST_F(DirHandles, DeleteTreeRelativeStopsBeyondSixtyFourLevels) {
    ASSERT_TRUE(MakeDir(scratch / L"t"));
    ASSERT_TRUE(WriteBytes(scratch / L"t\\f", "f"));
    OpenedHandle tree = OpenChildNoFollow(root.get(), L"t", DeleteDir);
    ASSERT_TRUE(tree.handle.valid());
    EXPECT_FALSE(DeleteTreeRelative(tree.handle.get(), 65));
    EXPECT_FALSE(DeleteTreeRelative(tree.handle.get(), -1));
    tree.handle.reset();
    EXPECT_EQ(ReadBytes(scratch / L"t\\f"), "f");
}

// Windows lists a junction or symbolic link with FILE_ATTRIBUTE_REPARSE_POINT;
// this Wine cannot make one, so the listing reports a real directory that way.
TEST_F(DirHandles, DeleteTreeRelativeRefusesADirectoryHoldingALinkBeforeDeletingInIt) {
    ASSERT_TRUE(MakeDir(scratch / L"top"));
    ASSERT_TRUE(WriteBytes(scratch / L"top\\a.txt", "a"));
    ASSERT_TRUE(MakeDir(scratch / L"top\\sub"));
    ASSERT_TRUE(WriteBytes(scratch / L"top\\sub\\b.txt", "b"));
    ASSERT_TRUE(MakeDir(scratch / L"top\\sub\\junction"));
    ASSERT_TRUE(WriteBytes(scratch / L"top\\sub\\junction\\target.txt", "t"));
    ASSERT_TRUE(MakeDir(scratch / L"top\\sub\\z"));
    ASSERT_TRUE(WriteBytes(scratch / L"top\\sub\\z\\c.txt", "c"));
    const auto subBefore = Snapshot(scratch / L"top\\sub");
    {
        ListingShowsLink link(L"junction");
        OpenedHandle top = OpenChildNoFollow(root.get(), L"top", DeleteDir);
        ASSERT_TRUE(top.handle.valid());
        EXPECT_FALSE(DeleteTreeRelative(top.handle.get(), 0));
    }
    EXPECT_EQ(Snapshot(scratch / L"top\\sub"), subBefore);  // nothing in it was touched
    EXPECT_FALSE(Exists(scratch / L"top\\a.txt"));          // its siblings outside were processed
    EXPECT_TRUE(Exists(scratch / L"top"));
}

TEST_F(DirHandles, DeleteTreeRelativeRefusesAHandleThatIsALink) {
    ASSERT_TRUE(MakeDir(scratch / L"linked"));
    ASSERT_TRUE(WriteBytes(scratch / L"linked\\f", "f"));
    HandleShowsLink link(IdentityOf(scratch / L"linked"));
    OpenedHandle dir = OpenChildNoFollow(root.get(), L"linked", DeleteDir);
    ASSERT_TRUE(dir.handle.valid());
    EXPECT_FALSE(DeleteTreeRelative(dir.handle.get(), 0));
    dir.handle.reset();
    EXPECT_EQ(ReadBytes(scratch / L"linked\\f"), "f");
}

// Runs the real call: where the system can make a junction, the tree that
// holds it is refused and the junction's target keeps its files.
TEST_F(DirHandles, RealJunctionIsRefusedWhereItCanBeMade) {
    ASSERT_TRUE(MakeDir(scratch / L"target"));
    ASSERT_TRUE(WriteBytes(scratch / L"target\\precious", "p"));
    ASSERT_TRUE(MakeDir(scratch / L"tree"));
    ASSERT_TRUE(MakeDir(scratch / L"tree\\junction"));
    DWORD error = 0;
    {
        UniqueFile junction(CreateFileW((scratch / L"tree\\junction").c_str(), GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
        ASSERT_TRUE(junction.valid());
        const std::wstring substitute = L"\\??\\" + (scratch / L"target");
        const std::wstring print = scratch / L"target";
        std::vector<BYTE> buffer(16 + (substitute.size() + print.size() + 2) * 2);
        const WORD substituteBytes = static_cast<WORD>(substitute.size() * 2);
        const WORD printBytes = static_cast<WORD>(print.size() * 2);
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        const WORD dataLength = static_cast<WORD>(8 + substituteBytes + 2 + printBytes + 2);
        const WORD fields[4] = {0, substituteBytes, static_cast<WORD>(substituteBytes + 2), printBytes};
        std::memcpy(&buffer[0], &tag, 4);
        std::memcpy(&buffer[4], &dataLength, 2);
        std::memcpy(&buffer[8], fields, 8);
        std::memcpy(&buffer[16], substitute.data(), substituteBytes);
        std::memcpy(&buffer[16 + substituteBytes + 2], print.data(), printBytes);
        DWORD returned = 0;
        if (!DeviceIoControl(junction.get(), FSCTL_SET_REPARSE_POINT, buffer.data(), 8 + dataLength, nullptr, 0,
                             &returned, nullptr)) {
            error = GetLastError();
        }
    }
    const DWORD attributes = GetFileAttributesW((scratch / L"tree\\junction").c_str());
    if (error != 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "this system cannot create a junction (error " << error << ")";
    }
    OpenedHandle tree = OpenChildNoFollow(root.get(), L"tree", DeleteDir);
    ASSERT_TRUE(tree.handle.valid());
    EXPECT_FALSE(DeleteTreeRelative(tree.handle.get(), 0));
    EXPECT_EQ(ReadBytes(scratch / L"target\\precious"), "p");
    RemoveDirectoryW((scratch / L"tree\\junction").c_str());
}

// Everything dangerous this prefix can hold, next to a sibling directory of
// the user's: hard links to files outside, read-only files and directories,
// deep nesting and (where they can be made) symbolic links.
TEST_F(DirHandles, DeletesNeverReachOutsideTheTree) {
    ASSERT_TRUE(MakeDir(scratch / L"users-sibling"));
    ASSERT_TRUE(WriteBytes(scratch / L"users-sibling\\notes.txt", "do not lose"));
    ASSERT_TRUE(MakeReadOnlyFile(scratch / L"users-sibling\\ro.txt", "read only"));
    ASSERT_TRUE(MakeDir(scratch / L"outside"));
    ASSERT_TRUE(WriteBytes(scratch / L"outside\\target.bin", "outside target"));
    ASSERT_TRUE(MakeReadOnlyFile(scratch / L"outside\\ro-target.bin", "ro target"));

    BuildNestedTree(scratch / L"doomed", 20);
    ASSERT_TRUE(CreateHardLinkW((scratch / L"doomed\\hardlink.bin").c_str(),
                                (scratch / L"outside\\target.bin").c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"doomed\\level0\\level1\\ro-link.bin").c_str(),
                                (scratch / L"outside\\ro-target.bin").c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkW((scratch / L"doomed\\sibling-link.txt").c_str(),
                                (scratch / L"users-sibling\\notes.txt").c_str(), nullptr));
    CreateSymbolicLinkW((scratch / L"doomed\\to-sibling").c_str(), (scratch / L"users-sibling").c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY);
    CreateSymbolicLinkW((scratch / L"doomed\\to-target").c_str(), (scratch / L"outside\\target.bin").c_str(), 0);

    const auto siblingBefore = Snapshot(scratch / L"users-sibling");
    const auto outsideBefore = Snapshot(scratch / L"outside");
    ASSERT_EQ(siblingBefore.size(), 2u);
    ASSERT_EQ(outsideBefore.size(), 2u);
    auto unchanged = [&](const char* step) {
        EXPECT_EQ(Snapshot(scratch / L"users-sibling"), siblingBefore) << step;
        EXPECT_EQ(Snapshot(scratch / L"outside"), outsideBefore) << step;
    };

    EXPECT_FALSE(DeleteFileRelative(root.get(), L"users-sibling"));
    {
        OpenedHandle doomed = OpenChildNoFollow(root.get(), L"doomed", DeleteDir);
        ASSERT_TRUE(doomed.handle.valid());
        EXPECT_FALSE(DeleteFileRelative(doomed.handle.get(), L"hardlink.bin"));
        EXPECT_FALSE(DeleteFileRelative(doomed.handle.get(), L"..\\users-sibling\\notes.txt"));
        EXPECT_FALSE(DeleteTreeRelative(doomed.handle.get(), 0));  // hard links inside
    }
    unchanged("tree with hard links");
    EXPECT_TRUE(Exists(scratch / L"doomed\\hardlink.bin"));
    EXPECT_TRUE(Exists(scratch / L"doomed\\sibling-link.txt"));

    // With the outside links gone the rest of the tree is deletable, and
    // still nothing outside changes.
    ASSERT_TRUE(DeleteFileW((scratch / L"doomed\\hardlink.bin").c_str()));
    ASSERT_TRUE(DeleteFileW((scratch / L"doomed\\sibling-link.txt").c_str()));
    SetFileAttributesW((scratch / L"doomed\\level0\\level1\\ro-link.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(DeleteFileW((scratch / L"doomed\\level0\\level1\\ro-link.bin").c_str()));
    SetFileAttributesW((scratch / L"outside\\ro-target.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    const bool linksMade = Exists(scratch / L"doomed\\to-sibling") || Exists(scratch / L"doomed\\to-target");
    {
        OpenedHandle doomed = OpenChildNoFollow(root.get(), L"doomed", DeleteDir);
        ASSERT_TRUE(doomed.handle.valid());
        EXPECT_EQ(DeleteTreeRelative(doomed.handle.get(), 0), !linksMade);
    }
    unchanged("tree without hard links");
    EXPECT_EQ(Exists(scratch / L"doomed"), linksMade);
}

}  // namespace
}  // namespace quilmo
