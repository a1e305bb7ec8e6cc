// The native file interface and the Restart Manager, resolved at run time,
// plus the three kernel32 calls whose answers decide about links and
// substituted drives. Each is one table of function pointers so tests can
// stand in for what this Wine cannot produce (junctions, substituted drives,
// files reported in use).
#pragma once

#include <windows.h>

#include <atomic>
#include <winternl.h>

namespace quilmo {

using NtStatus = LONG;

constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusNoMoreFiles = static_cast<NtStatus>(0x80000006);
constexpr NtStatus kStatusInvalidHandle = static_cast<NtStatus>(0xC0000008);
constexpr NtStatus kStatusNoSuchFile = static_cast<NtStatus>(0xC000000F);
constexpr NtStatus kStatusAccessDenied = static_cast<NtStatus>(0xC0000022);
constexpr NtStatus kStatusObjectNameNotFound = static_cast<NtStatus>(0xC0000034);
constexpr NtStatus kStatusObjectPathNotFound = static_cast<NtStatus>(0xC000003A);
constexpr NtStatus kStatusSharingViolation = static_cast<NtStatus>(0xC0000043);
constexpr NtStatus kStatusCannotDelete = static_cast<NtStatus>(0xC0000121);

using NtCreateFileFn = NtStatus(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                                        ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryDirectoryFileFn = NtStatus(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG,
                                                BOOLEAN, PUNICODE_STRING, BOOLEAN);
using NtSetInformationFileFn = NtStatus(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);

struct NtFileApi {
    NtCreateFileFn createFile = nullptr;
    NtQueryDirectoryFileFn queryDirectoryFile = nullptr;
    NtSetInformationFileFn setInformationFile = nullptr;
    bool available = false;
};

// Process records and unique-process entries are never passed, so their
// pointers stay untyped.
using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, void*, UINT, LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, void*, DWORD*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);

struct RestartManagerApi {
    RmStartSessionFn startSession = nullptr;
    RmRegisterResourcesFn registerResources = nullptr;
    RmGetListFn getList = nullptr;
    RmEndSessionFn endSession = nullptr;
    bool available = false;
};

using GetFileInformationByHandleFn = BOOL(WINAPI*)(HANDLE, LPBY_HANDLE_FILE_INFORMATION);
using QueryDosDeviceFn = DWORD(WINAPI*)(LPCWSTR, LPWSTR, DWORD);
using GetFinalPathNameByHandleFn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

struct FileSystemCalls {
    GetFileInformationByHandleFn getFileInformationByHandle = nullptr;
    QueryDosDeviceFn queryDosDevice = nullptr;
    GetFinalPathNameByHandleFn getFinalPathNameByHandle = nullptr;
};

// The bindings in use: the real ones, resolved once per process, unless a
// test has put its own in place.
const NtFileApi& NtApi();
const RestartManagerApi& RmApi();
const FileSystemCalls& FsCalls();

// The real bindings, for test doubles that pass most calls through.
const NtFileApi& RealNtApi();
const RestartManagerApi& RealRmApi();
const FileSystemCalls& RealFsCalls();

// The test replacement of a binding, none normally (one per table type).
template <typename Table>
std::atomic<const Table*>& BindingOverride() {
    static std::atomic<const Table*> replacement{nullptr};
    return replacement;
}

// The binding in use: a test's replacement when one is in place, else `real`.
template <typename Table>
const Table& Bound(const Table& real) {
    const Table* replacement = BindingOverride<Table>().load();
    return replacement ? *replacement : real;
}

// Replaces one binding for the lifetime of the object (tests only; the
// table must outlive it).
template <typename Table>
class ScopedBinding {
public:
    explicit ScopedBinding(const Table* table) : previous_(BindingOverride<Table>().exchange(table)) {}
    ~ScopedBinding() { BindingOverride<Table>().store(previous_); }
    ScopedBinding(const ScopedBinding&) = delete;
    ScopedBinding& operator=(const ScopedBinding&) = delete;

private:
    const Table* previous_;
};

using ScopedNtFileApi = ScopedBinding<NtFileApi>;
using ScopedRestartManagerApi = ScopedBinding<RestartManagerApi>;
using ScopedFileSystemCalls = ScopedBinding<FileSystemCalls>;

}  // namespace quilmo
