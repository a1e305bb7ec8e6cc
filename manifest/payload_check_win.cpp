// The disk facts the payload rules need, read from the version directory.
#include <windows.h>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/payload_check.h"

namespace quilmo {

namespace {

bool IsPlainFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

PayloadCheck ClassifyPayload(const std::vector<std::string>& manifestPaths, const std::wstring& targetDir,
                             bool is64BitWindows, const std::vector<std::string>& failedPaths, bool net48Installed) {
    std::wstring directory = targetDir;
    if (directory.empty() || directory.back() != L'\\') directory += L'\\';
    FileOnDiskFn fileOnDisk = [&directory](const std::string& fileName) {
        return IsPlainFile(directory + Utf8ToWide(fileName));
    };
    return ClassifyPayloadWith(manifestPaths, fileOnDisk, is64BitWindows, failedPaths, net48Installed);
}

bool PeMachineMatches(const std::wstring& path, uint16_t machine) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    ReadAtFn readAt = [&file](uint32_t offset, size_t count, unsigned char* out) {
        LARGE_INTEGER position;
        position.QuadPart = offset;
        if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN)) return false;
        DWORD read = 0;
        return ReadFile(file.get(), out, static_cast<DWORD>(count), &read, nullptr) && read == count;
    };
    return PeMachineMatchesWith(readAt, machine);
}

}  // namespace quilmo
