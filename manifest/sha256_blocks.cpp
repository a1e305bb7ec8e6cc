#include "manifest/sha256_blocks.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

namespace quilmo {

namespace {

const uint32_t kInitialState[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The stack is realigned on entry because 32-bit Windows threads only
// promise 4-byte alignment, and the compiler may keep 16-byte values there.
#define QUILMO_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3"), force_align_arg_pointer))

// Runs the compression function over whole 64-byte blocks. The extensions
// keep the eight working words as two registers, ABEF and CDGH.
QUILMO_SHA_TARGET void CompressBlocks(uint32_t state[8], const uint8_t* data, size_t blocks) {
    const __m128i bigEndianWords = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        __m128i words[4];  // the schedule's last sixteen words, four to a register
        for (int group = 0; group < 16; ++group) {
            __m128i& w = words[group & 3];
            if (group < 4) {
                w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)),
                                     bigEndianWords);
            } else {
                const __m128i& back1 = words[(group - 1) & 3];
                const __m128i& back2 = words[(group - 2) & 3];
                const __m128i& back3 = words[(group - 3) & 3];
                __m128i next = _mm_sha256msg1_epu32(w, back3);  // w holds the group four back
                next = _mm_add_epi32(next, _mm_alignr_epi8(back1, back2, 4));
                w = _mm_sha256msg2_epu32(next, back1);
            }
            __m128i input = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(&kRoundConstants[4 * group])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, input);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(input, 0x0E));
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

}  // namespace

bool ProcessorHasShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

Sha256Blocks::Sha256Blocks() { Restart(); }

void Sha256Blocks::Restart() {
    std::memcpy(state_, kInitialState, sizeof(state_));
    pendingSize_ = 0;
    totalBytes_ = 0;
}

void Sha256Blocks::Add(const uint8_t* data, size_t size) {
    totalBytes_ += size;
    if (pendingSize_ > 0) {
        size_t take = size < 64 - pendingSize_ ? size : 64 - pendingSize_;
        std::memcpy(pending_ + pendingSize_, data, take);
        pendingSize_ += take;
        data += take;
        size -= take;
        if (pendingSize_ < 64) return;
        CompressBlocks(state_, pending_, 1);
        pendingSize_ = 0;
    }
    if (size >= 64) CompressBlocks(state_, data, size / 64);
    std::memcpy(pending_, data + size / 64 * 64, size % 64);
    pendingSize_ = size % 64;
}

std::array<uint8_t, 32> Sha256Blocks::Finish() {
    // The message ends with 0x80, zeros and its length in bits, big-endian.
    const uint64_t bits = totalBytes_ * 8;
    uint8_t tail[128] = {};
    std::memcpy(tail, pending_, pendingSize_);
    tail[pendingSize_] = 0x80;
    const size_t tailSize = pendingSize_ < 56 ? 64 : 128;
    for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
    CompressBlocks(state_, tail, tailSize / 64);

    std::array<uint8_t, 32> digest;
    for (int i = 0; i < 8; ++i) {
        for (int b = 0; b < 4; ++b) digest[4 * i + b] = static_cast<uint8_t>(state_[i] >> (24 - 8 * b));
    }
    Restart();
    return digest;
}

}  // namespace quilmo
