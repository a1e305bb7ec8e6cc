#include "probes/host_processes.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>

#include "files/unique_handle.h"

namespace quilmo {

const wchar_t* const kHostProcessNames[kHostProcessNameCount] = {
    L"WINWORD.EXE", L"EXCEL.EXE",    L"POWERPNT.EXE", L"WPS.EXE",          L"ET.EXE",      L"WPP.EXE",
    L"QUILMOSERVICE.EXE", L"QUILMO.EXE", L"QMPROMPT.EXE", L"REDizurAdadi.exe", L"RIRAROR.exe",
};

namespace {

// Calls visit for every process of the system snapshot until it returns false.
template <typename Visit>
void ForEachProcess(Visit visit) {
    // Failure is INVALID_HANDLE_VALUE, as with files.
    UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (!visit(entry)) return;
    }
}

}  // namespace

bool IsHostProcessName(const std::wstring& exeName) {
    for (const wchar_t* name : kHostProcessNames) {
        if (_wcsicmp(exeName.c_str(), name) == 0) return true;
    }
    return false;
}

bool IsAnyHostProcessRunning() {
    bool found = false;
    ForEachProcess([&](const PROCESSENTRY32W& entry) {
        found = IsHostProcessName(entry.szExeFile);
        return !found;
    });
    return found;
}

void TerminateHostProcesses() {
    ForEachProcess([](const PROCESSENTRY32W& entry) {
        if (IsHostProcessName(entry.szExeFile)) {
            // Other users' and protected processes cannot be opened: left running.
            UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
            if (process) TerminateProcess(process.get(), 0);
        }
        return true;
    });
}

}  // namespace quilmo
