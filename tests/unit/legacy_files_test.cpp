// The legacy VSTO files and batch files in an install directory.
#include "registration/legacy_cleanup.h"

#include <gtest/gtest.h>

#include "files/unique_handle.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::ListNames;
using testing_support::MakeDir;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

const std::vector<std::wstring> kVstoFiles = {
    L"Quilmo2025.Word.vsto",  L"Quilmo2025.Word.dll",  L"Quilmo2025.Word.dll.manifest",
    L"Quilmo2025.Excel.vsto", L"Quilmo2025.Excel.dll", L"Quilmo2025.Excel.dll.manifest",
    L"Quilmo2025.PPT.vsto",   L"Quilmo2025.PPT.dll",   L"Quilmo2025.PPT.dll.manifest",
};
const std::vector<std::wstring> kBatchFiles = {L"_修复com注册错误.bat", L"_delete_edge_runtime.bat",
                                               L"_reg_machine.bat"};
// Files of the current add-in and near-misses of the legacy names.
const std::vector<std::wstring> kKeptFiles = {L"Quilmo.Core.dll", L"ZUDodi32.dll",    L"Quilmo2025.Word.dll.bak",
                                              L"Quilmo2025.Word", L"reg_machine.bat", L"app.version"};

void WriteFiles(const ScratchDir& dir, const std::vector<std::wstring>& names, DWORD attributes = 0) {
    for (const std::wstring& name : names) {
        ASSERT_TRUE(WriteBytes(dir / name, "x"));
        if (attributes != 0) {
            ASSERT_TRUE(SetFileAttributesW((dir / name).c_str(), attributes));
        }
    }
}

std::wstring ForwardSlashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

struct FileSet {
    const char* name;
    bool (*remove)(const std::wstring&);
    const std::vector<std::wstring>* files;
};

void PrintTo(const FileSet& set, std::ostream* os) { *os << set.name; }

class LegacyFiles : public testing::TestWithParam<FileSet> {
protected:
    ScratchDir dir_;
    bool Remove(const std::wstring& installDir) { return GetParam().remove(installDir); }
    const std::vector<std::wstring>& Files() { return *GetParam().files; }
};

// Read-only, hidden and plain files go; every other file stays; however the
// directory is written.
TEST_P(LegacyFiles, AreDeletedWhateverTheirAttributes) {
    // A read-only file refuses a plain delete here, as on Windows.
    {
        ScratchDir witness;
        WriteFiles(witness, {L"witness"}, FILE_ATTRIBUTE_READONLY);
        ASSERT_FALSE(DeleteFileW((witness / L"witness").c_str()));
    }
    const std::vector<std::wstring>& files = Files();
    WriteFiles(dir_, {files.begin(), files.begin() + 1}, FILE_ATTRIBUTE_READONLY);
    WriteFiles(dir_, {files.begin() + 1, files.begin() + 2}, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    WriteFiles(dir_, {files.begin() + 2, files.end()});
    WriteFiles(dir_, kKeptFiles, FILE_ATTRIBUTE_READONLY);
    const std::map<std::wstring, DWORD> expected = [&] {
        ScratchDir reference;
        WriteFiles(reference, kKeptFiles, FILE_ATTRIBUTE_READONLY);
        return ListNames(reference.path());
    }();

    EXPECT_TRUE(Remove(ForwardSlashes(dir_.path()) + L"/"));
    EXPECT_EQ(ListNames(dir_.path()), expected);

    WriteFiles(dir_, files, FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(Remove(dir_.path()));  // no trailing separator
    EXPECT_EQ(ListNames(dir_.path()), expected);
    EXPECT_TRUE(Remove(dir_.path() + L"\\"));  // nothing left to remove
}

TEST_P(LegacyFiles, LeaveADirectoryOfTheSameNameAlone) {
    const std::wstring& name = Files().back();
    ASSERT_TRUE(MakeDir(dir_ / name));
    ASSERT_TRUE(WriteBytes(dir_ / (name + L"\\inside.txt"), "kept"));
    WriteFiles(dir_, {Files().front()});
    EXPECT_TRUE(Remove(dir_.path()));
    EXPECT_TRUE(Exists(dir_ / (name + L"\\inside.txt")));
    EXPECT_FALSE(Exists(dir_ / Files().front()));
}

// A file held open without delete sharing stays: not ok, and it keeps its
// read-only attribute; the others are deleted all the same.
TEST_P(LegacyFiles, ReportAFileThatStays) {
    WriteFiles(dir_, Files(), FILE_ATTRIBUTE_READONLY);
    const std::wstring held = dir_ / Files()[1];
    UniqueFile open(CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(open.valid());
    EXPECT_FALSE(Remove(dir_.path()));
    EXPECT_TRUE(Exists(held));
    EXPECT_TRUE(GetFileAttributesW(held.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(ListNames(dir_.path()).size(), 1u);
    open.reset();
    EXPECT_TRUE(Remove(dir_.path()));
    EXPECT_TRUE(ListNames(dir_.path()).empty());
}

TEST_P(LegacyFiles, NeedADirectory) {
    EXPECT_FALSE(Remove(L""));
    // A directory that does not exist holds none of the files.
    EXPECT_TRUE(Remove(dir_ / L"missing\\deeper"));
}

INSTANTIATE_TEST_SUITE_P(Sets, LegacyFiles,
                         testing::Values(FileSet{"Vsto", RemoveLegacyVstoFiles, &kVstoFiles},
                                         FileSet{"Batch", RemoveLegacyBatchFiles, &kBatchFiles}),
                         [](const testing::TestParamInfo<FileSet>& info) { return info.param.name; });

// Each set takes only its own names.
TEST(LegacyFileSets, DoNotTouchEachOther) {
    ScratchDir dir;
    WriteFiles(dir, kVstoFiles);
    WriteFiles(dir, kBatchFiles);
    EXPECT_TRUE(RemoveLegacyBatchFiles(dir.path()));
    EXPECT_EQ(ListNames(dir.path()).size(), kVstoFiles.size());
    EXPECT_TRUE(RemoveLegacyVstoFiles(dir.path()));
    EXPECT_TRUE(ListNames(dir.path()).empty());
}

}  // namespace
}  // namespace quilmo
