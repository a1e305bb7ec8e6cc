#include "files/file_handles.h"

#include "files/path_text.h"

#include <cstddef>
#include <cstring>
#include <tuple>

namespace quilmo {

namespace {

constexpr ULONG kFileDirectoryInformation = 1;
constexpr ULONG kFileBasicInformation = 4;
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileDispositionInformation = 13;
constexpr size_t kListBufferSize = 16384;
constexpr size_t kDirectoryRecordFixedSize = 64;
constexpr size_t kMaxNameBytes = 65532;
constexpr int kMaxTreeDepth = 64;

bool IsLeafName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    return name.find_first_of(L"\\/") == std::wstring::npos;
}

bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsReadOnly(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_READONLY) != 0; }

bool IsRegularSingleLinkFile(const BY_HANDLE_FILE_INFORMATION& info) {
    return !IsDirectory(info.dwFileAttributes) && !IsReparsePoint(info.dwFileAttributes) && info.nNumberOfLinks == 1;
}

bool SetAttributes(HANDLE handle, DWORD attributes) {
    const NtFileApi& api = NtApi();
    if (!api.available || IsNoneHandle(handle)) return false;
    // Four LARGE_INTEGER times (zero: unchanged) and the attributes, 40 bytes.
    struct {
        LARGE_INTEGER times[4];
        ULONG attributes;
        ULONG padding;
    } basic{};
    static_assert(sizeof basic == 40, "FILE_BASIC_INFORMATION is 40 bytes");
    basic.attributes = attributes;
    IO_STATUS_BLOCK io{};
    return api.setInformationFile(handle, &io, &basic, sizeof basic, kFileBasicInformation) >= 0;
}

bool MarkForDeletion(HANDLE handle) {
    const NtFileApi& api = NtApi();
    if (!api.available || IsNoneHandle(handle)) return false;
    BOOLEAN deleteFile = TRUE;
    IO_STATUS_BLOCK io{};
    return api.setInformationFile(handle, &io, &deleteFile, sizeof deleteFile, kFileDispositionInformation) >= 0;
}

// Clears read-only when set, marks for deletion, and puts read-only back
// when the deletion is refused, so a failed delete changes nothing.
bool DeleteOpenFile(HANDLE attributeHandle, HANDLE deleteHandle, DWORD attributes) {
    const bool readOnly = IsReadOnly(attributes);
    if (readOnly && !ClearReadOnly(attributeHandle, attributes)) return false;
    if (MarkForDeletion(deleteHandle)) return true;
    if (readOnly) SetAttributes(attributeHandle, attributes);
    return false;
}

// The retry for files whose first open was refused: clear read-only through
// one handle, delete through another, and make sure both are the same file.
bool DeleteFileInTwoSteps(HANDLE dir, const std::wstring& name) {
    OpenedHandle attrib = OpenChildNoFollow(dir, name, AttribFile);
    if (!attrib.handle) return false;
    FileIdentity first;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileIdentity(attrib.handle.get(), &first, &info) || !IsRegularSingleLinkFile(info)) return false;
    const bool readOnly = IsReadOnly(info.dwFileAttributes);
    if (readOnly && !ClearReadOnly(attrib.handle.get(), info.dwFileAttributes)) return false;
    OpenedHandle deleter = OpenChildNoFollow(dir, name, DeleteOnlyFile);
    FileIdentity second;
    BY_HANDLE_FILE_INFORMATION secondInfo{};
    const bool same = deleter.handle && GetFileIdentity(deleter.handle.get(), &second, &secondInfo) &&
                      second == first && IsRegularSingleLinkFile(secondInfo);
    if (same && MarkForDeletion(deleter.handle.get())) return true;
    if (readOnly) SetAttributes(attrib.handle.get(), info.dwFileAttributes);
    return false;
}

template <typename T>
T ReadAt(const unsigned char* base, size_t offset) {
    T value;
    std::memcpy(&value, base + offset, sizeof value);
    return value;
}

// Walks one returned buffer of FILE_DIRECTORY_INFORMATION records.
bool ParseDirectoryBuffer(const unsigned char* buffer, size_t limit, std::vector<DirEntry>* entries) {
    size_t offset = 0;
    for (;;) {
        if (offset + kDirectoryRecordFixedSize > limit) return false;
        const ULONG next = ReadAt<ULONG>(buffer, offset);
        const ULONG attributes = ReadAt<ULONG>(buffer, offset + 56);
        const ULONG nameBytes = ReadAt<ULONG>(buffer, offset + 60);
        if ((nameBytes & 1) != 0 || offset + kDirectoryRecordFixedSize + nameBytes > limit) return false;
        std::wstring name(nameBytes / sizeof(wchar_t), L'\0');
        if (nameBytes) std::memcpy(&name[0], buffer + offset + kDirectoryRecordFixedSize, nameBytes);
        if (name != L"." && name != L"..") entries->push_back(DirEntry{name, attributes});
        if (next == 0) return true;
        if (offset + next >= limit) return false;
        offset += next;
    }
}

bool IsDriveRootPath(const std::wstring& path) {
    return path.size() == 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

bool IsPlainDirectoryAt(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(ToLongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && IsDirectory(attributes) && !IsReparsePoint(attributes);
}

}  // namespace

bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.volumeSerial == b.volumeSerial && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow;
}
bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }
bool operator<(const FileIdentity& a, const FileIdentity& b) {
    return std::tie(a.volumeSerial, a.indexHigh, a.indexLow) < std::tie(b.volumeSerial, b.indexHigh, b.indexLow);
}

bool IsNoneHandle(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

OpenedHandle NtOpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                            ULONG disposition, ULONG options, ULONG attributes) {
    OpenedHandle result;
    const NtFileApi& api = NtApi();
    if (!api.available || name.size() * sizeof(wchar_t) > kMaxNameBytes) return result;
    if (parent == INVALID_HANDLE_VALUE) {
        result.status = kStatusInvalidHandle;
        return result;
    }
    UNICODE_STRING objectName;
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    OBJECT_ATTRIBUTES object{};
    object.Length = sizeof object;
    object.RootDirectory = parent;
    object.ObjectName = &objectName;
    object.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    result.status =
        api.createFile(&opened, access, &object, &io, nullptr, attributes, share, disposition, options, nullptr, 0);
    if (result.status >= 0 && !IsNoneHandle(opened)) {
        result.handle.reset(opened);
    } else if (result.status >= 0) {
        result.status = kStatusInvalidHandle;  // success without a handle counts as failure
    }
    return result;
}

OpenedHandle OpenChildNoFollow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                               ULONG options) {
    if (!IsLeafName(name)) return OpenedHandle{};
    // A relative name without a parent would be resolved from the object root.
    if (IsNoneHandle(parent)) return OpenedHandle{UniqueNtHandle(), kStatusInvalidHandle};
    return NtOpenRelative(parent, name, access, share, kDispositionOpen, options | kOpenReparsePoint | kSynchronousIo,
                          0);
}

OpenedHandle OpenChildNoFollow(HANDLE parent, const std::wstring& name, const OpenProfile& profile) {
    return OpenChildNoFollow(parent, name, profile.access, profile.share, profile.options);
}

bool ListDirectoryNoFollow(HANDLE dir, std::vector<DirEntry>* entries) {
    if (entries == nullptr) return false;
    entries->clear();
    const NtFileApi& api = NtApi();
    if (!api.available || IsNoneHandle(dir)) return false;
    std::vector<unsigned char> storage(kListBufferSize + 32);
    const uintptr_t address = reinterpret_cast<uintptr_t>(storage.data());
    unsigned char* buffer = storage.data() + ((32 - (address % 32)) % 32);
    bool first = true;
    for (;;) {
        IO_STATUS_BLOCK io{};
        const NtStatus status = api.queryDirectoryFile(dir, nullptr, nullptr, nullptr, &io, buffer, kListBufferSize,
                                                       kFileDirectoryInformation, FALSE, nullptr, first ? TRUE : FALSE);
        first = false;
        if (status == kStatusNoMoreFiles || status == kStatusNoSuchFile) return true;
        if (status < 0) break;
        const size_t returned = static_cast<size_t>(io.Information);
        const size_t limit = (returned > 0 && returned <= kListBufferSize) ? returned : kListBufferSize;
        if (!ParseDirectoryBuffer(buffer, limit, entries)) break;
    }
    entries->clear();
    return false;
}

bool GetFileIdentity(HANDLE handle, FileIdentity* identity, BY_HANDLE_FILE_INFORMATION* info) {
    if (IsNoneHandle(handle)) return false;
    BY_HANDLE_FILE_INFORMATION local{};
    if (!FsCalls().getFileInformationByHandle(handle, &local)) return false;
    if (identity) *identity = FileIdentity{local.dwVolumeSerialNumber, local.nFileIndexHigh, local.nFileIndexLow};
    if (info) *info = local;
    return true;
}

bool RenameRelative(HANDLE handle, HANDLE dir, const std::wstring& newName) {
    const NtFileApi& api = NtApi();
    if (!api.available || IsNoneHandle(handle) || IsNoneHandle(dir) || !IsLeafName(newName)) return false;
    if (newName.size() * sizeof(wchar_t) > kMaxNameBytes) return false;
    struct RenameHeader {
        BOOLEAN replaceIfExists;
        HANDLE rootDirectory;
        ULONG fileNameLength;
        WCHAR fileName[1];
    };
    const size_t nameOffset = offsetof(RenameHeader, fileName);
    const size_t nameBytes = newName.size() * sizeof(wchar_t);
    std::vector<unsigned char> storage(nameOffset + nameBytes + sizeof(WCHAR) + sizeof(void*));
    auto* header = reinterpret_cast<RenameHeader*>(storage.data());
    header->replaceIfExists = FALSE;
    header->rootDirectory = dir;
    header->fileNameLength = static_cast<ULONG>(nameBytes);
    std::memcpy(storage.data() + nameOffset, newName.data(), nameBytes);
    IO_STATUS_BLOCK io{};
    return api.setInformationFile(handle, &io, header, static_cast<ULONG>(nameOffset + nameBytes),
                                  kFileRenameInformation) >= 0;
}

bool ClearReadOnly(HANDLE handle, DWORD attributes) {
    const DWORD cleared = (attributes == 0 || attributes == FILE_ATTRIBUTE_READONLY)
                              ? FILE_ATTRIBUTE_NORMAL
                              : (attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return SetAttributes(handle, cleared);
}

bool DeleteFileRelative(HANDLE dir, const std::wstring& name) {
    OpenedHandle opened = OpenChildNoFollow(dir, name, DeleteFileRel);
    if (opened.handle) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileIdentity(opened.handle.get(), nullptr, &info) || !IsRegularSingleLinkFile(info)) return false;
        return DeleteOpenFile(opened.handle.get(), opened.handle.get(), info.dwFileAttributes);
    }
    if (opened.status == kStatusCannotDelete || opened.status == kStatusAccessDenied) {
        return DeleteFileInTwoSteps(dir, name);
    }
    return false;
}

bool DeleteTreeRelative(HANDLE dir, int depth) {
    if (depth < 0 || depth > kMaxTreeDepth) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileIdentity(dir, nullptr, &info)) return false;
    if (!IsDirectory(info.dwFileAttributes) || IsReparsePoint(info.dwFileAttributes)) return false;
    std::vector<DirEntry> entries;
    if (!ListDirectoryNoFollow(dir, &entries)) return false;
    for (const DirEntry& entry : entries) {
        if (IsReparsePoint(entry.attributes)) return false;  // before anything here is deleted
    }
    bool childrenDeleted = true;
    for (const DirEntry& entry : entries) {
        if (!IsDirectory(entry.attributes)) {
            childrenDeleted = DeleteFileRelative(dir, entry.name) && childrenDeleted;
            continue;
        }
        OpenedHandle child = OpenChildNoFollow(dir, entry.name, DeleteDir);
        childrenDeleted = child.handle && DeleteTreeRelative(child.handle.get(), depth + 1) && childrenDeleted;
    }
    if (IsReadOnly(info.dwFileAttributes) && !ClearReadOnly(dir, info.dwFileAttributes)) return false;
    const bool marked = MarkForDeletion(dir);
    return marked && childrenDeleted;
}

std::wstring GetFinalPathNormalized(HANDLE handle) {
    if (IsNoneHandle(handle)) return std::wstring();
    std::vector<wchar_t> buffer(512, L'\0');
    const GetFinalPathNameByHandleFn finalPath = FsCalls().getFinalPathNameByHandle;
    DWORD length = finalPath(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (length >= buffer.size()) {
        buffer.assign(length + 2, L'\0');
        length = finalPath(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    }
    if (length == 0 || length >= buffer.size()) return std::wstring();
    return NormalizePath(std::wstring(buffer.data(), length));
}

bool EnsureDirectory(const std::wstring& path) {
    if (path.empty() || path.size() > 32767) return false;
    // Walk up to the first ancestor that exists, without recursion so a path
    // of thousands of components cannot exhaust the stack.
    std::vector<std::wstring> missing;
    std::wstring current = path;
    for (;;) {
        const DWORD attributes = GetFileAttributesW(ToLongPathForm(current).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!IsDirectory(attributes) || IsReparsePoint(attributes)) return false;
            break;
        }
        missing.push_back(current);
        const std::wstring parent = ParentDirRaw(current);
        if (parent.empty() || PathEquals(parent, current) || IsDriveRootPath(parent)) break;
        current = parent;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::wstring longForm = ToLongPathForm(*it);
        if (!CreateDirectoryW(longForm.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (!IsPlainDirectoryAt(*it)) return false;
    }
    return true;
}

}  // namespace quilmo
