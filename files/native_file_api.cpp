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

std::atomic<const NtFileApi*> ntOverride{nullptr};
std::atomic<const RestartManagerApi*> rmOverride{nullptr};
std::atomic<const FileSystemCalls*> fsOverride{nullptr};

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
    static const FileSystemCalls calls{&::GetFileInformationByHandle, &::QueryDosDeviceW};
    return calls;
}

const NtFileApi& NtApi() {
    const NtFileApi* api = ntOverride.load();
    return api ? *api : RealNtApi();
}

const RestartManagerApi& RmApi() {
    const RestartManagerApi* api = rmOverride.load();
    return api ? *api : RealRmApi();
}

const FileSystemCalls& FsCalls() {
    const FileSystemCalls* calls = fsOverride.load();
    return calls ? *calls : RealFsCalls();
}

ScopedNtFileApi::ScopedNtFileApi(const NtFileApi* api) : previous_(ntOverride.exchange(api)) {}
ScopedNtFileApi::~ScopedNtFileApi() { ntOverride.store(previous_); }

ScopedRestartManagerApi::ScopedRestartManagerApi(const RestartManagerApi* api) : previous_(rmOverride.exchange(api)) {}
ScopedRestartManagerApi::~ScopedRestartManagerApi() { rmOverride.store(previous_); }

ScopedFileSystemCalls::ScopedFileSystemCalls(const FileSystemCalls* calls) : previous_(fsOverride.exchange(calls)) {}
ScopedFileSystemCalls::~ScopedFileSystemCalls() { fsOverride.store(previous_); }

}  // namespace quilmo
