#include "probes/fonts_shortcuts.h"

#include "files/text_encoding.h"
#include "files/unique_handle.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>

namespace quilmo {

namespace {

constexpr wchar_t kUserFontsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Fonts";

// The per-user font folder, created when missing.
std::wstring UserFontFolder() {
    wchar_t localAppData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, localAppData))) {
        return std::wstring();
    }
    const std::wstring folder = std::wstring(localAppData) + L"\\Microsoft\\Windows\\Fonts\\";
    SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    return folder;
}

// A profile that never had a font installed for the user has no such key yet;
// without the value the font is gone from applications after the next sign-in.
void RegisterUserFont(const std::wstring& fileName, const std::wstring& fontPath) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUserFontsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS) {
        return;
    }
    const std::wstring name = FontValueName(fileName);
    RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(fontPath.c_str()),
                   static_cast<DWORD>((fontPath.size() + 1) * sizeof(wchar_t)));
}

// An older copy may be loaded in this session: unload it before the file is
// replaced, then load the new one.
void InstallOneFont(const std::wstring& source, const std::wstring& fileName, const std::wstring& targetFolder) {
    const std::wstring target = targetFolder + fileName;
    RemoveFontResourceW(target.c_str());
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) return;
    AddFontResourceW(target.c_str());
    RegisterUserFont(fileName, target);
}

// Balances CoInitialize only when it succeeded.
class ComScope {
public:
    ComScope() : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComScope() {
        if (initialized_) CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool initialized_;
};

template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() {
        if (p_) p_->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    void** put() { return reinterpret_cast<void**>(&p_); }

private:
    T* p_ = nullptr;
};

// The search pattern also matches short 8.3 names, so "a.ttfx" could come
// back for "*.ttf"; only real .ttf names are installed.
bool HasTtfExtension(const std::wstring& name) {
    return name.size() > 4 && CompareStringOrdinal(name.c_str() + name.size() - 4, 4, L".ttf", 4, TRUE) == CSTR_EQUAL;
}

std::wstring DirectoryOf(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

}  // namespace

void InstallVersionFonts(const std::string& versionDir) {
    const std::wstring source = Utf8ToWide(versionDir) + L"fonts\\";
    if (!PathFileExistsW(source.c_str())) return;
    const std::wstring targetFolder = UserFontFolder();
    if (targetFolder.empty()) return;
    WIN32_FIND_DATAW found{};
    bool any = false;
    {
        UniqueFindHandle search(FindFirstFileW((source + L"*.ttf").c_str(), &found));
        if (!search.valid()) return;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !HasTtfExtension(found.cFileName)) continue;
            any = true;
            InstallOneFont(source + found.cFileName, found.cFileName, targetFolder);
        } while (FindNextFileW(search.get(), &found));
    }
    if (any) PostMessageA(HWND_BROADCAST, WM_FONTCHANGE, 0, 0);
}

void CreateShortcut(const std::string& target, const std::string& linkPath, const std::string& description) {
    const std::wstring wideTarget = Utf8ToWide(target);
    ComScope com;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put()))) return;
    link->SetPath(wideTarget.c_str());
    link->SetDescription(Utf8ToWide(description).c_str());
    link->SetWorkingDirectory(DirectoryOf(wideTarget).c_str());
    link->SetIconLocation(wideTarget.c_str(), 0);
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, file.put()))) return;
    file->Save(Utf8ToWide(linkPath).c_str(), TRUE);
}

}  // namespace quilmo
