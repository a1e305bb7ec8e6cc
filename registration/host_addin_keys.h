// What makes Office and WPS load the add-in once its classes are registered:
// Office's per-application "Addins" key named by the ProgID, and WPS's
// per-application allow-list "AddinsWL" with one value per ProgID. Only the
// three document classes have them; the task-pane host has neither.
//
// Each operation works at one location (hive, key-path root, view flag);
// every key is created with KEY_WRITE | view.
#pragma once

#include <windows.h>

#include <string>

namespace quilmo {

// For Word, Excel and PowerPoint in table order: "FriendlyName",
// "Description" (REG_SZ), "LoadBehavior" 3 and "CommandLineSafe" 1
// (REG_DWORD), one create-set-close each. Stops at the first failure.
bool WriteOfficeAddinKeys(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& friendlyName,
                          const std::wstring& description);

// Deletes the three Office add-in keys with everything below them; every
// deletion is attempted, ok when all succeed.
bool RemoveOfficeAddinKeys(HKEY hive, const std::wstring& root, REGSAM view);

// One empty REG_SZ value named by the ProgID in the WPS, ET and WPP
// allow-lists. Stops at the first failure.
bool WriteWpsAllowList(HKEY hive, const std::wstring& root, REGSAM view);

// Deletes only the add-in's own allow-list values; other values and the
// "AddinsWL" keys themselves stay. Every deletion attempted.
bool RemoveWpsAllowList(HKEY hive, const std::wstring& root, REGSAM view);

}  // namespace quilmo
