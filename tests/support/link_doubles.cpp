#include "support/link_doubles.h"

#include "support/scratch_dir.h"

#include <cstring>

namespace quilmo {
namespace testing_support {

namespace {

std::wstring linkName;
FileIdentity linkIdentity;
int dosDeviceQueries = 0;

NtStatus NTAPI QueryMarkingLinks(HANDLE file, HANDLE event, PVOID apc, PVOID context, PIO_STATUS_BLOCK io,
                                 PVOID buffer, ULONG length, ULONG infoClass, BOOLEAN single, PUNICODE_STRING mask,
                                 BOOLEAN restart) {
    const NtStatus status = RealNtApi().queryDirectoryFile(file, event, apc, context, io, buffer, length, infoClass,
                                                           single, mask, restart);
    if (status < 0) return status;  // includes "no more files"
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t offset = 0;
    for (;;) {
        ULONG next = 0, nameBytes = 0, attributes = 0;
        std::memcpy(&next, bytes + offset, 4);
        std::memcpy(&attributes, bytes + offset + 56, 4);
        std::memcpy(&nameBytes, bytes + offset + 60, 4);
        const std::wstring name(reinterpret_cast<const wchar_t*>(bytes + offset + 64), nameBytes / 2);
        if (name == linkName) {
            attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
            std::memcpy(bytes + offset + 56, &attributes, 4);
        }
        if (next == 0) break;
        offset += next;
    }
    return status;
}

BOOL WINAPI InformationMarkingLink(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    if (!RealFsCalls().getFileInformationByHandle(handle, info)) return FALSE;
    const FileIdentity identity{info->dwVolumeSerialNumber, info->nFileIndexHigh, info->nFileIndexLow};
    if (identity == linkIdentity) info->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return TRUE;
}

FileIdentity finalPathIdentity;
std::wstring finalPathTarget;

DWORD WINAPI FinalPathMarkingLink(HANDLE handle, LPWSTR buffer, DWORD size, DWORD flags) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!RealFsCalls().getFileInformationByHandle(handle, &info) ||
        !(FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow} == finalPathIdentity)) {
        return RealFsCalls().getFinalPathNameByHandle(handle, buffer, size, flags);
    }
    const std::wstring answer = L"\\\\?\\" + finalPathTarget;
    if (size <= answer.size()) return static_cast<DWORD>(answer.size() + 1);
    std::memcpy(buffer, answer.c_str(), (answer.size() + 1) * sizeof(wchar_t));
    return static_cast<DWORD>(answer.size());
}

DWORD WINAPI SubstitutedDosDevice(LPCWSTR device, LPWSTR target, DWORD size) {
    ++dosDeviceQueries;
    const wchar_t answer[] = L"\\??\\C:\\users";
    if (size < sizeof answer / sizeof answer[0] + 1) return 0;
    std::memcpy(target, answer, sizeof answer);
    target[sizeof answer / sizeof answer[0]] = L'\0';
    return sizeof answer / sizeof answer[0] + 1;
}

NtFileApi WithMarkingListing() {
    NtFileApi api = RealNtApi();
    api.queryDirectoryFile = &QueryMarkingLinks;
    return api;
}

FileSystemCalls WithCalls(GetFileInformationByHandleFn information, QueryDosDeviceFn dosDevice,
                          GetFinalPathNameByHandleFn finalPath = nullptr) {
    FileSystemCalls calls = RealFsCalls();
    if (finalPath) calls.getFinalPathNameByHandle = finalPath;
    if (information) calls.getFileInformationByHandle = information;
    if (dosDevice) calls.queryDosDevice = dosDevice;
    return calls;
}

}  // namespace

ListingShowsLink::ListingShowsLink(const std::wstring& name) : api_(WithMarkingListing()), scope_(&api_) {
    linkName = name;
}
ListingShowsLink::~ListingShowsLink() { linkName.clear(); }

HandleShowsLink::HandleShowsLink(const FileIdentity& identity)
    : calls_(WithCalls(&InformationMarkingLink, nullptr)), scope_(&calls_) {
    linkIdentity = identity;
}
HandleShowsLink::~HandleShowsLink() { linkIdentity = FileIdentity{}; }

FinalPathLeadsTo::FinalPathLeadsTo(const FileIdentity& identity, const std::wstring& target)
    : calls_(WithCalls(nullptr, nullptr, &FinalPathMarkingLink)), scope_(&calls_) {
    finalPathIdentity = identity;
    finalPathTarget = target;
}
FinalPathLeadsTo::~FinalPathLeadsTo() {
    finalPathIdentity = FileIdentity{};
    finalPathTarget.clear();
}

DrivesLookSubstituted::DrivesLookSubstituted() : calls_(WithCalls(nullptr, &SubstitutedDosDevice)), scope_(&calls_) {
    dosDeviceQueries = 0;
}
int DrivesLookSubstituted::queries() const { return dosDeviceQueries; }

FileIdentity IdentityOf(const std::wstring& path) {
    UniqueFile handle = OpenDirectory(path, FILE_READ_ATTRIBUTES);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !GetFileInformationByHandle(handle.get(), &info)) return FileIdentity{};
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

}  // namespace testing_support
}  // namespace quilmo
