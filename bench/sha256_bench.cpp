// Hashes one file with the installer's Sha256OfFile and reports the time.
// Usage: quilmo_sha256_bench FILE
#include <windows.h>

#include <cstdio>

#include "files/text_encoding.h"
#include "manifest/sha256.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quilmo_sha256_bench FILE\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    std::string digest = quilmo::Sha256OfFile(argv[1]);
    QueryPerformanceCounter(&end);
    double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    std::printf("digest=%s seconds=%.3f\n", digest.c_str(), seconds);
    return digest.empty() ? 1 : 0;
}
