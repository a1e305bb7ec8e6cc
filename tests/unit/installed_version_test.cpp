#include "registration/installed_version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "build_constants.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"
#include "startup/base_path.h"
#include "startup/paths.h"
#include "support/scratch_registry.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::SavedUserKey;
using testing_support::MakeDirectories;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

// The product's own keys are saved, emptied for the test and put back after
// it, because silent runs of the installer in this prefix read them.
class InstalledVersionTest : public testing::Test {
protected:
    void SetUp() override {
        uninstall_.Remove();
        core_.Remove();
        legacy_.Remove();
    }

    static void SetUninstall(const wchar_t* name, const std::wstring& text) {
        ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kUninstallKey, 0, name, text));
    }
    static void SetManagedDir(const std::wstring& text) {
        ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kQuilmoCoreKey, 0, kManagedDirValue, text));
    }
    std::wstring VersionDirectory(const std::wstring& name, const std::string& fileBytes) {
        std::wstring dir = MakeDirectories(scratch_ / name);
        if (!fileBytes.empty()) {
            EXPECT_TRUE(WriteBytes(dir + L"\\app.version", fileBytes));
        }
        return dir;
    }

    SavedUserKey uninstall_{kUninstallKey};
    SavedUserKey core_{kQuilmoCoreKey};
    SavedUserKey legacy_{kLegacyUninstallKey};
    ScratchDir scratch_;
};

struct DirectoryCase {
    const char* name;
    const wchar_t* directory;     // below the temporary directory
    std::string fileBytes;        // empty for no "app.version"
    const wchar_t* asked;         // how the directory is named in the call
    bool ok;
    const char* version;
};

void PrintTo(const DirectoryCase& c, std::ostream* os) { *os << c.name; }

class VersionFromDirectory : public InstalledVersionTest, public testing::WithParamInterface<DirectoryCase> {};

TEST_P(VersionFromDirectory, ReadsTheFileElseTheName) {
    const DirectoryCase& c = GetParam();
    std::wstring dir = VersionDirectory(c.directory, c.fileBytes);
    std::string version = "stale";
    EXPECT_EQ(ReadVersionFromDirectory(dir + c.asked, &version), c.ok);
    EXPECT_EQ(version, c.version);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, VersionFromDirectory,
    testing::Values(
        DirectoryCase{"MarkAndLineFeed", L"a", "\xEF\xBB\xBF" "2025.3.14\n", L"", true, "2025.3.14"},
        DirectoryCase{"CarriageReturnAndMoreLines", L"b", "2025.3.14-rc.1\r\n2024.1.1\r\n", L"", true,
                      "2025.3.14-rc.1"},
        DirectoryCase{"FileWinsOverName", L"2025.4.1", " 2025.4.7\t", L"", true, "2025.4.7"},
        DirectoryCase{"NameWithoutFile", L"2025.4.1", "", L"", true, "2025.4.1"},
        DirectoryCase{"NameWithTrailingBackslash", L"2025.4.1", "", L"\\", true, "2025.4.1"},
        DirectoryCase{"NameWithTrailingSlashes", L"2025.4.1", "", L"/\\/", true, "2025.4.1"},
        DirectoryCase{"BadFileFallsBackToName", L"2025.4.2", "not a version\n", L"", true, "2025.4.2"},
        DirectoryCase{"BadFileAndName", L"c", "1.0.0\n", L"", false, ""},
        DirectoryCase{"OnlyTheFirst127BytesCount", L"d", std::string(127, ' ') + "2025.3.14", L"",
                      false, ""},
        DirectoryCase{"NeitherFileNorName", L"e", "", L"", false, ""}),
    [](const testing::TestParamInfo<DirectoryCase>& info) { return info.param.name; });

TEST(VersionFromDirectoryText, EmptyOrSeparatorsOnlyIsNotADirectory) {
    std::string version = "stale";
    EXPECT_FALSE(ReadVersionFromDirectory(L"", &version));
    EXPECT_TRUE(version.empty());
    EXPECT_FALSE(ReadVersionFromDirectory(L"\\/\\", &version));
    // Never created: the name alone still tells the version.
    EXPECT_TRUE(ReadVersionFromDirectory(L"C:\\nowhere\\2025.5.5", &version));
    EXPECT_EQ(version, "2025.5.5");
}

struct PathCase {
    const wchar_t* a;
    const wchar_t* b;
    bool same;
};

TEST(FullPath, NormalisesBeforeComparing) {
    EXPECT_EQ(NormalizeFullPath(L" \t\"C:/Quilmo/2025.3.14/\" "), L"C:\\Quilmo\\2025.3.14");
    EXPECT_EQ(NormalizeFullPath(L"C:\\"), L"C:\\");
    EXPECT_EQ(NormalizeFullPath(L"C:/"), L"C:\\");
    EXPECT_EQ(NormalizeFullPath(L"C:\\Quilmo\\\\"), L"C:\\Quilmo");
    EXPECT_EQ(NormalizeFullPath(L"C:\\Quilmo\\old\\..\\new"), L"C:\\Quilmo\\new");
    EXPECT_EQ(NormalizeFullPath(L" \"\" "), L"");
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    EXPECT_EQ(NormalizeFullPath(L"relative"), NormalizeFullPath(std::wstring(current) + L"\\relative"));
    const PathCase cases[] = {
        {L"C:\\Quilmo\\2025.3.14\\", L"c:/quilmo/2025.3.14", true},
        {L"\"C:\\Quilmo\"", L"C:\\QUILMO\\", true},
        {L"C:\\Quilmo\\A", L"C:\\Quilmo\\B", false},
        {L"C:\\Quilmo", L"C:\\Quilmo2", false},
        {L"", L"", false},
        {L" ", L"\"\"", false},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(SameFullPath(c.a, c.b), c.same) << WideToUtf8(c.a) << " vs " << WideToUtf8(c.b);
    }
}

TEST_F(InstalledVersionTest, NothingInstalled) {
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_FALSE(installed.found);
    EXPECT_TRUE(installed.version.empty());
    EXPECT_TRUE(installed.directory.empty());
    EXPECT_TRUE(ReadInstallBaseLocation().empty());
}

TEST_F(InstalledVersionTest, UninstallEntryAloneGivesItsVersionAndLocation) {
    std::wstring dir = VersionDirectory(L"2025.3.14", "2025.3.15\n") + L"\\";
    SetUninstall(L"DisplayVersion", L" 2025.3.14 \t");
    SetUninstall(L"InstallLocation", dir);
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_TRUE(installed.found);
    EXPECT_EQ(installed.version, "2025.3.14");  // the entry, not the file
    EXPECT_EQ(installed.directory, WideToUtf8(dir));
}

TEST_F(InstalledVersionTest, ManagedDirElsewhereWins) {
    std::wstring location = VersionDirectory(L"2025.3.14", "2025.3.14\n") + L"\\";
    std::wstring managed = VersionDirectory(L"Moved", "2025.6.1\n");
    SetUninstall(L"DisplayVersion", L"2025.3.14");
    SetUninstall(L"InstallLocation", location);
    SetManagedDir(managed);
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_TRUE(installed.found);
    EXPECT_EQ(installed.version, "2025.6.1");
    EXPECT_EQ(installed.directory, WideToUtf8(managed));
}

TEST_F(InstalledVersionTest, ManagedDirThatIsTheSameDirectoryKeepsTheEntry) {
    std::wstring location = VersionDirectory(L"Quilmo\\Current", "2025.6.1\n") + L"\\";
    SetUninstall(L"DisplayVersion", L"2025.3.14");
    SetUninstall(L"InstallLocation", location);
    std::wstring shouted = location;
    CharUpperBuffW(&shouted[0], static_cast<DWORD>(shouted.size()));
    SetManagedDir(shouted + L"\\");
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_EQ(installed.version, "2025.3.14");
    EXPECT_EQ(installed.directory, WideToUtf8(location));
}

TEST_F(InstalledVersionTest, ManagedDirThatDoesNotExistIsIgnored) {
    std::wstring location = VersionDirectory(L"Current", "") + L"\\";
    SetUninstall(L"DisplayVersion", L"2025.3.14");
    SetUninstall(L"InstallLocation", location);
    SetManagedDir(scratch_.path() + L"\\Gone");
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_EQ(installed.version, "2025.3.14");
    EXPECT_EQ(installed.directory, WideToUtf8(location));
}

TEST_F(InstalledVersionTest, InvalidDisplayVersionFallsBackToTheDirectory) {
    std::wstring location = VersionDirectory(L"2025.7.1", "") + L"\\";
    SetUninstall(L"DisplayVersion", L"1.0");
    SetUninstall(L"InstallLocation", location);
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_TRUE(installed.found);
    EXPECT_EQ(installed.version, "2025.7.1");
}

TEST_F(InstalledVersionTest, ManagedDirAloneGivesTheDirectoryAndItsVersion) {
    std::wstring managed = VersionDirectory(L"Only", "2025.8.1\n");
    SetManagedDir(managed);
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_TRUE(installed.found);
    EXPECT_EQ(installed.version, "2025.8.1");
    EXPECT_EQ(installed.directory, WideToUtf8(managed));
}

TEST_F(InstalledVersionTest, DirectoryWithoutAnyVersionIsNotFoundButKept) {
    std::wstring location = VersionDirectory(L"Plain", "") + L"\\";
    SetUninstall(L"InstallLocation", location);
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_FALSE(installed.found);
    EXPECT_TRUE(installed.version.empty());
    EXPECT_EQ(installed.directory, WideToUtf8(location));
}

TEST_F(InstalledVersionTest, WrongTypesReadAsMissing) {
    std::wstring location = VersionDirectory(L"2025.9.1", "") + L"\\";
    ASSERT_TRUE(WriteRegDword(HKEY_CURRENT_USER, kUninstallKey, 0, L"DisplayVersion", 2025));
    SetUninstall(L"InstallLocation", location);
    ASSERT_TRUE(WriteRegDword(HKEY_CURRENT_USER, kUninstallKey, 0, L"InstallBaseLocation", 1));
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_EQ(installed.version, "2025.9.1");
    EXPECT_TRUE(ReadInstallBaseLocation().empty());
}

TEST_F(InstalledVersionTest, UninstallEntryHasItsNineValues) {
    WriteUninstallEntry("2025.3.14", "奎墨", "C:\\Q\\2025.3.14\\", "C:\\Q\\");
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_READ, key.put()), ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 9u);
    const std::pair<const wchar_t*, std::wstring> strings[] = {
        {L"DisplayName", L"奎墨"},
        {L"DisplayIcon", L"C:\\Q\\2025.3.14\\logo.ico"},
        {L"Publisher", L"奎墨工作室"},
        {L"UninstallString", L"C:\\Q\\2025.3.14\\Uninstall.exe"},
        {L"InstallLocation", L"C:\\Q\\2025.3.14\\"},
        {L"InstallBaseLocation", L"C:\\Q\\"},
        {L"DisplayVersion", L"2025.3.14"},
        {L"URLInfoAbout", Utf8ToWide(kHomeUrl)},
    };
    for (const auto& expected : strings) {
        DWORD type = 0;
        DWORD size = 0;
        ASSERT_EQ(RegQueryValueExW(key.get(), expected.first, nullptr, &type, nullptr, &size), ERROR_SUCCESS)
            << WideToUtf8(expected.first);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(size, (expected.second.size() + 1) * sizeof(wchar_t)) << WideToUtf8(expected.first);
        std::wstring text;
        EXPECT_TRUE(GetRegString(key.get(), expected.first, &text));
        EXPECT_EQ(text, expected.second);
    }
    DWORD type = 0;
    DWORD size = sizeof(DWORD);
    DWORD estimated = 0;
    ASSERT_EQ(RegQueryValueExW(key.get(), L"EstimatedSize", nullptr, &type, reinterpret_cast<BYTE*>(&estimated), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(estimated, 0x6D8Du);
    EXPECT_EQ(ReadInstallBaseLocation(), "C:\\Q\\");
}

TEST_F(InstalledVersionTest, UninstallEntryWithoutBaseRecordsTheTarget) {
    WriteUninstallEntry("2025.3.14", "奎墨", "D:\\Apps\\Quilmo\\", "");
    EXPECT_EQ(ReadInstallBaseLocation(), "D:\\Apps\\Quilmo\\");
    InstalledVersion installed = FindInstalledVersion();
    EXPECT_EQ(installed.version, "2025.3.14");
    EXPECT_EQ(installed.directory, "D:\\Apps\\Quilmo\\");
}

// Start-up's choice of the install base, from the real registry.
TEST_F(InstalledVersionTest, StartupBaseFromSavedLocationInstallationOrDefault) {
    const std::string defaultBase = WideToUtf8(ProductDataFolder());
    StartupBase nothing = ChooseStartupBase();
    EXPECT_EQ(nothing.choice.basePath, defaultBase);
    EXPECT_FALSE(nothing.choice.existingInstall);
    EXPECT_TRUE(nothing.installedVersion.empty());

    std::wstring base = MakeDirectories(scratch_ / L"Base");
    struct Installation {
        const wchar_t* directory;
        std::string expectedBase;
    };
    const std::string baseUtf8 = WideToUtf8(base) + "\\";
    const Installation installations[] = {
        {L"Base\\2025.3.14", baseUtf8},
        {L"Base\\2025.3.14_1a2b", baseUtf8},
        {L"Base\\Custom", baseUtf8 + "Custom\\"},
    };
    for (const Installation& installation : installations) {
        std::wstring dir = MakeDirectories(scratch_ / installation.directory);
        SetUninstall(L"DisplayVersion", L"2025.3.14");
        SetUninstall(L"InstallLocation", dir + L"\\");
        StartupBase startup = ChooseStartupBase();
        EXPECT_EQ(startup.choice.basePath, installation.expectedBase) << WideToUtf8(installation.directory);
        EXPECT_TRUE(startup.choice.existingInstall);
        EXPECT_EQ(startup.installedVersion, "2025.3.14");
    }
    SetUninstall(L"InstallBaseLocation", L"E:\\Saved");
    EXPECT_EQ(ChooseStartupBase().choice.basePath, "E:\\Saved\\");
}

// Records the shell calls instead of starting anything.
struct ShellCall {
    std::wstring verb, file, parameters;
    bool directoryGiven;
    INT show;
};
std::vector<ShellCall> g_shellCalls;

HINSTANCE WINAPI RecordShellCall(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                                 INT show) {
    EXPECT_EQ(owner, nullptr);
    g_shellCalls.push_back({verb ? verb : L"", file ? file : L"", parameters ? parameters : L"", directory != nullptr,
                            show});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

TEST_F(InstalledVersionTest, LegacyUninstallerStartsOnlyWithALegacyLocation) {
    g_shellCalls.clear();
    RunLegacyUninstallerWith(RecordShellCall);
    EXPECT_TRUE(g_shellCalls.empty());
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kLegacyUninstallKey, 0, L"InstallLocation", L""));
    RunLegacyUninstallerWith(RecordShellCall);
    EXPECT_TRUE(g_shellCalls.empty());
    ASSERT_TRUE(WriteRegDword(HKEY_CURRENT_USER, kLegacyUninstallKey, 0, L"InstallLocation", 1));
    RunLegacyUninstallerWith(RecordShellCall);
    EXPECT_TRUE(g_shellCalls.empty());

    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kLegacyUninstallKey, 0, L"InstallLocation", L"C:\\奎墨\\Old\\"));
    RunLegacyUninstallerWith(RecordShellCall);
    ASSERT_EQ(g_shellCalls.size(), 1u);
    EXPECT_EQ(g_shellCalls[0].verb, L"open");
    EXPECT_EQ(g_shellCalls[0].file, L"explorer.exe");
    EXPECT_EQ(g_shellCalls[0].parameters, L"C:\\奎墨\\Old\\_uninstall.bat");
    EXPECT_FALSE(g_shellCalls[0].directoryGiven);
    EXPECT_EQ(g_shellCalls[0].show, SW_HIDE);
}

bool WaitForFile(const std::wstring& path, DWORD milliseconds) {
    for (DWORD waited = 0; waited < milliseconds; waited += 50) {
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
        Sleep(50);
    }
    return false;
}

// The real shell: Wine's explorer.exe, like Windows', runs the batch file.
TEST_F(InstalledVersionTest, LegacyUninstallerRunsTheBatchFile) {
    const std::wstring location = MakeDirectories(scratch_ / L"Legacy") + L"\\";
    const std::wstring marker = location + L"ran.txt";
    ASSERT_TRUE(WriteBytes(location + L"_uninstall.bat",
                                         "@echo ran> \"" + WideToUtf8(marker) + "\"\r\n"));
    RunLegacyUninstaller();
    EXPECT_FALSE(WaitForFile(marker, 500)) << "started without a legacy Uninstall entry";
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, kLegacyUninstallKey, 0, L"InstallLocation", location));
    RunLegacyUninstaller();
    EXPECT_TRUE(WaitForFile(marker, 15000));
    Sleep(300);  // let the batch close its output before the directory goes
}

}  // namespace
}  // namespace quilmo
