// One GET through WinINet, the last resort of every series of attempts.
#include <windows.h>
// WinINet is delay-loaded. Its header declares every function dllimport,
// which on x86 makes calls jump through an import slot that only the loader
// fills, bypassing the delay-load stubs: declare them as plain functions.
#pragma push_macro("DECLSPEC_IMPORT")
#undef DECLSPEC_IMPORT
#define DECLSPEC_IMPORT
#include <wininet.h>
#pragma pop_macro("DECLSPEC_IMPORT")

#include <cwchar>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/http_attempt.h"
#include "manifest/http_client.h"

namespace quilmo {

namespace {

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { InternetCloseHandle(h); }
};
using UniqueInternet = UniqueAny<InternetHandleTraits>;

constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES;
// WinINet would follow a redirect from HTTPS to plain HTTP; only the plain
// series may leave HTTPS, so the secure series do not follow redirects here
// (WinHTTP, tried first, follows HTTPS-to-HTTPS redirects).
constexpr DWORD kNoRedirects = INTERNET_FLAG_NO_AUTO_REDIRECT;
constexpr DWORD kIgnoreUnknownCa = 0x100;

struct CrackedUrl {
    bool secure = false;
    wchar_t host[256] = {};
    wchar_t path[2048] = {};
    wchar_t extra[1024] = {};
    INTERNET_PORT port = 0;
};

bool CrackUrl(const std::wstring& url, CrackedUrl& cracked) {
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = cracked.host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = cracked.path;
    parts.dwUrlPathLength = 2048;
    parts.lpszExtraInfo = cracked.extra;
    parts.dwExtraInfoLength = 1024;
    if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    cracked.port = parts.nPort;
    return true;
}

bool StartsWithHttps(const std::string& url) {
    return url.size() > 8 && _strnicmp(url.c_str(), "https://", 8) == 0;
}

void SetTimeouts(HINTERNET session, unsigned timeoutMs) {
    DWORD value = timeoutMs;
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT}) {
        InternetSetOptionW(session, option, &value, sizeof(value));
    }
}

// A status that cannot be read is taken as success: the body is read.
bool StatusAllowsBody(HINTERNET request, TransferStatus& status) {
    wchar_t text[16] = {};  // 32 bytes
    DWORD size = sizeof(text);
    if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, text, &size, nullptr)) return true;
    long code = std::wcstol(text, nullptr, 10);
    if (code > 0) status.httpStatus = static_cast<uint32_t>(code);
    return code == 200;
}

uint64_t AnnouncedLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return kUnknownLength;
    return std::wcstoull(text, nullptr, 10);
}

// A synchronous read fills the whole buffer before it returns, so a server
// that sends a byte now and then would hold one read for hours, out of
// reach of the pace check. Waiting for data first and taking only what has
// arrived returns after every piece.
bool ReadAvailable(HINTERNET request, char* buffer, DWORD size, DWORD* read) {
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return false;
    DWORD wanted = (available > 0 && available < size) ? available : size;
    return InternetReadFile(request, buffer, wanted, read) != FALSE;
}

}  // namespace

AttemptResult RunWinInetAttempt(const std::string& url, TransportMode mode, const AttemptSettings& settings,
                                BodySink& sink) {
    AttemptResult result;
    TransferStatus& status = result.status;
    if (mode != TransportMode::PlainHttp && !StartsWithHttps(url)) {
        status.error = kErrorInvalidParameter;
        return result;
    }
    CrackedUrl cracked;
    if (!CrackUrl(Utf8ToWide(url), cracked)) {
        status.error = GetLastError();
        return result;
    }
    UniqueInternet session(InternetOpenW(kUserAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        status.error = GetLastError();
        return result;
    }
    SetTimeouts(session.get(), settings.timeoutMs);
    UniqueInternet connection(InternetConnectW(session.get(), cracked.host, cracked.port, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        status.error = GetLastError();
        return result;
    }
    std::wstring objectName = std::wstring(cracked.path) + cracked.extra;
    if (objectName.empty()) objectName = L"/";
    DWORD flags = kRequestFlags | (cracked.secure ? INTERNET_FLAG_SECURE : 0) |
                  (mode == TransportMode::PlainHttp ? 0 : kNoRedirects);
    UniqueInternet request(
        HttpOpenRequestW(connection.get(), L"GET", objectName.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (!request) {
        status.error = GetLastError();
        return result;
    }
    if (mode == TransportMode::TolerateUnknownCa && cracked.secure) {
        DWORD securityFlags = kIgnoreUnknownCa;
        InternetSetOptionW(request.get(), INTERNET_OPTION_SECURITY_FLAGS, &securityFlags, sizeof(securityFlags));
    }
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        status.error = GetLastError();
        return result;
    }
    if (!StatusAllowsBody(request.get(), status)) return result;
    result.succeeded = ReadBodyInto(sink, settings, AnnouncedLength(request.get()), status, [&](char* buffer, DWORD size, DWORD* read) {
        return ReadAvailable(request.get(), buffer, size, read);
    });
    return result;
}

}  // namespace quilmo
