// One owner for every kind of Win32 handle: a template over a small traits
// type that names the handle type, its "no handle" value and the function
// that closes it. Logic never calls CloseHandle, RegCloseKey and friends by
// hand; it holds one of the aliases at the end of this file.
#pragma once

#include <windows.h>
#include "files/wincrypt_plain.h"

#include <utility>

namespace quilmo {

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    UniqueAny() noexcept = default;
    explicit UniqueAny(Type value) noexcept : value_(value) {}
    ~UniqueAny() { reset(); }

    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    Type get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Hands the handle over without closing it.
    Type release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    void reset(Type value = Traits::Invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

    // For out-parameters of Win32 calls: closes what is held first.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::Invalid();
};

namespace handle_traits {

struct Kernel {  // threads, processes, events, tokens: "none" is NULL
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct NtFile {  // native opens: "none" is NULL, and INVALID_HANDLE_VALUE is never closed
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
};
struct File {  // CreateFileW reports failure as INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct FindFile {  // FindFirstFileW searches
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};
struct RegKey {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type k) noexcept { ::RegCloseKey(k); }
};
struct Module {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type m) noexcept { ::FreeLibrary(m); }
};
struct GdiObject {
    using Type = HGDIOBJ;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type o) noexcept { ::DeleteObject(o); }
};
struct MemoryDc {
    using Type = HDC;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type dc) noexcept { ::DeleteDC(dc); }
};
struct Region {
    using Type = HRGN;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type r) noexcept { ::DeleteObject(r); }
};
struct LocalMemory {
    using Type = HLOCAL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type m) noexcept { ::LocalFree(m); }
};
struct GlobalMemory {
    using Type = HGLOBAL;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type m) noexcept { ::GlobalFree(m); }
};
struct CryptContext {
    using Type = HCRYPTPROV;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type c) noexcept { ::CryptReleaseContext(c, 0); }
};

struct CryptHash {
    using Type = HCRYPTHASH;
    static Type Invalid() noexcept { return 0; }
    static void Close(Type h) noexcept { ::CryptDestroyHash(h); }
};

struct CertContext {
    using Type = PCCERT_CONTEXT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type c) noexcept { ::CertFreeCertificateContext(c); }
};
struct CertStore {
    using Type = HCERTSTORE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type s) noexcept { ::CertCloseStore(s, 0); }
};
struct CryptMessage {
    using Type = HCRYPTMSG;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type m) noexcept { ::CryptMsgClose(m); }
};
struct CertChain {
    using Type = PCCERT_CHAIN_CONTEXT;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type c) noexcept { ::CertFreeCertificateChain(c); }
};

}  // namespace handle_traits

using UniqueHandle = UniqueAny<handle_traits::Kernel>;
using UniqueFile = UniqueAny<handle_traits::File>;
using UniqueNtHandle = UniqueAny<handle_traits::NtFile>;
using UniqueFindHandle = UniqueAny<handle_traits::FindFile>;
using UniqueRegKey = UniqueAny<handle_traits::RegKey>;
using UniqueModule = UniqueAny<handle_traits::Module>;
using UniqueGdiObject = UniqueAny<handle_traits::GdiObject>;
using UniqueMemoryDc = UniqueAny<handle_traits::MemoryDc>;
using UniqueRegion = UniqueAny<handle_traits::Region>;
using UniqueLocalMemory = UniqueAny<handle_traits::LocalMemory>;
using UniqueGlobalMemory = UniqueAny<handle_traits::GlobalMemory>;
using UniqueCryptContext = UniqueAny<handle_traits::CryptContext>;
using UniqueCryptHash = UniqueAny<handle_traits::CryptHash>;
using UniqueCertContext = UniqueAny<handle_traits::CertContext>;
using UniqueCertStore = UniqueAny<handle_traits::CertStore>;
using UniqueCryptMessage = UniqueAny<handle_traits::CryptMessage>;
using UniqueCertChain = UniqueAny<handle_traits::CertChain>;

}  // namespace quilmo
