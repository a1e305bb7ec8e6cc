#include "files/gc_base_lock.h"

namespace quilmo {

const wchar_t kGcLockFileName[] = L".qm_gc.lock";

namespace {

constexpr ACCESS_MASK kLockAccess = 0x00100183;  // SYNCHRONIZE, attributes and data, read and write
constexpr ULONG kLockOptions = 0x00200060;       // not a directory, synchronous, never through a link
constexpr ULONG kLockAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NORMAL;

bool IsPlainFile(HANDLE file) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileIdentity(file, &identity, &info)) return false;
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace

OpenedHandle OpenGcLockFile(HANDLE baseDirectory) {
    OpenedHandle lock = NtOpenRelative(baseDirectory, kGcLockFileName, kLockAccess, 0, kDispositionOpenIf, kLockOptions,
                                       kLockAttributes);
    if (lock.handle && !IsPlainFile(lock.handle.get())) lock.handle.reset();
    return lock;
}

bool GcBaseLock::TryAcquire(const std::wstring& basePath) {
    Release();
    bool aclRejected = false;
    UniqueNtHandle base = OpenInstallBaseSafely(basePath, false, &aclRejected);
    if (!base) return false;
    FileIdentity identity;
    if (!GetFileIdentity(base.get(), &identity)) return false;
    OpenedHandle lock = OpenGcLockFile(base.get());
    if (!lock.handle) return false;
    lockFile_ = std::move(lock.handle);
    baseIdentity_ = identity;
    held_ = true;
    return true;
}

bool GcBaseLock::IsHeld() const { return held_ && lockFile_.valid() && !IsNoneHandle(lockFile_.get()); }

void GcBaseLock::Release() {
    lockFile_.reset();
    baseIdentity_ = FileIdentity{};
    held_ = false;
}

}  // namespace quilmo
