// What a downloaded version is and whether it may be registered: the rules
// over manifest paths, failed downloads and on-disk facts, and the PE header
// check of the two native COM servers, on real files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "manifest/payload_check.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::MakeDir;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

using Names = std::vector<std::string>;

const Names kComFiles = {"Quilmo.Core.dll", "Quilmo.Core.dll.config", "Library.dll", "ZUDodi32.dll",
                         "REDero64.dll"};
const Names kVstoFiles = {"Quilmo2025.Word.vsto",  "Quilmo2025.Word.dll",  "Quilmo2025.Word.dll.manifest",
                          "Quilmo2025.Excel.vsto", "Quilmo2025.Excel.dll", "Quilmo2025.Excel.dll.manifest",
                          "Quilmo2025.Ppt.vsto",   "Quilmo2025.Ppt.dll",   "Quilmo2025.Ppt.dll.manifest",
                          "Library.dll"};

Names Without(Names names, const std::string& gone) {
    names.erase(std::remove(names.begin(), names.end(), gone), names.end());
    return names;
}

Names With(Names names, const std::string& more) {
    names.push_back(more);
    return names;
}

// The disk side compares exact names, as a case-sensitive lookup would, so
// the listed spelling and the disk spelling stay apart.
FileOnDiskFn DiskWith(const Names& names) {
    std::set<std::string> files(names.begin(), names.end());
    return [files](const std::string& name) {
        for (const std::string& file : files) {
            if (_stricmp(file.c_str(), name.c_str()) == 0) return true;
        }
        return false;
    };
}

struct ClassifyCase {
    const char* name;
    Names listed;
    Names onDisk;
    bool is64;
    Names failed;
    bool net48;
    PayloadMode mode;
    bool register32;
    bool register64;
    std::string detail;
};

class Classify : public testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, GivesTheVerdictAndItsMessage) {
    const ClassifyCase& c = GetParam();
    PayloadCheck check = ClassifyPayloadWith(c.listed, DiskWith(c.onDisk), c.is64, c.failed, c.net48);
    EXPECT_EQ(check.mode, c.mode);
    EXPECT_EQ(check.register32, c.register32);
    EXPECT_EQ(check.register64, c.register64);
    EXPECT_EQ(check.detail, c.detail);
}

const char kMissingCore[] = "安装包清单包含核心组件，但核心文件 Quilmo.Core.dll 缺失或下载校验失败。";
const char kThreeParts[] = "VSTO 安装包缺少三件套完整组件（.vsto / .dll / .dll.manifest 或 Library.dll）。";

INSTANTIATE_TEST_SUITE_P(
    Rules, Classify,
    testing::Values(
        ClassifyCase{"com_complete_64", kComFiles, kComFiles, true, {}, true, PayloadMode::Com, true, true,
                     "COM payload verified"},
        ClassifyCase{"com_complete_32_never_registers_64", kComFiles, kComFiles, false, {}, true, PayloadMode::Com,
                     true, false, "COM payload verified"},
        ClassifyCase{"only_servers_listed_fails_at_core", {"ZUDodi32.dll", "REDero64.dll"}, kComFiles, true, {},
                     true, PayloadMode::InvalidCom, false, false, kMissingCore},
        ClassifyCase{"core_in_subdirectory_is_not_listed",
                     {"bin/Quilmo.Core.dll", "Quilmo.Core.dll.config", "Library.dll", "ZUDodi32.dll"}, kComFiles,
                     true, {}, true, PayloadMode::InvalidCom, false, false, kMissingCore},
        ClassifyCase{"listed_with_slash_and_dot_prefix_counts",
                     {".\\Quilmo.Core.dll", "/Quilmo.Core.dll.config", "library.DLL", " ZUDodi32.dll "}, kComFiles,
                     true, {}, true, PayloadMode::Com, true, false, "COM payload verified"},
        ClassifyCase{"core_listed_but_not_on_disk", kComFiles, Without(kComFiles, "Quilmo.Core.dll"), true, {},
                     true, PayloadMode::InvalidCom, false, false, kMissingCore},
        ClassifyCase{"core_config_missing", kComFiles, Without(kComFiles, "Quilmo.Core.dll.config"), true, {}, true,
                     PayloadMode::InvalidCom, false, false, "核心配置文件 Quilmo.Core.dll.config 缺失或下载校验失败。"},
        ClassifyCase{"library_not_listed", Without(kComFiles, "Library.dll"), kComFiles, true, {}, true,
                     PayloadMode::InvalidCom, false, false, "核心程序集 Library.dll 缺失或下载校验失败。"},
        ClassifyCase{"library_config_listed_and_failed", With(kComFiles, "Library.dll.config"),
                     With(kComFiles, "Library.dll.config"), true, {"Library.dll.config"}, true,
                     PayloadMode::InvalidCom, false, false, "关键运行库或配置文件下载校验失败：Library.dll.config"},
        ClassifyCase{"library_config_listed_but_absent", With(kComFiles, "Library.dll.config"), kComFiles, true, {},
                     true, PayloadMode::InvalidCom, false, false, "Library.dll.config 缺失或下载校验失败。"},
        ClassifyCase{"only_32_bit_server_on_64_bit_windows", Without(kComFiles, "REDero64.dll"), kComFiles, true,
                     {}, true, PayloadMode::Com, true, false, "COM payload verified"},
        ClassifyCase{"no_server_listed_on_64_bit_windows",
                     {"Quilmo.Core.dll", "Quilmo.Core.dll.config", "Library.dll"}, kComFiles, true, {}, true,
                     PayloadMode::InvalidCom, false, false, "64 位系统清单未包含任何架构的 DEDuve DLL。"},
        ClassifyCase{"listed_64_bit_server_missing", kComFiles, Without(kComFiles, "REDero64.dll"), true, {}, true,
                     PayloadMode::InvalidCom, false, false, "清单包含 REDero64.dll，但磁盘文件缺失或下载校验失败。"},
        ClassifyCase{"listed_32_bit_server_missing", kComFiles, Without(kComFiles, "ZUDodi32.dll"), true, {}, true,
                     PayloadMode::InvalidCom, false, false, "清单包含 ZUDodi32.dll，但磁盘文件缺失或下载校验失败。"},
        ClassifyCase{"only_64_bit_server_on_32_bit_windows", Without(kComFiles, "ZUDodi32.dll"), kComFiles, false,
                     {}, true, PayloadMode::InvalidCom, false, false,
                     "32 位系统需要 ZUDodi32.dll，但文件缺失或下载校验失败。"},
        ClassifyCase{"missing_64_bit_server_ignored_on_32_bit_windows", kComFiles, Without(kComFiles, "REDero64.dll"),
                     false, {}, true, PayloadMode::Com, true, false, "COM payload verified"},
        ClassifyCase{"first_critical_failure_named", kComFiles, kComFiles, true,
                     {"fonts/a.ttf", "bin/helper.DLL", "ZUDodi32.dll"}, true, PayloadMode::InvalidCom, false, false,
                     "关键运行库或配置文件下载校验失败：bin/helper.DLL"},
        ClassifyCase{"font_and_webview2_failures_tolerated", kComFiles, kComFiles, true,
                     {"fonts/a.ttf", "MicrosoftEdgeWebview2Setup.exe"}, false, PayloadMode::Com, true, true,
                     "COM payload verified"},
        ClassifyCase{"net48_setup_failure_matters_only_when_missing", kComFiles, kComFiles, true, {"ndp48-web.exe"},
                     false, PayloadMode::InvalidCom, false, false, "关键运行库或配置文件下载校验失败：ndp48-web.exe"},
        ClassifyCase{"net48_setup_failure_ignored_when_present", kComFiles, kComFiles, true, {"ndp48-web.exe"}, true,
                     PayloadMode::Com, true, true, "COM payload verified"},
        ClassifyCase{"directory_of_the_core_name_is_not_on_disk", kComFiles, {}, true, {}, true,
                     PayloadMode::InvalidCom, false, false, kMissingCore},
        ClassifyCase{"neither_kind", {"readme.txt", "bin/x.dll"}, {}, true, {}, true, PayloadMode::InvalidCom, false,
                     false, "安装清单中既未包含核心组件文件，也未包含 VSTO 清单文件。"},
        ClassifyCase{"legacy_vsto_complete", kVstoFiles, kVstoFiles, true, {"fonts/a.ttf"}, true,
                     PayloadMode::LegacyVsto, false, false, "Legacy VSTO payload verified"},
        ClassifyCase{"legacy_vsto_missing_ppt_manifest", kVstoFiles,
                     Without(kVstoFiles, "Quilmo2025.Ppt.dll.manifest"), true, {}, true, PayloadMode::InvalidCom,
                     false, false, kThreeParts},
        ClassifyCase{"legacy_vsto_without_library", Without(kVstoFiles, "Library.dll"), kVstoFiles, true, {}, true,
                     PayloadMode::InvalidCom, false, false, kThreeParts},
        ClassifyCase{"legacy_vsto_critical_failure", kVstoFiles, kVstoFiles, true, {"docs\\Addin.dll.config"}, true,
                     PayloadMode::InvalidCom, false, false, "VSTO 安装包关键文件下载校验失败：docs\\Addin.dll.config"}),
    [](const testing::TestParamInfo<ClassifyCase>& info) { return std::string(info.param.name); });

TEST(PayloadCheck, CriticalFilesByExtensionWithTheTwoBootstrapperExceptions) {
    struct Row {
        const char* path;
        bool net48;
        bool critical;
    } rows[] = {
        {"a.dll", false, true},          {"X\\Y.EXE", false, true},        {"a.dll.config", false, true},
        {"a.xll", false, true},          {"a.dna", false, true},           {"a.vsto", false, true},
        {"a.manifest", false, true},     {"font.ttf", false, false},       {"doc.txt", false, false},
        {"a.dll.bak", false, false},     {"ndp48-web.exe", false, true},   {"NDP48-Web.exe", true, false},
        {"sub/ndp48-web.exe", true, true}, {"MicrosoftEdgeWebview2Setup.exe", false, false},
        {"sub\\microsoftedgewebview2setup.exe", false, true},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(IsCriticalPayloadFile(row.path, row.net48), row.critical) << row.path << " net48=" << row.net48;
    }
}

TEST(PayloadCheck, ModeNamesAsTheLogWritesThem) {
    EXPECT_STREQ(PayloadModeName(PayloadMode::Com), "com");
    EXPECT_STREQ(PayloadModeName(PayloadMode::LegacyVsto), "legacy-vsto");
    EXPECT_STREQ(PayloadModeName(PayloadMode::InvalidCom), "invalid-com");
}

// A minimal PE header: "MZ", the offset at 60, "PE\0\0" and the machine.
std::string PeImage(uint16_t machine, uint32_t peOffset = 128, size_t size = 512) {
    std::string bytes(size, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    for (int i = 0; i < 4; ++i) bytes[60 + i] = static_cast<char>((peOffset >> (8 * i)) & 0xFF);
    if (peOffset + 24 <= size) {
        bytes.replace(peOffset, 4, std::string("PE\0\0", 4));
        bytes[peOffset + 4] = static_cast<char>(machine & 0xFF);
        bytes[peOffset + 5] = static_cast<char>(machine >> 8);
    }
    return bytes;
}

TEST(PayloadCheck, PeMachineCheckOnRealFiles) {
    ScratchDir dir;
    std::string image32 = PeImage(kMachineI386);
    std::string badSignature = image32;
    badSignature[129] = 'X';
    struct Row {
        const char* name;
        std::string bytes;
        uint16_t machine;
        bool matches;
    } rows[] = {
        {"x86.dll", image32, kMachineI386, true},
        {"x64.dll", PeImage(kMachineAmd64), kMachineAmd64, true},
        {"x86_as_x64.dll", image32, kMachineAmd64, false},
        {"x64_as_x86.dll", PeImage(kMachineAmd64), kMachineI386, false},
        {"empty.dll", "", kMachineI386, false},
        {"short_dos_header.dll", image32.substr(0, 63), kMachineI386, false},
        {"truncated_file_header.dll", image32.substr(0, 128 + 10), kMachineI386, false},
        {"offset_beyond_file.dll", PeImage(kMachineI386, 4096), kMachineI386, false},
        {"offset_below_64.dll", PeImage(kMachineI386, 32), kMachineI386, false},
        {"offset_above_limit.dll", PeImage(kMachineI386, 1048576, 64), kMachineI386, false},
        {"no_pe_signature.dll", badSignature, kMachineI386, false},
        {"no_mz.dll", "ZM" + image32.substr(2), kMachineI386, false},
    };
    for (const Row& row : rows) {
        std::wstring path = dir / std::wstring(row.name, row.name + strlen(row.name));
        ASSERT_TRUE(WriteBytes(path, row.bytes)) << row.name;
        EXPECT_EQ(PeMachineMatches(path, row.machine), row.matches) << row.name;
    }
    EXPECT_FALSE(PeMachineMatches(dir / L"absent.dll", kMachineI386));
    ASSERT_TRUE(MakeDir(dir / L"ZUDodi32.dll"));
    EXPECT_FALSE(PeMachineMatches(dir / L"ZUDodi32.dll", kMachineI386));
}

TEST(PayloadCheck, ClassifyReadsTheVersionDirectory) {
    ScratchDir dir;
    for (const std::string& name : Without(kComFiles, "ZUDodi32.dll")) {
        ASSERT_TRUE(WriteBytes(dir / std::wstring(name.begin(), name.end()), "x"));
    }
    // A directory wearing the 32-bit server's name is no file.
    ASSERT_TRUE(MakeDir(dir / L"ZUDodi32.dll"));
    PayloadCheck check = ClassifyPayload(kComFiles, dir.path(), true, {}, true);
    EXPECT_EQ(check.mode, PayloadMode::InvalidCom);
    EXPECT_TRUE(check.coreOnDisk && check.coreConfigOnDisk && check.libraryOnDisk && check.core64OnDisk);
    EXPECT_FALSE(check.core32OnDisk);
    EXPECT_EQ(check.detail, "清单包含 ZUDodi32.dll，但磁盘文件缺失或下载校验失败。");

    // With a trailing backslash and the file in place it passes.
    ASSERT_TRUE(RemoveDirectoryW((dir / L"ZUDodi32.dll").c_str()));
    ASSERT_TRUE(WriteBytes(dir / L"ZUDodi32.dll", "x"));
    check = ClassifyPayload(kComFiles, dir.path() + L"\\", true, {}, true);
    EXPECT_EQ(check.mode, PayloadMode::Com);
    EXPECT_TRUE(check.register32 && check.register64);
}

}  // namespace
}  // namespace quilmo
