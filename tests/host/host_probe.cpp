// Finds and loads an add-in the way Office and WPS do, with plain registry
// calls in the current user's hive and in this process's own registry view
// (built as host_probe32.exe and host_probe64.exe, one per host bitness).
//
//   host_probe32.exe office HOST PROGID   Office: HKCU\Software\Microsoft\Office\HOST\Addins\PROGID
//                                         must exist with "LoadBehavior" REG_DWORD 3
//   host_probe64.exe wps HOST PROGID      WPS: HKCU\Software\Kingsoft\Office\HOST\AddinsWL must
//                                         have a value named PROGID
//
// Then, in both modes: the default of HKCU\Software\Classes\PROGID\CLSID,
// the default of HKCU\Software\Classes\CLSID\{clsid}\InprocServer32,
// LoadLibraryExW of that path, DllGetClassObject for IClassFactory and
// CreateInstance for IUnknown.
//
// Prints one UTF-8 line on stdout and exits with its code:
//   0 "loaded PATH"                      the object was created from PATH
//   1 "usage: ..."                       bad command line
//   2 "not listed: ..."                  the host would not consider the add-in
//   3 "no clsid: ..."                    the ProgID has no CLSID in the user's classes
//   4 "no server: ..."                   the class has no InprocServer32 in this view
//   5 "load failed: PATH error N"        LoadLibraryExW failed (missing, wrong bitness)
//   6 "no entry point: PATH"             the DLL has no DllGetClassObject
//   7 "create failed: PATH hr 0xNNNNNNNN"  the class object or the instance failed
#include <windows.h>
#include <unknwn.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void Print(const std::wstring& line) {
    std::wstring text = line + L"\n";
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr,
                            nullptr);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

int Report(int code, const std::wstring& line) {
    Print(line);
    return code;
}

class Key {
public:
    explicit Key(const std::wstring& path) {
        if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
    }
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

bool ReadString(const std::wstring& path, const wchar_t* name, std::wstring* text) {
    Key key(path);
    if (key.get() == nullptr) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    std::vector<wchar_t> buffer(size / 2 + 2, L'\0');
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) !=
        ERROR_SUCCESS) {
        return false;
    }
    *text = buffer.data();
    return !text->empty();
}

bool OfficeLoadsAtStartup(const std::wstring& host, const std::wstring& progId) {
    Key key(L"Software\\Microsoft\\Office\\" + host + L"\\Addins\\" + progId);
    if (key.get() == nullptr) return false;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegQueryValueExW(key.get(), L"LoadBehavior", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD && value == 3;
}

bool WpsAllowsAddin(const std::wstring& host, const std::wstring& progId) {
    Key key(L"Software\\Kingsoft\\Office\\" + host + L"\\AddinsWL");
    if (key.get() == nullptr) return false;
    return RegQueryValueExW(key.get(), progId.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::wstring HexCode(HRESULT hr) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

int LoadAndCreate(const std::wstring& dllPath, const CLSID& clsid) {
    HMODULE module = LoadLibraryExW(dllPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        return Report(5, L"load failed: " + dllPath + L" error " + std::to_wstring(GetLastError()));
    }
    auto getClassObject =
        reinterpret_cast<DllGetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) return Report(6, L"no entry point: " + dllPath);
    IClassFactory* factory = nullptr;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) return Report(7, L"create failed: " + dllPath + L" hr " + HexCode(hr));
    IUnknown* object = nullptr;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    factory->Release();
    if (FAILED(hr) || object == nullptr) return Report(7, L"create failed: " + dllPath + L" hr " + HexCode(hr));
    object->Release();
    // Where the loader really found the DLL, not just what was asked for.
    wchar_t loaded[32768] = {};
    GetModuleFileNameW(module, loaded, 32768);
    return Report(0, std::wstring(L"loaded ") + loaded);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 || (std::wstring(argv[1]) != L"office" && std::wstring(argv[1]) != L"wps")) {
        return Report(1, L"usage: host_probe office|wps HOST PROGID");
    }
    const std::wstring mode = argv[1];
    const std::wstring host = argv[2];
    const std::wstring progId = argv[3];
    const bool listed = mode == L"office" ? OfficeLoadsAtStartup(host, progId) : WpsAllowsAddin(host, progId);
    if (!listed) return Report(2, L"not listed: " + mode + L" " + host + L" " + progId);

    std::wstring clsidText;
    CLSID clsid = {};
    if (!ReadString(L"Software\\Classes\\" + progId + L"\\CLSID", nullptr, &clsidText) ||
        FAILED(CLSIDFromString(clsidText.c_str(), &clsid))) {
        return Report(3, L"no clsid: " + progId);
    }
    std::wstring dllPath;
    if (!ReadString(L"Software\\Classes\\CLSID\\" + clsidText + L"\\InprocServer32", nullptr, &dllPath)) {
        return Report(4, L"no server: " + clsidText);
    }
    return LoadAndCreate(dllPath, clsid);
}
