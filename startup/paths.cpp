#include "startup/paths.h"

#include <windows.h>
#include <shlobj.h>

namespace quilmo {

std::wstring ProductDataFolder() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) appData[0] = L'\0';
    return std::wstring(appData) + L"\\QuilmoStudio\\Quilmo2025\\";
}

}  // namespace quilmo
