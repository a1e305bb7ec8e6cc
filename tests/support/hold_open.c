/* Holds a file or directory open the way another program would (an editor
   with a document, a process sitting in a folder, another installer with
   its lock) until the test lets go.

     hold_open.exe PATH SHARE-FLAGS READY-EVENT RELEASE-EVENT

   Exit codes: 0 released, 2 the open failed, 3 the events are missing. */
#include <windows.h>
#include <wchar.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 3;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ, (DWORD)wcstoul(argv[2], NULL, 0), NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (held == INVALID_HANDLE_VALUE) return 2;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
    if (ready == NULL || release == NULL) return 3;
    SetEvent(ready);
    WaitForSingleObject(release, 120000);
    CloseHandle(held);
    return 0;
}
