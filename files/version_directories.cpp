#include "files/version_directories.h"

#include "files/file_handles.h"
#include "files/path_text.h"
#include "files/text_encoding.h"
#include "manifest/sha256.h"
#include "startup/paths.h"

#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace quilmo {

namespace {

constexpr int kSuffixAttempts = 20;
constexpr DWORD kCopyBlock = 65536;
const wchar_t* const kUserFileNames[] = {L"config.ini", L"Cookie.dat", L"WebViewScripts.json"};
constexpr NtStatus kStatusFileIsADirectory = static_cast<NtStatus>(0xC00000BA);

std::atomic<CreateDirectoryFn> directoryCreator{&::CreateDirectoryW};

// A version names exactly one directory below the base: no separators, no
// drive or stream colons, nothing Windows would silently trim.
bool IsSingleDirectoryName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    if (name.back() == L'.' || name.back() == L' ') return false;
    for (wchar_t c : name) {
        if (c < 32 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) return false;
    }
    return true;
}

std::wstring RandomSuffix() {
    wchar_t suffix[16] = {};
    std::swprintf(suffix, 16, L"_%08x", static_cast<unsigned>(std::rand()) ^ static_cast<unsigned>(GetTickCount()));
    return suffix;
}

bool CreateOne(const std::wstring& path) { return directoryCreator.load()(path.c_str(), nullptr) != FALSE; }

bool IsDirectoryEntry(const WIN32_FIND_DATAW& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

struct FileCopy {
    std::wstring from;
    std::wstring to;
};

// Where the files of a tree go: copied at once, one by one, or collected for
// the copying threads.
using FileCopies = std::vector<FileCopy>;

bool CopyTree(const std::wstring& source, const std::wstring& destination, FileCopies* collected);

void CopyEntry(const WIN32_FIND_DATAW& entry, const std::wstring& source, const std::wstring& destination,
               FileCopies* collected) {
    const std::wstring from = source + L"\\" + entry.cFileName;
    const std::wstring to = destination + L"\\" + entry.cFileName;
    if (!IsDirectoryEntry(entry)) {
        SHCreateDirectoryExW(nullptr, destination.c_str(), nullptr);
        if (collected != nullptr) {
            collected->push_back({from, to});
        } else {
            CopyFileW(from.c_str(), to.c_str(), FALSE);  // a file that fails is fetched again later
        }
        return;
    }
    // A linked directory may lead back into the tree or out of it: never
    // entered, its files are downloaded instead.
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
    if (SamePath(from, destination) || IsStrictlyInside(from, destination)) return;
    CopyTree(from, to, collected);
}

bool CopyTree(const std::wstring& sourceIn, const std::wstring& destinationIn, FileCopies* collected) {
    const std::wstring source = WithoutTrailingSeparators(sourceIn);
    const std::wstring destination = WithoutTrailingSeparators(destinationIn);
    if (source.empty() || destination.empty()) return false;
    if (SamePath(source, destination)) return true;
    if (IsStrictlyInside(destination, source)) return false;
    if (GetFileAttributesW(source.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    SHCreateDirectoryExW(nullptr, destination.c_str(), nullptr);
    WIN32_FIND_DATAW entry{};
    HANDLE rawFind = FindFirstFileW((source + L"\\*").c_str(), &entry);
    if (rawFind == INVALID_HANDLE_VALUE) return false;
    struct FindCloser {
        HANDLE h;
        ~FindCloser() { FindClose(h); }
    } closer{rawFind};
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") CopyEntry(entry, source, destination, collected);
    } while (FindNextFileW(rawFind, &entry));
    return true;
}

constexpr DWORD kHashedCopyBlock = 256 * 1024;

// Copies one file and hashes the very bytes it writes. The destination is
// opened for this process alone (others may only read it) and stays so in
// the table; a copy that fails midway is removed, so the check downloads it.
void CopyAndHash(const FileCopy& job, std::vector<unsigned char>& buffer, CopiedFiles& copied) {
    UniqueFile source(CreateFileW(job.from.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) return;
    UniqueFile target(CreateFileW(job.to.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) return;
    Sha256Hash sha;
    for (;;) {
        DWORD read = 0;
        DWORD written = 0;
        bool ok = ReadFile(source.get(), buffer.data(), kHashedCopyBlock, &read, nullptr) != FALSE;
        if (ok && read == 0) break;
        ok = ok && WriteFile(target.get(), buffer.data(), read, &written, nullptr) && written == read;
        if (!ok) {
            target.reset();
            DeleteFileW(job.to.c_str());
            return;
        }
        sha.Add(buffer.data(), read);
    }
    std::string digest = sha.Finish();
    if (!digest.empty()) copied.Record(job.to, digest, std::move(target));
}

size_t CopyThreadCount(size_t files) {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    size_t processors = info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors;
    size_t count = processors < 4 ? processors : 4;
    return count < files ? count : files;
}

// The collected files, shared out between a few threads (reading, hashing
// and writing overlap that way); the calling thread copies too.
void CopyCollected(const FileCopies& jobs, CopiedFiles& copied) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        std::vector<unsigned char> buffer(kHashedCopyBlock);
        for (size_t i = next++; i < jobs.size(); i = next++) CopyAndHash(jobs[i], buffer, copied);
    };
    std::vector<std::thread> helpers;
    for (size_t i = 1; i < CopyThreadCount(jobs.size()); ++i) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads, same result
        }
    }
    work();
    for (std::thread& helper : helpers) helper.join();
}

bool IsPresent(const std::wstring& path) {
    return GetFileAttributesW(ToLongPathForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void DeleteTemporary(const std::wstring& path) { DeleteFileW(ToLongPathForm(path).c_str()); }

// Copies the rest of source into target; true when exactly expectedSize
// bytes arrived and reached the disk.
bool CopyContent(HANDLE source, HANDLE target, uint64_t expectedSize) {
    std::vector<unsigned char> storage(kCopyBlock + 32);
    const uintptr_t address = reinterpret_cast<uintptr_t>(storage.data());
    unsigned char* buffer = storage.data() + ((32 - (address % 32)) % 32);
    uint64_t copied = 0;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source, buffer, kCopyBlock, &read, nullptr)) return false;
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(target, buffer, read, &written, nullptr) || written != read) return false;
        copied += read;
    }
    return copied == expectedSize && FlushFileBuffers(target);
}

bool IsLeaf(const std::wstring& name) {
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"\\/") == std::wstring::npos;
}

uint64_t FileSize(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// The migration makes the data directory once, for the first file found.
bool PrepareDataDirectory(const std::wstring& userDataDir, std::wstring* prepared) {
    if (!prepared->empty()) return true;
    const std::wstring normalized = NormalizePath(userDataDir);
    if (normalized.empty() || !EnsureDirectory(normalized)) return false;
    *prepared = normalized;
    return true;
}

}  // namespace

ScopedDirectoryCreator::ScopedDirectoryCreator(CreateDirectoryFn create)
    : previous_(directoryCreator.exchange(create)) {}
ScopedDirectoryCreator::~ScopedDirectoryCreator() { directoryCreator.store(previous_); }

std::string AllocateTargetDirectory(const std::string& basePath, const std::string& version, bool unique) {
    std::wstring base = basePath.empty() ? ProductDataFolder() : Utf8ToWide(basePath);
    if (base.empty()) return std::string();
    if (base.back() != L'\\' && base.back() != L'/') base += L'\\';
    const std::wstring name = version.empty() ? L"unknown" : Utf8ToWide(version);
    if (!IsSingleDirectoryName(name)) return std::string();
    const std::wstring plain = base + name;
    if (!unique) return WideToUtf8(plain + L"\\");
    SHCreateDirectoryExW(nullptr, base.c_str(), nullptr);  // a failure shows in the creations below
    if (CreateOne(WithoutTrailingSeparators(plain))) return WideToUtf8(plain + L"\\");
    for (int attempt = 0; attempt < kSuffixAttempts; ++attempt) {
        const std::wstring candidate = plain + RandomSuffix();
        if (CreateOne(candidate)) return WideToUtf8(candidate + L"\\");
    }
    return std::string();
}

std::wstring CopiedFiles::Key(const std::wstring& path) {
    std::wstring key = path;
    for (wchar_t& c : key) c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(c));
    return key;
}

bool CopiedFiles::Record(const std::wstring& path, const std::string& sha256, UniqueFile written) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.size() >= kMaxHeld) return false;
    return files_.emplace(Key(path), Held{sha256, std::move(written)}).second;
}

std::string CopiedFiles::DigestOf(const std::wstring& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = files_.find(Key(path));
    return found == files_.end() ? std::string() : found->second.sha256;
}

size_t CopiedFiles::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.size();
}

void CopiedFiles::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    files_.clear();
}

bool CopyPreviousVersion(const std::wstring& source, const std::wstring& destination, CopiedFiles* copied) {
    if (copied == nullptr) return CopyTree(source, destination, nullptr);
    FileCopies jobs;
    const bool listed = CopyTree(source, destination, &jobs);
    CopyCollected(jobs, *copied);
    return listed;
}

bool IsUsableExistingFile(const std::wstring& path, uint64_t expectedSize) {
    if (path.empty()) return false;
    UniqueFile file(CreateFileW(ToLongPathForm(path).c_str(), FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !GetFileInformationByHandle(file.get(), &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
    return FileSize(info) > 0 || expectedSize == 0;
}

bool CopyFileAtomically(HANDLE source, const std::wstring& directory, uint64_t expectedSize,
                        const std::wstring& leafName, const std::wstring& finalPath) {
    if (IsNoneHandle(source) || directory.empty() || !IsLeaf(leafName) || finalPath.empty()) return false;
    const std::wstring temporary = JoinPath(directory, leafName + L".__qmmig_" + RandomHexToken() + L".tmp");
    UniqueFile target(CreateFileW(ToLongPathForm(temporary).c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!target) return false;
    const bool copied = CopyContent(source, target.get(), expectedSize);
    target.reset();
    if (!copied) {
        DeleteTemporary(temporary);
        return false;
    }
    if (MoveFileExW(ToLongPathForm(temporary).c_str(), ToLongPathForm(finalPath).c_str(), 0)) return true;
    const DWORD error = GetLastError();
    DeleteTemporary(temporary);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        return IsUsableExistingFile(finalPath, expectedSize);  // it appeared in the meantime
    }
    return false;
}

bool MigrateUserFiles(HANDLE versionDir, const std::wstring& userDataDir) {
    if (IsNoneHandle(versionDir)) return false;
    std::wstring dataDir;
    for (const wchar_t* name : kUserFileNames) {
        OpenedHandle source = OpenChildNoFollow(versionDir, name, ReadFileRel);
        if (!source.handle) {
            if (source.status == kStatusObjectNameNotFound || source.status == kStatusObjectPathNotFound ||
                source.status == kStatusFileIsADirectory) {
                continue;  // absent, or a directory of that name: nothing of the user's
            }
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!GetFileIdentity(source.handle.get(), nullptr, &info)) return false;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        if (!PrepareDataDirectory(userDataDir, &dataDir)) return false;
        const std::wstring destination = dataDir + L"\\" + name;
        if (IsUsableExistingFile(destination, FileSize(info))) continue;
        if (IsPresent(destination)) return false;  // never replaced
        if (!CopyFileAtomically(source.handle.get(), dataDir, FileSize(info), name, destination)) return false;
    }
    return true;
}

std::wstring UserDataDirectory() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData)) || appData[0] == 0) {
        return std::wstring();
    }
    return std::wstring(appData) + L"\\quilmostudio\\Quilmo";
}

}  // namespace quilmo
