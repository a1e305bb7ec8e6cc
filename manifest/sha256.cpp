#include "manifest/sha256.h"

#include <windows.h>
#include <wincrypt.h>

#include "files/unique_handle.h"

namespace quilmo {

namespace {

std::string ToLowerHex(const BYTE* digest, DWORD size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (DWORD i = 0; i < size; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace

std::string Sha256OfBytes(const std::string& bytes) {
    UniqueCryptContext provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return std::string();
    UniqueCryptHash hash;
    if (!CryptCreateHash(provider.get(), CALG_SHA_256, 0, 0, hash.put())) return std::string();
    // Hashed in slices: CryptHashData takes a 32-bit length.
    constexpr size_t kSlice = 1u << 30;
    for (size_t at = 0; at < bytes.size(); at += kSlice) {
        size_t size = bytes.size() - at < kSlice ? bytes.size() - at : kSlice;
        if (!CryptHashData(hash.get(), reinterpret_cast<const BYTE*>(bytes.data() + at), static_cast<DWORD>(size), 0)) {
            return std::string();
        }
    }
    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (!CryptGetHashParam(hash.get(), HP_HASHVAL, digest, &size, 0) || size != sizeof(digest)) return std::string();
    return ToLowerHex(digest, size);
}

}  // namespace quilmo
