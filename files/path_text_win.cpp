// Path text that needs the system: invariant case mapping, full-path
// resolution and the random source of temporary names.
#include "files/path_text.h"

#include <windows.h>
#include "files/wincrypt_plain.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"

#include <atomic>
#include <vector>

namespace quilmo {

namespace {

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

bool IsEscapeAt(const std::wstring& s, size_t i) {
    return i + 2 < s.size() && s[i] == L'%' && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0;
}

std::wstring DecodeByteRun(const std::string& bytes) {
    if (IsValidUtf8(bytes)) return Utf8ToWide(bytes);
    std::wstring raw;
    for (char b : bytes) raw += static_cast<wchar_t>(static_cast<unsigned char>(b));
    return raw;
}

bool SystemRandomBytes(unsigned char* bytes, DWORD count) {
    UniqueCryptContext provider;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        return false;
    }
    return CryptGenRandom(provider.get(), count, bytes) != FALSE;
}

}  // namespace

std::wstring LowerInvariant(const std::wstring& s) {
    const int length = static_cast<int>(s.size());
    const int needed = length > 0 ? LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, s.data(), length, nullptr, 0) : 0;
    if (needed > 0) {
        std::wstring lowered(static_cast<size_t>(needed), L'\0');
        if (LCMapStringW(LOCALE_INVARIANT, LCMAP_LOWERCASE, s.data(), length, &lowered[0], needed) == needed) {
            return lowered;
        }
    }
    std::wstring ascii = s;
    for (wchar_t& c : ascii) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c + (L'a' - L'A'));
    }
    return ascii;
}

bool PathEquals(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && LowerInvariant(a) == LowerInvariant(b);
}

bool PathStartsWith(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() && PathEquals(s.substr(0, prefix.size()), prefix);
}

std::wstring NormalizePath(const std::wstring& s) {
    std::wstring path = TrimPath(s);
    if (path.empty()) return std::wstring();
    if (path.size() >= 8 && PathEquals(path.substr(0, 8), L"\\\\?\\UNC\\")) {
        path = L"\\\\" + path.substr(8);
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        path.erase(0, 4);
    }
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    if (path.empty()) return std::wstring();
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0 || needed > 32768) return std::wstring();
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    const DWORD written = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (written == 0 || written >= buffer.size()) return std::wstring();
    std::wstring full(buffer.data(), written);
    while (full.size() > 3 && full.back() == L'\\') full.pop_back();
    return full;
}

std::wstring ParentDirNormalized(const std::wstring& s) {
    std::wstring path = TrimPath(s);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    const size_t i = path.rfind(L'\\');
    if (i == std::wstring::npos || i < 1) return std::wstring();
    const std::wstring parent = (i == 2 && path[1] == L':') ? path.substr(0, 3) : path.substr(0, i);
    return NormalizePath(parent);
}

std::wstring PercentDecodeUtf8(const std::wstring& s) {
    std::wstring out;
    size_t i = 0;
    while (i < s.size()) {
        if (!IsEscapeAt(s, i)) {
            out += s[i++];
            continue;
        }
        std::string bytes;
        while (IsEscapeAt(s, i)) {
            bytes += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 3;
        }
        out += DecodeByteRun(bytes);
    }
    return out;
}

std::wstring ManifestValueToDirectory(const std::wstring& value) {
    const ManifestLocation location = SplitManifestValue(value);
    std::wstring path = location.rest;
    if (location.kind == 1) path = PercentDecodeUtf8(location.rest);
    if (location.kind == 2) path = L"\\\\" + PercentDecodeUtf8(location.rest);
    return ParentDirNormalized(path);
}

uint64_t FallbackTokenSeed() {
    static std::atomic<int32_t> counter{0};
    const int32_t next = ++counter;
    return (static_cast<uint64_t>(GetCurrentProcessId()) << 16) ^ static_cast<uint64_t>(GetTickCount64()) ^
           static_cast<uint64_t>(static_cast<int64_t>(next));
}

std::wstring RandomHexToken() {
    unsigned char bytes[8] = {};
    if (!SystemRandomBytes(bytes, sizeof bytes)) return LcgHexToken(FallbackTokenSeed());
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring token;
    for (unsigned char b : bytes) {
        token += kDigits[b >> 4];
        token += kDigits[b & 0x0F];
    }
    return token;
}

}  // namespace quilmo
