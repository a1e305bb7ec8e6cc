// The install-directory test and the host-process names, on the prefix's
// real file system where it matters.
#include "ui/install_directory.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <set>

#include "probes/host_processes.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::ScratchDir;

TEST(InstallDirectory, NearestExistingAncestorWalk) {
    std::set<std::wstring> existing = {L"C:\\", L"C:\\Users\\me", L"D:\\"};
    auto exists = [&](const std::wstring& p) { return existing.count(p) != 0; };
    struct Case {
        const wchar_t* path;
        const wchar_t* expected;  // nullptr: refused
    };
    for (Case c : {Case{L"C:\\Users\\me", L"C:\\Users\\me"},
                   Case{L"C:\\Users\\me\\a\\b\\Quilmo2025", L"C:\\Users\\me"},
                   Case{L"C:\\Users\\me/a/Quilmo2025", L"C:\\Users\\me"},
                   // A drive root chosen in the picker gives a doubled backslash.
                   Case{L"D:\\\\Quilmo2025", L"D:\\"},
                   // The walk must not climb onto the drive itself.
                   Case{L"C:\\missing", nullptr}, Case{L"C:\\missing\\deeper", nullptr},
                   // A share whose folder does not exist runs into the leading separators.
                   Case{L"\\\\server\\share\\Quilmo2025", nullptr}, Case{L"relative", nullptr}}) {
        std::optional<std::wstring> found = NearestExistingAncestor(c.path, exists);
        if (c.expected == nullptr) {
            EXPECT_FALSE(found.has_value()) << c.path;
        } else {
            ASSERT_TRUE(found.has_value()) << c.path;
            EXPECT_EQ(*found, c.expected) << c.path;
        }
    }
}

TEST(InstallDirectory, BasePathForChosenFolder) {
    EXPECT_EQ(BasePathForChosenFolder("D:\\MyApps"), "D:\\MyApps\\Quilmo2025\\");
    EXPECT_EQ(BasePathForChosenFolder("D:\\"), "D:\\\\Quilmo2025\\");
    EXPECT_EQ(BasePathForChosenFolder("C:\\用户\\数据"), "C:\\用户\\数据\\Quilmo2025\\");
}

TEST(InstallDirectory, UsableFolderIsCreatedWithItsParents) {
    ScratchDir scratch;
    std::wstring wanted = scratch / L"apps\\Quilmo2025";
    EXPECT_TRUE(IsDirectoryUsableByStandardUser(wanted));
    EXPECT_TRUE(Exists(wanted));
    EXPECT_TRUE(IsDirectoryUsableByStandardUser(wanted));  // already there
}

TEST(InstallDirectory, FolderNobodyMayWriteIsRefusedAndNotCreated) {
    // Wine keeps no stored DACL for files: it derives one from the Unix mode.
    // /proc is dr-xr-xr-x, so its DACL grants nobody the right to add entries.
    std::wstring wanted = L"Z:\\proc\\Quilmo2025";
    EXPECT_FALSE(IsDirectoryUsableByStandardUser(wanted));
    EXPECT_FALSE(Exists(wanted));
    // A walk that ends on a bare drive is refused before any check.
    EXPECT_FALSE(IsDirectoryUsableByStandardUser(L"Q:\\no\\such\\drive"));
}

TEST(HostProcesses, NamesMatchInAnyCase) {
    for (const wchar_t* name : {L"WINWORD.EXE", L"winword.exe", L"Excel.exe", L"POWERPNT.EXE", L"wps.exe", L"et.exe",
                                L"WPP.EXE", L"QuilmoService.exe", L"quilmo.exe", L"QMPrompt.exe",
                                L"redizuradadi.EXE", L"RIRAROR.EXE"}) {
        EXPECT_TRUE(IsHostProcessName(name)) << name;
    }
    for (const wchar_t* name : {L"WINWORD", L"WINWORD.EXE.bak", L"xWINWORD.EXE", L"explorer.exe", L"", L"ET.EX"}) {
        EXPECT_FALSE(IsHostProcessName(name)) << name;
    }
}

}  // namespace
}  // namespace quilmo
