#include "files/old_version_gc.h"

#include "files/file_handles.h"
#include "files/path_text.h"
#include "files/version_directories.h"
#include "startup/installer_log.h"

#include <set>

namespace quilmo {

namespace {

const wchar_t* const kMarkerFiles[] = {L"Library.dll",  L"Quilmo.Core.dll",     L"ZUDodi32.dll",
                                       L"REDero64.dll", L"Quilmo2025.Word.dll", L"Uninstall.exe"};
const wchar_t kDeletePendingInfix[] = L".__qmdel_";

constexpr int kMaxAncestorSteps = 128;
constexpr int kMaxProbeDepth = 64;
constexpr size_t kMaxRegisteredFiles = 64;
// The deletability probe's exclusive open of a file that is not read-only:
// SYNCHRONIZE, DELETE, FILE_READ_ATTRIBUTES and FILE_WRITE_DATA.
constexpr ACCESS_MASK kExclusiveProbeAccess = 0x00110082;

bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReparsePoint(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
bool IsInUseStatus(NtStatus status) { return status == kStatusSharingViolation || status == kStatusAccessDenied; }
bool IsRegularSingleLinkFile(const BY_HANDLE_FILE_INFORMATION& info) {
    return !IsDirectory(info.dwFileAttributes) && !IsReparsePoint(info.dwFileAttributes) && info.nNumberOfLinks == 1;
}
uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::wstring RunningExecutableDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return ParentDirNormalized(std::wstring(buffer, length));
}

// --- Protected sets ---

struct ProtectedSets {
    std::set<std::wstring> paths;  // lower-cased normalised paths
    std::set<FileIdentity> identities;
};

bool IsDriveRoot(const std::wstring& path) {
    return path.size() == 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

// Records the identity of the protected path and of each ancestor up to the
// base, so the directory is recognised under any name that reaches it. The
// first step also follows a link to its target and protects that too.
bool WalkAncestors(const std::wstring& start, const FileIdentity& baseIdentity, bool followFinalPath,
                   ProtectedSets* sets) {
    std::wstring current = start;
    for (int step = 0; step < kMaxAncestorSteps && !current.empty(); ++step) {
        if (IsDriveRoot(current)) return true;
        UniqueFile handle(CreateFileW(ToLongPathForm(current).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (handle) {
            FileIdentity identity;
            if (!GetFileIdentity(handle.get(), &identity)) return false;
            if (identity == baseIdentity) return true;
            sets->identities.insert(identity);
            if (step == 0 && followFinalPath) {
                const std::wstring finalPath = GetFinalPathNormalized(handle.get());
                if (!finalPath.empty() && !PathEquals(finalPath, current)) {
                    sets->paths.insert(LowerInvariant(finalPath));
                    if (!WalkAncestors(ParentDirRaw(finalPath), baseIdentity, false, sets)) return false;
                }
            }
        } else {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
        }
        const std::wstring parent = ParentDirRaw(current);
        if (parent.empty() || parent == current) return true;
        current = parent;
    }
    return true;
}

bool IsProtectedByPath(const std::wstring& candidate, const ProtectedSets& sets) {
    const std::wstring normalized = NormalizePath(candidate);
    if (normalized.empty()) return true;
    const std::wstring lower = LowerInvariant(normalized);
    if (sets.paths.count(lower) != 0) return true;
    const std::wstring asAncestor = lower + L"\\";
    for (const std::wstring& entry : sets.paths) {
        if (entry.compare(0, asAncestor.size(), asAncestor) == 0) return true;
    }
    return false;
}

// --- Checks on one candidate directory ---

// The information of a marker file in dir when it is a regular file there.
bool OpenMarker(HANDLE dir, const wchar_t* name, BY_HANDLE_FILE_INFORMATION* info) {
    OpenedHandle marker = OpenChildNoFollow(dir, name, ProbeFile);
    if (!marker.handle || !GetFileIdentity(marker.handle.get(), nullptr, info)) return false;
    return !IsDirectory(info->dwFileAttributes) && !IsReparsePoint(info->dwFileAttributes);
}

bool HasMarkerFile(HANDLE dir) {
    for (const wchar_t* name : kMarkerFiles) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (OpenMarker(dir, name, &info)) return true;
    }
    return false;
}

void TakeLatest(const BY_HANDLE_FILE_INFORMATION& info, uint64_t* latest) {
    for (const FILETIME& time : {info.ftCreationTime, info.ftLastWriteTime}) {
        const uint64_t value = FileTimeValue(time);
        if (value > *latest) *latest = value;
    }
}

// The directory's own times and those of its marker files count: copying a
// version in refreshes the markers even where the directory keeps its time.
bool IsDirectoryOldEnough(HANDLE dir, const BY_HANDLE_FILE_INFORMATION& dirInfo, uint64_t now) {
    uint64_t latest = 0;
    TakeLatest(dirInfo, &latest);
    if (latest == 0) return false;
    for (const wchar_t* name : kMarkerFiles) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (OpenMarker(dir, name, &info)) TakeLatest(info, &latest);
    }
    return IsOldEnough(latest, now);
}

struct ProbeOutcome {
    bool inUse = false;
    std::vector<std::wstring> files;     // stops at 65 entries
    std::vector<std::wstring> binaries;  // every binary
};

bool OpensExclusively(HANDLE dir, const std::wstring& name, ACCESS_MASK access, NtStatus* status,
                      BY_HANDLE_FILE_INFORMATION* info) {
    OpenedHandle exclusive = OpenChildNoFollow(dir, name, access, 0, kNonDirectoryFile);
    *status = exclusive.status;
    if (!exclusive.handle) return false;
    return info == nullptr || GetFileIdentity(exclusive.handle.get(), nullptr, info);
}

// Proves that nobody holds the file open: an exclusive open succeeds. The
// handle is closed at once.
bool ProbeFileIsFree(HANDLE dir, const std::wstring& name, DWORD attributes) {
    NtStatus status = kStatusSuccess;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        if (OpensExclusively(dir, name, DeleteOnlyFile.access, &status, nullptr)) return true;
        if (status != kStatusCannotDelete && status != kStatusAccessDenied) return false;
        return OpensExclusively(dir, name, ReadFileRel.access, &status, nullptr);
    }
    BY_HANDLE_FILE_INFORMATION info{};
    return OpensExclusively(dir, name, kExclusiveProbeAccess, &status, &info) && IsRegularSingleLinkFile(info);
}

bool ProbeDeletable(HANDLE dir, const std::wstring& dirPath, int depth, ProbeOutcome* outcome);

bool ProbeEntry(HANDLE dir, const std::wstring& dirPath, const DirEntry& entry, int depth, ProbeOutcome* outcome) {
    if (IsReparsePoint(entry.attributes)) return false;
    const std::wstring path = dirPath + L"\\" + entry.name;
    if (IsDirectory(entry.attributes)) {
        // Opened for deletion as well as for listing: a process sitting in
        // the folder (its current directory) shares it without delete, and
        // would otherwise only show up half-way through the deletion.
        OpenedHandle child = OpenChildNoFollow(dir, entry.name, DeleteDir);
        if (!child.handle) {
            if (IsInUseStatus(child.status)) outcome->inUse = true;
            return false;
        }
        return ProbeDeletable(child.handle.get(), path, depth + 1, outcome);
    }
    OpenedHandle file = OpenChildNoFollow(dir, entry.name, ProbeFile);
    if (!file.handle) {
        if (IsInUseStatus(file.status)) outcome->inUse = true;
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileIdentity(file.handle.get(), nullptr, &info) || !IsRegularSingleLinkFile(info)) return false;
    file.handle.reset();
    if (!ProbeFileIsFree(dir, entry.name, info.dwFileAttributes)) {
        outcome->inUse = true;
        return false;
    }
    if (outcome->files.size() <= kMaxRegisteredFiles) outcome->files.push_back(path);
    if (HasBinaryExtension(entry.name)) outcome->binaries.push_back(path);
    return true;
}

bool ProbeDeletable(HANDLE dir, const std::wstring& dirPath, int depth, ProbeOutcome* outcome) {
    if (depth > kMaxProbeDepth) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileIdentity(dir, nullptr, &info)) return false;
    if (!IsDirectory(info.dwFileAttributes) || IsReparsePoint(info.dwFileAttributes)) return false;
    std::vector<DirEntry> entries;
    if (!ListDirectoryNoFollow(dir, &entries)) return false;
    for (const DirEntry& entry : entries) {
        if (!ProbeEntry(dir, dirPath, entry, depth, outcome)) return false;
    }
    return true;
}

// --- The scan ---

struct ScanContext {
    HANDLE base = nullptr;
    std::wstring basePath;
    FileIdentity baseIdentity;
    ProtectedSets protectedSets;
    std::wstring userDataDir;
    uint64_t now = 0;
};

bool HasSameLockedBase(const GcBaseLock& lock, const FileIdentity& baseIdentity) {
    return lock.IsHeld() && !IsNoneHandle(lock.LockHandle()) && lock.BaseIdentity() == baseIdentity;
}

bool BuildProtectedSets(const std::vector<std::wstring>& protectedList, ScanContext* context) {
    for (const std::wstring& path : protectedList) {
        if (TrimPath(path).empty()) continue;
        const std::wstring normalized = NormalizePath(path);
        if (normalized.empty()) return false;
        context->protectedSets.paths.insert(LowerInvariant(normalized));
        if (!WalkAncestors(normalized, context->baseIdentity, true, &context->protectedSets)) return false;
    }
    return true;
}

// Renames the directory out of the version-name space first, so a deletion
// that stops half-way leaves a name no later run will ever touch.
void DeleteCandidate(const std::wstring& name, const FileIdentity& checkedIdentity, OpenedHandle* firstHandle,
                     const ScanContext& context, GcResult* result) {
    OpenedHandle deleter = OpenChildNoFollow(context.base, name, DeleteDir);
    if (!deleter.handle) {
        ++result->locked;
        return;
    }
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileIdentity(deleter.handle.get(), &identity, &info) || !IsDirectory(info.dwFileAttributes) ||
        IsReparsePoint(info.dwFileAttributes) || identity != checkedIdentity) {
        ++result->unsafe;
        return;
    }
    firstHandle->handle.reset();
    if (!RenameRelative(deleter.handle.get(), context.base, name + kDeletePendingInfix + RandomHexToken())) {
        ++result->locked;
        return;
    }
    if (DeleteTreeRelative(deleter.handle.get(), 0)) ++result->deleted;
}

void JudgeEntry(const DirEntry& entry, const ScanContext& context, GcResult* result) {
    if (!IsDirectory(entry.attributes) || PathEquals(entry.name, kGcLockFileName)) return;
    if (IsReparsePoint(entry.attributes)) {
        ++result->unsafe;
        return;
    }
    if (!IsVersionDirectoryName(entry.name)) {
        ++result->invalid;
        return;
    }
    OpenedHandle dir = OpenChildNoFollow(context.base, entry.name, ListDir);
    if (!dir.handle) return;
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileIdentity(dir.handle.get(), &identity, &info)) {
        ++result->unsafe;
        return;
    }
    if (!IsDirectory(info.dwFileAttributes)) return;
    if (IsReparsePoint(info.dwFileAttributes)) {
        ++result->unsafe;
        return;
    }
    const std::wstring path = context.basePath + L"\\" + entry.name;
    if (context.protectedSets.identities.count(identity) != 0 || IsProtectedByPath(path, context.protectedSets)) {
        ++result->protectedDirs;
        return;
    }
    if (!HasMarkerFile(dir.handle.get())) {
        ++result->invalid;
        return;
    }
    if (!IsDirectoryOldEnough(dir.handle.get(), info, context.now)) {
        ++result->recent;
        return;
    }
    ProbeOutcome probe;
    if (!ProbeDeletable(dir.handle.get(), path, 0, &probe)) {
        if (probe.inUse) {
            ++result->locked;
        } else {
            ++result->unsafe;
        }
        return;
    }
    if (!FilesNotInUse(probe.files.size() <= kMaxRegisteredFiles ? probe.files : probe.binaries)) {
        ++result->locked;
        return;
    }
    if (!MigrateUserFiles(dir.handle.get(), context.userDataDir)) {
        ++result->migFail;
        return;
    }
    DeleteCandidate(entry.name, identity, &dir, context, result);
}

void Scan(const std::wstring& basePath, const std::vector<std::wstring>& protectedList,
          const std::wstring& userDataDir, const GcBaseLock* lock, uint64_t now, GcResult* result) {
    ScanContext context;
    context.now = now;
    context.basePath = NormalizePath(basePath);
    if (context.basePath.empty()) {
        result->parentGateSkip = true;
        return;
    }
    bool aclRejected = false;
    UniqueNtHandle base = OpenInstallBaseSafely(context.basePath, true, &aclRejected);
    if (!base) {
        result->parentGateSkip = true;
        result->sharedAcl = aclRejected;
        return;
    }
    if (!GetFileIdentity(base.get(), &context.baseIdentity)) {
        result->parentGateSkip = true;
        return;
    }
    context.base = base.get();
    OpenedHandle ownLock;  // only when the caller holds none
    if (lock != nullptr) {
        if (!HasSameLockedBase(*lock, context.baseIdentity)) {
            result->lockBusy = true;
            return;
        }
    } else {
        ownLock = OpenGcLockFile(base.get());
        if (!ownLock.handle) {
            result->lockBusy = true;
            return;
        }
    }
    if (!BuildProtectedSets(protectedList, &context)) {
        result->protAbort = true;
        return;
    }
    std::vector<DirEntry> entries;
    if (!ListDirectoryNoFollow(base.get(), &entries)) return;
    context.userDataDir = userDataDir;
    for (const DirEntry& entry : entries) JudgeEntry(entry, context, result);
}

}  // namespace

GcResult CollectOldVersions(const std::wstring& basePath, const RegisteredDirectories& registered,
                            const std::vector<std::wstring>& protectedPaths, const std::wstring& userDataDir,
                            const GcBaseLock* lock) {
    GcResult result;
    if (registered.malformed) {
        result.protAbort = true;
        WriteLog("old-version gc aborted: malformed non-empty registry protected path");
        return result;
    }
    std::vector<std::wstring> protectedList = registered.directories;
    for (const std::wstring& path : protectedPaths) {
        if (!path.empty()) protectedList.push_back(path);
    }
    const std::wstring executableDirectory = RunningExecutableDirectory();
    if (!executableDirectory.empty()) protectedList.push_back(executableDirectory);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    Scan(basePath, protectedList, userDataDir, lock, FileTimeValue(now), &result);
    WriteLog(FormatGcSummary(result));
    return result;
}

}  // namespace quilmo
