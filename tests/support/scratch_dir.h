// A scratch directory below the prefix's temporary folder, removed with
// everything in it when the test ends, plus small file helpers.
#pragma once

#include <windows.h>

#include "files/unique_handle.h"

#include <map>
#include <string>

namespace quilmo {
namespace testing_support {

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

private:
    std::wstring path_;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes);

// Gives Everyone the rights on the file or directory, replacing its access
// list: a folder other users may write into.
bool GrantEveryone(const std::wstring& path, DWORD rights);

std::string ReadBytes(const std::wstring& path);  // "<missing>" when it cannot be read
bool Exists(const std::wstring& path);
bool MakeDir(const std::wstring& path);
// Creates the directory and any missing parents; returns the path.
std::wstring MakeDirectories(const std::wstring& path);

// An open directory handle usable as the parent of relative opens.
UniqueFile OpenDirectory(const std::wstring& path, DWORD access = GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES);

// Relative path -> attributes and content of every file and directory below root.
std::map<std::wstring, std::string> Snapshot(const std::wstring& root);

// Removes a tree by path, clearing read-only first; for cleanup only.
void RemoveTree(const std::wstring& path);

// Names of the entries of a directory, sorted.
std::map<std::wstring, DWORD> ListNames(const std::wstring& dir);

}  // namespace testing_support
}  // namespace quilmo
