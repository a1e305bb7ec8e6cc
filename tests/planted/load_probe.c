/* The control for the planted-DLL test: loads libraries by bare name the
   unsafe way. Run from the planting folder, it must pick up the planted
   copies, which proves the test's set-up would catch such a load. */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    int loaded = 0;
    for (int i = 1; i < argc; ++i) {
        if (LoadLibraryW(argv[i]) != NULL) ++loaded;
    }
    return loaded;
}
