#include "files/native_file_api.h"

#include "startup/dll_hardening.h"

#include <atomic>
#include <string>

namespace quilmo {

namespace {

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

NtFileApi BindNtFileApi() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    NtFileApi api;
    api.createFile = Resolve<NtCreateFileFn>(ntdll, "NtCreateFile");
    api.queryDirectoryFile = Resolve<NtQueryDirectoryFileFn>(ntdll, "NtQueryDirectoryFile");
    api.setInformationFile = Resolve<NtSetInformationFileFn>(ntdll, "NtSetInformationFile");
    api.available = api.createFile && api.queryDirectoryFile && api.setInformationFile;
    return api;
}

// The system directory only: first through the hardened loader, then by the
// full path of the system directory.
HMODULE LoadRestartManager() {
    if (HMODULE module = LoadSystemLibrary(L"rstrtmgr.dll")) return module;
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::wstring path(system, length);
    if (path.back() != L'\\') path += L'\\';
    path += L"rstrtmgr.dll";
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

RestartManagerApi BindRestartManagerApi() {
    HMODULE module = LoadRestartManager();  // never unloaded
    RestartManagerApi api;
    api.startSession = Resolve<RmStartSessionFn>(module, "RmStartSession");
    api.registerResources = Resolve<RmRegisterResourcesFn>(module, "RmRegisterResources");
    api.getList = Resolve<RmGetListFn>(module, "RmGetList");
    api.endSession = Resolve<RmEndSessionFn>(module, "RmEndSession");
    api.available = api.startSession && api.registerResources && api.getList && api.endSession;
    return api;
}

}  // namespace

const NtFileApi& RealNtApi() {
    static const NtFileApi api = BindNtFileApi();
    return api;
}

const RestartManagerApi& RealRmApi() {
    static const RestartManagerApi api = BindRestartManagerApi();
    return api;
}

const FileSystemCalls& RealFsCalls() {
    static const FileSystemCalls calls{&::GetFileInformationByHandle, &::QueryDosDeviceW,
                                       &::GetFinalPathNameByHandleW};
    return calls;
}

const NtFileApi& NtApi() { return Bound(RealNtApi()); }
const RestartManagerApi& RmApi() { return Bound(RealRmApi()); }
const FileSystemCalls& FsCalls() { return Bound(RealFsCalls()); }

}  // namespace quilmo
