// The choice of another install base directory through the "更改 >" link,
// and the test that an ordinary (non-elevated) user could write there.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>

namespace quilmo {

extern const wchar_t kInstallSubfolder[];  // "\Quilmo2025", appended to the chosen folder

// Shows the folder picker and, for a usable folder, makes its "\Quilmo2025"
// sub-folder the base, target and displayed path; refusals show their box.
void ChooseInstallDirectory(HWND owner);

// True when a standard user (the Administrators group disabled) may add
// files and folders to the directory or to its nearest existing ancestor;
// the directory then exists.
bool IsDirectoryUsableByStandardUser(const std::wstring& directory);

// The directory whose security decides: the path itself when it exists,
// else the nearest existing ancestor. Nothing when the walk runs out of
// separators or reaches one of the first three characters (a share or a
// bare drive).
std::optional<std::wstring> NearestExistingAncestor(std::wstring path,
                                                    const std::function<bool(const std::wstring&)>& exists);

// The base path for a chosen folder: folder, "\Quilmo2025" and one trailing
// backslash (UTF-8).
std::string BasePathForChosenFolder(const std::string& folder);

}  // namespace quilmo
