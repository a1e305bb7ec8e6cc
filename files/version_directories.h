// One directory per installed version below the install base: allocating
// the next one, seeding it with the previous version's files, and carrying
// the user's own files out of an old version before it is deleted.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "files/unique_handle.h"

namespace quilmo {

// The base (UTF-8; empty: the per-user default base) plus the version's
// directory name ("unknown" for an empty version), ending with '\'. With
// unique true the directory is created, under a "_%08x" suffix when the
// plain name cannot be; "" when 21 creations failed or the version is no
// single directory name.
std::string AllocateTargetDirectory(const std::string& basePath, const std::string& version, bool unique);

// What a copy of the previous version learned about each file it wrote:
// the SHA-256 of exactly the bytes written, with the file kept open so that
// nobody can write, replace, rename or delete it until the check has used
// that digest. Files are known by their full path, without regard to case.
class CopiedFiles {
public:
    // Beyond this many files the rest are hashed again from disk rather
    // than each holding a handle.
    static constexpr size_t kMaxHeld = 4096;

    // Takes over the written file's handle; false (and the handle closed)
    // when the table is full or the path is already known.
    bool Record(const std::wstring& path, const std::string& sha256, UniqueFile written);
    // The digest of the file this copy wrote at path, or "" when it did not.
    std::string DigestOf(const std::wstring& path) const;
    size_t Count() const;
    // Closes every held file; the digests are forgotten with them.
    void Release();

private:
    struct Held {
        std::string sha256;
        UniqueFile file;
    };
    static std::wstring Key(const std::wstring& path);
    mutable std::mutex mutex_;
    std::map<std::wstring, Held> files_;
};

// Copies the previous version's tree into destination, overwriting; true
// when the source was listed, false when nothing was done. With copied, the
// files are copied on several threads and each one's digest is recorded
// from the bytes written.
bool CopyPreviousVersion(const std::wstring& source, const std::wstring& destination,
                         CopiedFiles* copied = nullptr);

// Copies "config.ini", "Cookie.dat" and "WebViewScripts.json" that the old
// version directory holds into userDataDir, never replacing anything there.
bool MigrateUserFiles(HANDLE versionDir, const std::wstring& userDataDir);

// Copies source (from its current position) to finalPath = directory\leafName
// through a temporary file and a rename that never replaces.
bool CopyFileAtomically(HANDLE source, const std::wstring& directory, uint64_t expectedSize,
                        const std::wstring& leafName, const std::wstring& finalPath);

// path is a regular file (no link) that is non-empty, or empty as expected.
bool IsUsableExistingFile(const std::wstring& path, uint64_t expectedSize);

// The roaming application-data folder followed by "\quilmostudio\Quilmo";
// "" when the folder is unknown.
std::wstring UserDataDirectory();

// The directory creation used by AllocateTargetDirectory, replaceable by
// tests for the lifetime of the object.
using CreateDirectoryFn = BOOL(WINAPI*)(LPCWSTR, LPSECURITY_ATTRIBUTES);
class ScopedDirectoryCreator {
public:
    explicit ScopedDirectoryCreator(CreateDirectoryFn create);
    ~ScopedDirectoryCreator();
    ScopedDirectoryCreator(const ScopedDirectoryCreator&) = delete;
    ScopedDirectoryCreator& operator=(const ScopedDirectoryCreator&) = delete;

private:
    CreateDirectoryFn previous_;
};

}  // namespace quilmo
