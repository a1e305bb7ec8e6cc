#include "support/scratch_dir.h"

#include <aclapi.h>

#include "files/path_text.h"

#include <atomic>
#include <string>

namespace quilmo {
namespace testing_support {

namespace {

std::wstring UniqueScratchName() {
    static std::atomic<unsigned> counter{0};
    return L"qm-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) + L"-" +
           std::to_wstring(++counter);
}

void SnapshotInto(const std::wstring& root, const std::wstring& relative, std::map<std::wstring, std::string>* out) {
    const std::wstring here = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW((here + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        const std::string attributes = std::to_string(entry.dwFileAttributes);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*out)[child] = "dir " + attributes;
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) SnapshotInto(root, child, out);
        } else {
            (*out)[child] = "file " + attributes + " " + ReadBytes(root + L"\\" + child);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

}  // namespace

ScratchDir::ScratchDir() {
    wchar_t temp[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp, length);
    while (!base.empty() && base.back() == L'\\') base.pop_back();
    path_ = base + L"\\" + UniqueScratchName();
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDir::~ScratchDir() { RemoveTree(path_); }

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return bytes.empty() ||
           (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size());
}

std::string ReadBytes(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return "<missing>";
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(ToLongPathForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDir(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != FALSE; }

std::wstring MakeDirectories(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

UniqueFile OpenDirectory(const std::wstring& path, DWORD access) {
    return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

std::map<std::wstring, std::string> Snapshot(const std::wstring& root) {
    std::map<std::wstring, std::string> out;
    SnapshotInto(root, L"", &out);
    return out;
}

std::map<std::wstring, DWORD> ListNames(const std::wstring& dir) {
    std::map<std::wstring, DWORD> names;
    WIN32_FIND_DATAW entry{};
    HANDLE find = FindFirstFileW(ToLongPathForm(dir + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names[name] = entry.dwFileAttributes;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

void RemoveTree(const std::wstring& path) {
    const std::wstring longPath = ToLongPathForm(path);
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(longPath.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        for (const auto& entry : ListNames(path)) RemoveTree(path + L"\\" + entry.first);
    }
    RemoveDirectoryW(longPath.c_str());
}

bool GrantEveryone(const std::wstring& path, DWORD rights) {
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = rights;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = const_cast<wchar_t*>(L"EVERYONE");
    PACL acl = nullptr;
    if (SetEntriesInAclW(1, &access, nullptr, &acl) != ERROR_SUCCESS) return false;
    UniqueLocalMemory owner(acl);
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, acl, nullptr) == ERROR_SUCCESS;
}

}  // namespace testing_support
}  // namespace quilmo
