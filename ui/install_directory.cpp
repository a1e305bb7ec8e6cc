#include "ui/install_directory.h"

#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "pipeline/installer_state.h"
#include "ui/window_state.h"

namespace quilmo {

const wchar_t kInstallSubfolder[] = L"\\Quilmo2025";

namespace {

const wchar_t kUnusableFolderText[] =
    L"该目录不适合安装本插件。\n\n原因：Office/WPS 以普通用户权限运行，插件需要在安装目录读写数据。\n"
    L"系统目录（如 Program Files）普通用户无法写入。\n\n建议选择：\n• 用户目录（AppData、文档等）\n"
    L"• 自建目录（如 D:\\MyApps）";

// The generic rights of file objects.
const GENERIC_MAPPING kFileMapping = {0x120089, 0x120116, 0x1200A0, 0x1F01FF};

struct SecurityDescriptor {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ~SecurityDescriptor() {
        if (descriptor != nullptr) LocalFree(descriptor);
    }
};

struct Sid {
    PSID sid = nullptr;
    ~Sid() {
        if (sid != nullptr) FreeSid(sid);
    }
};

// The process token with the Administrators group made deny-only, as an
// impersonation token for AccessCheck.
bool StandardUserToken(UniqueHandle& impersonation) {
    UniqueHandle process;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put())) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    Sid administrators;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators.sid)) {
        return false;
    }
    SID_AND_ATTRIBUTES disable = {administrators.sid, 0};
    UniqueHandle restricted;
    if (!CreateRestrictedToken(process.get(), DISABLE_MAX_PRIVILEGE, 1, &disable, 0, nullptr, 0, nullptr,
                               restricted.put())) {
        return false;
    }
    return DuplicateToken(restricted.get(), SecurityImpersonation, impersonation.put()) != 0;
}

bool StandardUserMayAddEntries(const std::wstring& directory) {
    SecurityDescriptor security;
    if (GetNamedSecurityInfoW(directory.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, nullptr, nullptr, &security.descriptor) != ERROR_SUCCESS) {
        return false;
    }
    UniqueHandle token;
    if (!StandardUserToken(token)) return false;
    DWORD desired = FILE_WRITE_DATA | FILE_APPEND_DATA;  // add files, add sub-folders
    GENERIC_MAPPING mapping = kFileMapping;
    MapGenericMask(&desired, &mapping);
    BYTE privileges[20] = {};
    DWORD privilegesSize = sizeof(privileges);
    DWORD granted = 0;
    BOOL allowed = FALSE;
    if (!AccessCheck(security.descriptor, token.get(), desired, &mapping, reinterpret_cast<PPRIVILEGE_SET>(privileges),
                     &privilegesSize, &granted, &allowed)) {
        return false;
    }
    return allowed != FALSE;
}

bool ContainsBlank(const std::wstring& path) { return path.find(L' ') != std::wstring::npos; }

void ChooseWithPicker(HWND owner) {
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.lpszTitle = L"选择安装目录";
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&browse);
    if (item == nullptr) return;
    wchar_t chosen[MAX_PATH] = {};
    bool havePath = SHGetPathFromIDListW(item, chosen) != FALSE;
    CoTaskMemFree(item);
    if (!havePath) return;

    std::wstring folder = chosen;
    if (ContainsBlank(folder)) {
        MessageBoxW(owner, L"安装路径不能包含空格！", L"错误", MB_ICONERROR);
        return;
    }
    if (!IsDirectoryUsableByStandardUser(folder + kInstallSubfolder)) {
        MessageBoxW(owner, kUnusableFolderText, L"目录不可用", MB_ICONWARNING);
        return;
    }
    InstallerState& state = State();
    std::string base = BasePathForChosenFolder(WideToUtf8(folder));
    state.basePath.Set(base);
    state.targetPath.Set(base);
    state.displayPath.Set(base);
    RepaintWindow();
}

}  // namespace

std::optional<std::wstring> NearestExistingAncestor(std::wstring path,
                                                    const std::function<bool(const std::wstring&)>& exists) {
    while (!exists(path)) {
        size_t separator = path.find_last_of(L"\\/");
        if (separator == std::wstring::npos || separator <= 2) return std::nullopt;
        path.resize(separator);
        if (path.size() == 2 && path[1] == L':') path += L'\\';
    }
    return path;
}

bool IsDirectoryUsableByStandardUser(const std::wstring& directory) {
    std::optional<std::wstring> checked =
        NearestExistingAncestor(directory, [](const std::wstring& p) { return PathFileExistsW(p.c_str()) != FALSE; });
    if (!checked || !StandardUserMayAddEntries(*checked)) return false;
    int result = SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
    return result == ERROR_SUCCESS || result == ERROR_FILE_EXISTS || result == ERROR_ALREADY_EXISTS;
}

std::string BasePathForChosenFolder(const std::string& folder) {
    std::string base = folder + WideToUtf8(kInstallSubfolder);
    if (base.back() != '\\' && base.back() != '/') base += '\\';
    return base;
}

void ChooseInstallDirectory(HWND owner) {
    // The new-style picker is a COM dialog and needs an apartment.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ChooseWithPicker(owner);
    if (SUCCEEDED(com)) CoUninitialize();
}

}  // namespace quilmo
