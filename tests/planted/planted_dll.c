/* A DLL an attacker might drop next to the installer under the name of a
   system library. When loaded it leaves "<its path>.loaded" behind, so a test
   can tell that it was loaded; the crash flavour then faults in DllMain. Its
   exports carry the names of the real libraries' entry points and fail. */
#include <windows.h>

static void LeaveMarker(HMODULE self) {
    wchar_t path[MAX_PATH + 16];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    lstrcatW(path, L".loaded");
    HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        LeaveMarker(self);
#ifdef PLANTED_CRASH
        *(volatile int*)0 = 1;
#endif
    }
    return TRUE;
}

#define PLANTED_EXPORT(name) __declspec(dllexport) LONG WINAPI name(void) { return 5; /* access denied */ }
PLANTED_EXPORT(GdiplusStartup)
PLANTED_EXPORT(GdiplusShutdown)
PLANTED_EXPORT(GdipLoadImageFromStream)
PLANTED_EXPORT(DwmIsCompositionEnabled)
PLANTED_EXPORT(DwmExtendFrameIntoClientArea)
PLANTED_EXPORT(DwmSetWindowAttribute)
PLANTED_EXPORT(WinHttpOpen)
PLANTED_EXPORT(InternetOpenW)
PLANTED_EXPORT(CryptVerifyDetachedMessageSignature)
PLANTED_EXPORT(WinVerifyTrust)
PLANTED_EXPORT(WTSQuerySessionInformationW)
PLANTED_EXPORT(RmStartSession)
