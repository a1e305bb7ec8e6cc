// Handle-relative file operations for the code that cleans up old versions:
// everything is opened by leaf name below an open directory handle, never
// through a junction or symbolic link, and identities are checked on the
// open handles before anything is renamed or deleted. Also the guards: the
// safe open of the install base, its owner and access-list check, and the
// question whether any process has a set of files open.
#pragma once

#include <windows.h>

#include "files/native_file_api.h"
#include "files/unique_handle.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quilmo {

struct FileIdentity {
    uint32_t volumeSerial = 0;
    uint32_t indexHigh = 0;
    uint32_t indexLow = 0;
};
bool operator==(const FileIdentity& a, const FileIdentity& b);
bool operator!=(const FileIdentity& a, const FileIdentity& b);
bool operator<(const FileIdentity& a, const FileIdentity& b);

struct DirEntry {
    std::wstring name;  // never "." or ".."
    uint32_t attributes = 0;
};

// Access, share mode and create options of one kind of relative open.
struct OpenProfile {
    ACCESS_MASK access;
    ULONG share;
    ULONG options;
};

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kDirectoryFile = 0x00000001;     // FILE_DIRECTORY_FILE
constexpr ULONG kNonDirectoryFile = 0x00000040;  // FILE_NON_DIRECTORY_FILE
constexpr ULONG kSynchronousIo = 0x00000020;     // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kOpenReparsePoint = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG kDispositionOpen = 1;            // FILE_OPEN
constexpr ULONG kDispositionOpenIf = 3;          // FILE_OPEN_IF

constexpr OpenProfile TraverseDir{0x001000A0, kShareAll, kDirectoryFile};
constexpr OpenProfile ListDir{0x001000A1, kShareAll, kDirectoryFile};
constexpr OpenProfile BaseDir{0x001200A1, kShareAll, kDirectoryFile};
constexpr OpenProfile DeleteDir{0x001101A1, kShareAll, kDirectoryFile};
constexpr OpenProfile ProbeFile{0x00100080, kShareAll, kNonDirectoryFile};
constexpr OpenProfile ReadFileRel{0x00100081, kShareAll, kNonDirectoryFile};
constexpr OpenProfile DeleteFileRel{0x00110180, kShareAll, kNonDirectoryFile};
constexpr OpenProfile AttribFile{0x00100180, kShareAll, kNonDirectoryFile};
constexpr OpenProfile DeleteOnlyFile{0x00110080, kShareAll, kNonDirectoryFile};

struct OpenedHandle {
    UniqueNtHandle handle;  // "none" whenever status is negative
    NtStatus status = kStatusObjectNameNotFound;
};

// A handle is "none" when it is null or INVALID_HANDLE_VALUE.
bool IsNoneHandle(HANDLE h);

// NtCreateFile of name relative to parent (no parent: name is a full NT
// name), case-insensitive. 0xC0000034 when the native interface is missing
// or the name is longer than 65,532 bytes.
OpenedHandle NtOpenRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                            ULONG disposition, ULONG options, ULONG attributes);

// Opens an existing child by its leaf name, never following a link. Refuses
// "", ".", ".." and names with '\' or '/'.
OpenedHandle OpenChildNoFollow(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                               ULONG options);
OpenedHandle OpenChildNoFollow(HANDLE parent, const std::wstring& name, const OpenProfile& profile);

// Every entry but "." and ".."; links are listed, never entered.
bool ListDirectoryNoFollow(HANDLE dir, std::vector<DirEntry>* entries);

bool GetFileIdentity(HANDLE handle, FileIdentity* identity, BY_HANDLE_FILE_INFORMATION* info = nullptr);

// Renames the object of handle to newName inside dir; never replaces.
bool RenameRelative(HANDLE handle, HANDLE dir, const std::wstring& newName);

// Drops the read-only attribute, keeping the others.
bool ClearReadOnly(HANDLE handle, DWORD attributes);

// Deletes one regular file with exactly one link; read-only is cleared first.
bool DeleteFileRelative(HANDLE dir, const std::wstring& name);

// Deletes the directory of dir with everything in it; refuses a directory
// holding any link. depth is 0 for the top and at most 64.
bool DeleteTreeRelative(HANDLE dir, int depth);

// The handle's path as a normalised full path; "" on failure.
std::wstring GetFinalPathNormalized(HANDLE handle);

// Creates path and its missing parents; true when it ends up a real
// directory (not a link).
bool EnsureDirectory(const std::wstring& path);

// True when no process has any of paths open (an empty list is true).
bool FilesNotInUse(const std::vector<std::wstring>& paths);

// The directory belongs to this user (or to the administrators when the
// process is elevated) and nobody else may change anything in it.
bool IsOwnerAndDaclSafe(HANDLE dir);

// Opens the install base component by component from its drive root,
// refusing links, substituted drives and system or profile folders.
// aclRejected (optional) tells that only the owner/access-list check failed.
UniqueNtHandle OpenInstallBaseSafely(const std::wstring& path, bool checkAcl, bool* aclRejected);

// The components below the drive root of a normalised "X:\..." path; false
// for none at all, or for an empty, "." or ".." component.
bool SplitBelowDriveRoot(const std::wstring& path, std::vector<std::wstring>* components);

}  // namespace quilmo
