// The inter-process lock of an install base directory: ".qm_gc.lock" held
// open without sharing, so that two installers never stage or collect old
// versions in the same base at once. Holding the handle is holding the lock.
#pragma once

#include <string>

#include "files/file_handles.h"

namespace quilmo {

extern const wchar_t kGcLockFileName[];  // ".qm_gc.lock"

// The lock file's open: read and write data and attributes, no sharing,
// created when missing, hidden, never through a link.
OpenedHandle OpenGcLockFile(HANDLE baseDirectory);

class GcBaseLock {
public:
    GcBaseLock() = default;
    ~GcBaseLock() { Release(); }
    GcBaseLock(const GcBaseLock&) = delete;
    GcBaseLock& operator=(const GcBaseLock&) = delete;

    // Takes the lock without waiting; false when the base fails its safety
    // checks or another process holds the lock.
    bool TryAcquire(const std::wstring& basePath);
    bool IsHeld() const;
    void Release();

    // The identity of the base directory the lock was taken in.
    const FileIdentity& BaseIdentity() const { return baseIdentity_; }
    HANDLE LockHandle() const { return lockFile_.get(); }

private:
    UniqueNtHandle lockFile_;
    FileIdentity baseIdentity_{};
    bool held_ = false;
};

}  // namespace quilmo
