/* Stands in for the release's post-migration program. It takes no
 * parameters, like the real one; what it does comes from "helper-action.txt"
 * in its working directory:
 *   "exit N"  end with exit code N
 *   "wait"    stay running until "helper-release.txt" appears (at most 30 s)
 * It first writes "helper-ran.txt" there, so a test sees where it ran. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
    char action[64] = {0};
    FILE* in = fopen("helper-action.txt", "rb");
    FILE* ran = fopen("helper-ran.txt", "wb");
    if (ran != NULL) fclose(ran);
    if (in == NULL) return 7;
    fread(action, 1, sizeof action - 1, in);
    fclose(in);
    if (strncmp(action, "exit ", 5) == 0) return atoi(action + 5);
    if (strncmp(action, "wait", 4) == 0) {
        for (int i = 0; i < 600; ++i) {
            if (GetFileAttributesA("helper-release.txt") != INVALID_FILE_ATTRIBUTES) return 0;
            Sleep(50);
        }
        return 0;
    }
    return 9;
}
