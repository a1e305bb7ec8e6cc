// SHA-256 on the processor's SHA extensions, for hashing the release's
// files at the speed the disk and the network deliver them. Callers check
// ProcessorHasShaExtensions() first and use the system's hashing otherwise.
// Plain bytes in, plain bytes out: no Windows headers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quilmo {

// Whether this processor has the SHA extensions and the SSE levels used
// around them (SSSE3 and SSE4.1).
bool ProcessorHasShaExtensions();

// One running digest. Only valid where ProcessorHasShaExtensions() is true.
class Sha256Blocks {
public:
    Sha256Blocks();
    void Add(const uint8_t* data, size_t size);
    // The digest of everything added; the object starts afresh afterwards.
    std::array<uint8_t, 32> Finish();

private:
    void Restart();

    uint32_t state_[8];
    uint8_t pending_[64];
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace quilmo
