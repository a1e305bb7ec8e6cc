/* A stand-in for Microsoft's .NET Framework 4.8 and WebView2 bootstrappers,
 * signed at test time (make_fake_bootstrappers.sh). The installer starts it
 * under the bootstrapper's file name; the script file
 * "%ProgramData%\quilmo-fake-bootstrapper.ini" tells it what to do, one
 * "key=value" a line:
 *
 *   record=PATH      append what it saw: its image, command line, current
 *                    directory and that directory's DACL in SDDL
 *   release=N        write the .NET "Release" value N (64-bit view)
 *   webview2=VER     register runtime VER with the Edge updater (32-bit view)
 *                    and create its files below %ProgramFiles(x86)%
 *   vsto=VER         register VSTO runtime VER ("Version" of ...\VSTO Runtime
 *                    Setup\v4, 32-bit view)
 *   vstoloader=M     place the runtime's loader files, header-only DLLs of
 *                    machine type M (i386 or amd64), below the Common Files
 *                    directory of that machine type's registry view
 *   sleep=MS         wait that long before exiting
 *   exit=N           the exit code (default 0)
 *
 * Without a script it only exits with 0. Like the real bootstrappers it is a
 * GUI program, so starting it opens no console. */
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static void AppendUtf8(FILE* out, const wchar_t* key, const wchar_t* value) {
    char buffer[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, buffer, sizeof(buffer), NULL, NULL);
    if (n <= 0) strcpy(buffer, "?");
    fprintf(out, "%ls=%s\n", key, buffer);
}

static void Record(const wchar_t* path) {
    wchar_t image[1024] = L"", cwd[1024] = L"";
    GetModuleFileNameW(NULL, image, 1024);
    GetCurrentDirectoryW(1024, cwd);
    FILE* out = _wfopen(path, L"ab");
    if (!out) return;
    AppendUtf8(out, L"image", image);
    AppendUtf8(out, L"cmdline", GetCommandLineW());
    AppendUtf8(out, L"cwd", cwd);
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR sd = NULL;
    LPWSTR sddl = NULL;
    if (GetNamedSecurityInfoW(cwd, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &sd) ==
            ERROR_SUCCESS &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl,
                                                             NULL)) {
        AppendUtf8(out, L"dacl", sddl);
        LocalFree(sddl);
    } else {
        AppendUtf8(out, L"dacl", L"<unreadable>");
    }
    if (sd) LocalFree(sd);
    fclose(out);
}

static void WriteRelease(DWORD release) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full", 0, NULL, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"Release", 0, REG_DWORD, (const BYTE*)&release, sizeof(release));
    RegCloseKey(key);
}

static void CreateEmptyFile(const wchar_t* path) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

static void InstallWebView2(const wchar_t* version) {
    wchar_t root[MAX_PATH], dir[1024], file[1024];
    if (!GetEnvironmentVariableW(L"ProgramFiles(x86)", root, MAX_PATH) &&
        !GetEnvironmentVariableW(L"ProgramFiles", root, MAX_PATH))
        return;
    const wchar_t* parts[] = {L"\\Microsoft", L"\\EdgeWebView", L"\\Application"};
    wcscpy(dir, root);
    for (int i = 0; i < 3; ++i) {
        wcscat(dir, parts[i]);
        CreateDirectoryW(dir, NULL);
    }
    wchar_t location[1024];
    wcscpy(location, dir);
    swprintf(dir, 1024, L"%ls\\%ls", location, version);
    CreateDirectoryW(dir, NULL);
    swprintf(file, 1024, L"%ls\\msedgewebview2.exe", dir);
    CreateEmptyFile(file);
    swprintf(file, 1024, L"%ls\\EBWebView", dir);
    CreateDirectoryW(file, NULL);
    swprintf(file, 1024, L"%ls\\EBWebView\\x86", dir);
    CreateDirectoryW(file, NULL);
    swprintf(file, 1024, L"%ls\\EBWebView\\x86\\EmbeddedBrowserWebView.dll", dir);
    CreateEmptyFile(file);
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", 0, NULL,
                        0, KEY_SET_VALUE | KEY_WOW64_32KEY, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"pv", 0, REG_SZ, (const BYTE*)version, (DWORD)((wcslen(version) + 1) * sizeof(wchar_t)));
    RegSetValueExW(key, L"location", 0, REG_SZ, (const BYTE*)location,
                   (DWORD)((wcslen(location) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

static void RegisterVstoRuntime(const wchar_t* version) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\VSTO Runtime Setup\\v4", 0, NULL, 0,
                        KEY_SET_VALUE | KEY_WOW64_32KEY, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, L"Version", 0, REG_SZ, (const BYTE*)version, (DWORD)((wcslen(version) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

/* Only the headers the loader check reads: a DOS header, the PE signature,
 * the machine type and the DLL characteristic. */
static void WriteDllHeaders(const wchar_t* path, WORD machine) {
    unsigned char bytes[88] = {0};
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[60] = 64;
    bytes[64] = 'P';
    bytes[65] = 'E';
    bytes[68] = (unsigned char)(machine & 0xFF);
    bytes[69] = (unsigned char)(machine >> 8);
    bytes[86] = 0x02;
    bytes[87] = 0x21; /* IMAGE_FILE_DLL | IMAGE_FILE_32BIT_MACHINE | EXECUTABLE */
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(h, bytes, sizeof(bytes), &written, NULL);
    CloseHandle(h);
}

static void PlaceVstoLoader(const wchar_t* machineName) {
    const int amd64 = wcscmp(machineName, L"amd64") == 0;
    HKEY key;
    wchar_t common[MAX_PATH] = L"", dir[1024], file[1024];
    DWORD size = sizeof(common) - sizeof(wchar_t);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | (amd64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY), &key) != ERROR_SUCCESS)
        return;
    RegQueryValueExW(key, L"CommonFilesDir", NULL, NULL, (BYTE*)common, &size);
    RegCloseKey(key);
    swprintf(dir, 1024, L"%ls\\Microsoft Shared", common);
    CreateDirectoryW(dir, NULL);
    wcscat(dir, L"\\VSTO");
    CreateDirectoryW(dir, NULL);
    swprintf(file, 1024, L"%ls\\10.0", dir);
    CreateDirectoryW(file, NULL);
    const WORD machine = amd64 ? 0x8664 : 0x014C;
    swprintf(file, 1024, L"%ls\\vstoee.dll", dir);
    WriteDllHeaders(file, machine);
    swprintf(file, 1024, L"%ls\\10.0\\VSTOLoader.dll", dir);
    WriteDllHeaders(file, machine);
}

int wmain(void) {
    wchar_t script[MAX_PATH];
    if (!GetEnvironmentVariableW(L"ProgramData", script, MAX_PATH)) return 0;
    wcscat(script, L"\\quilmo-fake-bootstrapper.ini");
    FILE* in = _wfopen(script, L"rb");
    if (!in) return 0;
    char line[2048];
    int exitCode = 0;
    DWORD sleepMs = 0;
    while (fgets(line, sizeof(line), in)) {
        line[strcspn(line, "\r\n")] = 0;
        char* eq = strchr(line, '=');
        if (!eq) continue;
        *eq = 0;
        wchar_t value[2048];
        MultiByteToWideChar(CP_UTF8, 0, eq + 1, -1, value, 2048);
        if (strcmp(line, "record") == 0) Record(value);
        else if (strcmp(line, "release") == 0) WriteRelease((DWORD)wcstoul(value, NULL, 10));
        else if (strcmp(line, "webview2") == 0) InstallWebView2(value);
        else if (strcmp(line, "vsto") == 0) RegisterVstoRuntime(value);
        else if (strcmp(line, "vstoloader") == 0) PlaceVstoLoader(value);
        else if (strcmp(line, "sleep") == 0) sleepMs = (DWORD)wcstoul(value, NULL, 10);
        else if (strcmp(line, "exit") == 0) exitCode = (int)wcstol(value, NULL, 10);
    }
    fclose(in);
    if (sleepMs) Sleep(sleepMs);
    return exitCode;
}
