// Per-user fonts, checked on disk and in the registry, and the two manual
// shortcuts read back through the shell's own link object.
#include "probes/fonts_shortcuts.h"

#include "files/text_encoding.h"
#include "support/test_registry_key.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>

#include <map>
#include <vector>

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::MakeDirectories;
using testing_support::ReadBytes;
using testing_support::ScratchDir;
using testing_support::TestRegistryKey;
using testing_support::WriteBytes;

constexpr wchar_t kFontsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";
const wchar_t* const kTestFonts[] = {L"QmTestDemo.Bold.ttf", L"QmTestPlain.TTF", L"QmTestSkip.otf",
                                     L"QmTestSkip.ttc", L"QmTestSkip.ttfx"};

std::wstring Folder(int csidl) {
    wchar_t folder[MAX_PATH] = {};
    return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder)) ? std::wstring(folder)
                                                                                            : std::wstring();
}

std::wstring UserFontFolder() { return Folder(CSIDL_LOCAL_APPDATA) + L"\\Microsoft\\Windows\\Fonts\\"; }

// Every value of the user's font key that a test font made: name -> data.
std::map<std::wstring, std::wstring> TestFontValues() {
    std::map<std::wstring, std::wstring> values;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kFontsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        wchar_t data[1024] = {};
        DWORD nameLength = 256, dataSize = sizeof data - sizeof(wchar_t), type = 0;
        if (RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data),
                          &dataSize) != ERROR_SUCCESS) {
            break;
        }
        if (std::wstring(name).rfind(L"QmTest", 0) == 0) values[name] = (type == REG_SZ ? data : L"<not REG_SZ>");
    }
    return values;
}

// A hidden top-level window that receives broadcasts.
class BroadcastListener {
public:
    BroadcastListener() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"QmTestBroadcastListener";
        RegisterClassW(&wc);
        window_ = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
        Drain();
    }
    ~BroadcastListener() { DestroyWindow(window_); }
    bool valid() const { return window_ != nullptr; }
    int FontChanges() { return Drain(); }

private:
    int Drain() {
        int count = 0;
        MSG msg;
        while (PeekMessageW(&msg, window_, WM_FONTCHANGE, WM_FONTCHANGE, PM_REMOVE)) ++count;
        return count;
    }
    HWND window_ = nullptr;
};

class Fonts : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fontsKey.valid());
        ASSERT_TRUE(TestFontValues().empty()) << "left over from an earlier run";
        versionDir = scratch / L"2026.1.0\\";
        MakeDirectories(versionDir + L"fonts");
    }
    void TearDown() override {
        for (const wchar_t* name : kTestFonts) {
            const std::wstring path = UserFontFolder() + name;
            RemoveFontResourceW(path.c_str());
            DeleteFileW(path.c_str());
        }
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kFontsKey, 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS) {
            for (const auto& value : TestFontValues()) RegDeleteValueW(key.get(), value.first.c_str());
        }
    }
    void WriteFonts(const std::string& content) {
        for (const wchar_t* name : kTestFonts) {
            ASSERT_TRUE(WriteBytes(versionDir + L"fonts\\" + name, content + WideToUtf8(name)));
        }
    }

    ScratchDir scratch;
    TestRegistryKey fontsKey{HKEY_CURRENT_USER, kFontsKey, 0};  // Windows has it; a fresh prefix may not
    std::wstring versionDir;
};

TEST(FontNames, ValueNameIsTheNameBeforeTheLastDot) {
    EXPECT_EQ(FontValueName(L"Demo.Bold.ttf"), L"Demo.Bold (TrueType)");
    EXPECT_EQ(FontValueName(L"Plain.TTF"), L"Plain (TrueType)");
    EXPECT_EQ(FontValueName(L"NoDot"), L"NoDot (TrueType)");
}

TEST_F(Fonts, OnlyTrueTypeFilesAreCopiedRegisteredAndAnnounced) {
    WriteFonts("v1 ");
    BroadcastListener listener;
    ASSERT_TRUE(listener.valid());
    InstallVersionFonts(WideToUtf8(versionDir));

    const std::wstring target = UserFontFolder();
    EXPECT_EQ(ReadBytes(target + L"QmTestDemo.Bold.ttf"), "v1 QmTestDemo.Bold.ttf");
    EXPECT_EQ(ReadBytes(target + L"QmTestPlain.TTF"), "v1 QmTestPlain.TTF");
    for (const wchar_t* skipped : {L"QmTestSkip.otf", L"QmTestSkip.ttc", L"QmTestSkip.ttfx"}) {
        EXPECT_FALSE(Exists(target + skipped)) << WideToUtf8(skipped);
    }
    const std::map<std::wstring, std::wstring> expected{
        {L"QmTestDemo.Bold (TrueType)", target + L"QmTestDemo.Bold.ttf"},
        {L"QmTestPlain (TrueType)", target + L"QmTestPlain.TTF"},
    };
    EXPECT_EQ(TestFontValues(), expected);
    EXPECT_EQ(listener.FontChanges(), 1);

    // The same version again replaces the files and keeps one value each.
    WriteFonts("v2 ");
    InstallVersionFonts(WideToUtf8(versionDir));
    EXPECT_EQ(ReadBytes(target + L"QmTestDemo.Bold.ttf"), "v2 QmTestDemo.Bold.ttf");
    EXPECT_EQ(TestFontValues(), expected);
}

TEST_F(Fonts, NoFontFolderOrNoTrueTypeFileInstallsAndAnnouncesNothing) {
    BroadcastListener listener;
    ASSERT_TRUE(listener.valid());
    const std::wstring bare = scratch / L"2026.2.0\\";
    MakeDirectories(bare);
    InstallVersionFonts(WideToUtf8(bare));
    EXPECT_EQ(listener.FontChanges(), 0);

    ASSERT_TRUE(WriteBytes(versionDir + L"fonts\\QmTestSkip.otf", "otf"));
    InstallVersionFonts(WideToUtf8(versionDir));
    EXPECT_EQ(listener.FontChanges(), 0);
    EXPECT_TRUE(TestFontValues().empty());
    EXPECT_FALSE(Exists(UserFontFolder() + L"QmTestSkip.otf"));
}

// The user's font key as a fresh profile has it (a new Windows 10 account, a
// new Wine prefix): absent. Values a machine had are put back afterwards.
class UserFontKeyAside {
public:
    UserFontKeyAside() {
        UniqueRegKey key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kFontsKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
        for (DWORD i = 0;; ++i) {
            Value value;
            wchar_t name[16384];
            DWORD nameLength = 16384, size = 0;
            if (RegEnumValueW(key.get(), i, name, &nameLength, nullptr, &value.type, nullptr, &size) !=
                ERROR_SUCCESS) {
                break;
            }
            value.name = name;
            value.data.resize(size);
            RegQueryValueExW(key.get(), name, nullptr, nullptr, value.data.data(), &size);
            saved_.push_back(value);
        }
        existed_ = true;
        key.reset();
        RegDeleteKeyW(HKEY_CURRENT_USER, kFontsKey);
    }
    ~UserFontKeyAside() {
        RegDeleteTreeW(HKEY_CURRENT_USER, kFontsKey);
        RegDeleteKeyW(HKEY_CURRENT_USER, kFontsKey);
        if (!existed_) return;
        UniqueRegKey key;
        RegCreateKeyExW(HKEY_CURRENT_USER, kFontsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
        for (const Value& value : saved_) {
            RegSetValueExW(key.get(), value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        }
    }
    UserFontKeyAside(const UserFontKeyAside&) = delete;
    UserFontKeyAside& operator=(const UserFontKeyAside&) = delete;

    static bool KeyExists() {
        UniqueRegKey key;
        return RegOpenKeyExW(HKEY_CURRENT_USER, kFontsKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    }

private:
    struct Value {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    bool existed_ = false;
    std::vector<Value> saved_;
};

TEST(FontsOnAFreshProfile, TheMissingFontKeyIsCreatedAndTheFontRegistered) {
    UserFontKeyAside aside;
    ASSERT_FALSE(UserFontKeyAside::KeyExists());
    ScratchDir scratch;
    const std::wstring versionDir = scratch / L"2026.1.0\\";
    MakeDirectories(versionDir + L"fonts");
    ASSERT_TRUE(WriteBytes(versionDir + L"fonts\\QmTestPlain.TTF", "plain"));

    InstallVersionFonts(WideToUtf8(versionDir));

    const std::wstring target = UserFontFolder() + L"QmTestPlain.TTF";
    EXPECT_EQ(ReadBytes(target), "plain");
    const std::map<std::wstring, std::wstring> expected{{L"QmTestPlain (TrueType)", target}};
    EXPECT_EQ(TestFontValues(), expected);
    RemoveFontResourceW(target.c_str());
    DeleteFileW(target.c_str());
}

// --- Shortcuts ---

struct LinkContents {
    std::wstring path, workingDirectory, description, iconPath;
    int iconIndex = -1;
    bool loaded = false;
};

LinkContents ReadLink(const std::wstring& linkPath) {
    LinkContents contents;
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link)))) {
        return contents;
    }
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(linkPath.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH] = {};
            link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
            contents.path = text;
            text[0] = 0;
            link->GetWorkingDirectory(text, MAX_PATH);
            contents.workingDirectory = text;
            text[0] = 0;
            link->GetDescription(text, MAX_PATH);
            contents.description = text;
            text[0] = 0;
            link->GetIconLocation(text, MAX_PATH, &contents.iconIndex);
            contents.iconPath = text;
            contents.loaded = true;
        }
        file->Release();
    }
    link->Release();
    return contents;
}

// A shortcut of the user's that may already exist is put back afterwards.
class SavedFile {
public:
    explicit SavedFile(const std::wstring& path) : path_(path), existed_(Exists(path)) {
        if (existed_) bytes_ = ReadBytes(path);
    }
    ~SavedFile() {
        DeleteFileW(path_.c_str());
        if (existed_) WriteBytes(path_, bytes_);
    }

private:
    std::wstring path_;
    bool existed_;
    std::string bytes_;
};

TEST(Shortcuts, DesktopAndStartMenuLinksResolveToTheManual) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ScratchDir scratch;
    const std::wstring versionDir = scratch / L"2026.1.0\\";
    MakeDirectories(versionDir);
    ASSERT_TRUE(WriteBytes(versionDir + L"Quilmo.exe", "MZ"));
    const std::wstring target = versionDir + L"Quilmo.exe";
    const std::wstring name = L"\\奎墨说明书.lnk";
    const std::wstring links[] = {Folder(CSIDL_DESKTOP) + name, Folder(CSIDL_STARTMENU) + name};
    for (const std::wstring& link : links) {
        ASSERT_GT(link.size(), name.size());
        SavedFile saved(link);
        MakeDirectories(link.substr(0, link.rfind(L'\\')));
        CreateShortcut(WideToUtf8(target), WideToUtf8(link), "奎墨说明书");
        ASSERT_TRUE(Exists(link)) << WideToUtf8(link);
        const LinkContents contents = ReadLink(link);
        ASSERT_TRUE(contents.loaded) << WideToUtf8(link);
        EXPECT_TRUE(_wcsicmp(contents.path.c_str(), target.c_str()) == 0) << WideToUtf8(contents.path);
        EXPECT_TRUE(_wcsicmp(contents.workingDirectory.c_str(), (scratch / L"2026.1.0").c_str()) == 0)
            << WideToUtf8(contents.workingDirectory);
        EXPECT_EQ(contents.description, L"奎墨说明书");
        EXPECT_TRUE(_wcsicmp(contents.iconPath.c_str(), target.c_str()) == 0) << WideToUtf8(contents.iconPath);
        EXPECT_EQ(contents.iconIndex, 0);

        // A newer version's shortcut replaces the old one under the same name.
        const std::wstring newer = scratch / L"2026.2.0\\Quilmo.exe";
        MakeDirectories(scratch / L"2026.2.0");
        ASSERT_TRUE(WriteBytes(newer, "MZ"));
        CreateShortcut(WideToUtf8(newer), WideToUtf8(link), "奎墨说明书");
        EXPECT_TRUE(_wcsicmp(ReadLink(link).path.c_str(), newer.c_str()) == 0);
        EXPECT_TRUE(_wcsicmp(ReadLink(link).workingDirectory.c_str(), (scratch / L"2026.2.0").c_str()) == 0);
    }
    // A link that cannot be written is simply absent.
    const std::wstring nowhere = scratch / L"missing\\奎墨说明书.lnk";
    CreateShortcut(WideToUtf8(target), WideToUtf8(nowhere), "奎墨说明书");
    EXPECT_FALSE(Exists(nowhere));
    CoUninitialize();
}

}  // namespace
}  // namespace quilmo
