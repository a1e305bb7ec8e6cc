/* Stands in for ngen.exe where the installer looks for the native image
   generators. It appends its command line (UTF-16, one per line) to the file
   named by QM_FAKE_NGEN_RECORD, then follows the first rule of
   QM_FAKE_NGEN_RULES whose text occurs in the command line. Rules are
   "text=exit:N" (end with code N) or "text=hold" (stay until the event named
   by QM_FAKE_NGEN_RELEASE is set, at most a minute), separated by ';'.
   Without a matching rule it ends with 0. */
#include <windows.h>
#include <wchar.h>

static void Record(const wchar_t* commandLine) {
    wchar_t path[1024];
    if (!GetEnvironmentVariableW(L"QM_FAKE_NGEN_RECORD", path, 1024)) return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, commandLine, (DWORD)(wcslen(commandLine) * sizeof(wchar_t)), &written, NULL);
    WriteFile(file, L"\n", sizeof(wchar_t), &written, NULL);
    CloseHandle(file);
}

static int Hold(void) {
    wchar_t name[256];
    if (!GetEnvironmentVariableW(L"QM_FAKE_NGEN_RELEASE", name, 256)) return 0;
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, name);
    if (release != NULL) WaitForSingleObject(release, 60000);
    return 0;
}

int wmain(void) {
    const wchar_t* commandLine = GetCommandLineW();
    Record(commandLine);
    static wchar_t rules[4096];
    if (!GetEnvironmentVariableW(L"QM_FAKE_NGEN_RULES", rules, 4096)) return 0;
    wchar_t* context = NULL;
    for (wchar_t* rule = wcstok_s(rules, L";", &context); rule != NULL; rule = wcstok_s(NULL, L";", &context)) {
        wchar_t* action = wcschr(rule, L'=');
        if (action == NULL) continue;
        *action++ = L'\0';
        if (wcsstr(commandLine, rule) == NULL) continue;
        if (wcscmp(action, L"hold") == 0) return Hold();
        if (wcsncmp(action, L"exit:", 5) == 0) return (int)wcstol(action + 5, NULL, 10);
    }
    return 0;
}
