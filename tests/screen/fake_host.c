/* Stands in for an Office or WPS program: it only waits to be ended. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    Sleep(INFINITE);
    return 0;
}
