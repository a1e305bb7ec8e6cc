// One GET through WinHTTP, the installer's primary HTTP stack.
#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#include <mutex>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/http_attempt.h"
#include "manifest/http_client.h"

namespace quilmo {

namespace {

struct WinHttpHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { WinHttpCloseHandle(h); }
};
using UniqueWinHttp = UniqueAny<WinHttpHandleTraits>;

constexpr DWORD kAllTls = 0xA80;        // TLS 1.0, 1.1, 1.2
constexpr DWORD kOlderTls = 0x280;      // TLS 1.0, 1.1 where 1.2 is unknown
constexpr DWORD kIgnoreUnknownCa = 0x100;

// Collects the secure-failure flags into the attempt's flag word, whose
// address is the request context.
void CALLBACK CollectSecureFailure(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD infoLength) {
    if (status != WINHTTP_CALLBACK_STATUS_SECURE_FAILURE || context == 0 || info == nullptr || infoLength < 4) return;
    *reinterpret_cast<DWORD*>(context) |= *static_cast<const DWORD*>(info);
}

UniqueWinHttp OpenSession(bool useSystemProxy) {
    if (!useSystemProxy) {
        return UniqueWinHttp(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    }
    constexpr DWORD kAutomaticProxy = 4;  // Windows 8.1 and later
    UniqueWinHttp session(WinHttpOpen(kUserAgent, kAutomaticProxy, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
        session.reset(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                  WINHTTP_NO_PROXY_BYPASS, 0));
    }
    return session;
}

void SetDwordOption(HINTERNET handle, DWORD option, DWORD value) {
    WinHttpSetOption(handle, option, &value, sizeof(value));
}

void SetTimeouts(HINTERNET handle, unsigned timeoutMs) {
    int t = static_cast<int>(timeoutMs);
    WinHttpSetTimeouts(handle, t, t, t, t);
}

// One session per proxy choice and transport mode, kept for the whole run:
// its connections stay open between requests, so the files of a release
// share a few TLS handshakes instead of one each. Connections made while an
// unknown root was tolerated never serve a strict request, because each mode
// has its own session. The sessions live until the process ends.
HINTERNET SharedSession(bool useSystemProxy, TransportMode mode, DWORD* error) {
    static std::mutex guard;
    static UniqueWinHttp* sessions = new UniqueWinHttp[6];
    const size_t slot = static_cast<size_t>(mode) * 2 + (useSystemProxy ? 1 : 0);
    std::lock_guard<std::mutex> lock(guard);
    UniqueWinHttp& session = sessions[slot < 6 ? slot : 0];
    if (session) return session.get();
    session = OpenSession(useSystemProxy);
    if (!session) {
        *error = GetLastError();
        return nullptr;
    }
    if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, const_cast<DWORD*>(&kAllTls),
                          sizeof(kAllTls))) {
        SetDwordOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, kOlderTls);
    }
    return session.get();
}

// The wait for the response headers has its own time-out (90 s unless set);
// a stalled server must not hold an attempt longer than the others.
void SetResponseTimeout(HINTERNET request, unsigned timeoutMs) {
    SetDwordOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, timeoutMs);
}

uint64_t AnnouncedLength(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
        return kUnknownLength;
    }
    return std::wcstoull(text, nullptr, 10);
}

struct CrackedUrl {
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring objectName;
};

bool CrackUrl(const std::wstring& url, CrackedUrl& cracked) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    cracked.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    cracked.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    cracked.port = parts.nPort;
    if (parts.lpszUrlPath) cracked.objectName.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo) cracked.objectName.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (cracked.objectName.empty()) cracked.objectName = L"/";
    return true;
}

// Sends the request and waits for the response headers, collecting the
// secure-failure flags on the way.
bool Exchange(HINTERNET request, TransferStatus& status) {
    DWORD flags = 0;
    WinHttpSetStatusCallback(request, CollectSecureFailure, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    BOOL ok = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                 reinterpret_cast<DWORD_PTR>(&flags));
    DWORD error = ok ? 0 : GetLastError();
    if (ok) {
        ok = WinHttpReceiveResponse(request, nullptr);
        error = ok ? 0 : GetLastError();
    }
    WinHttpSetStatusCallback(request, nullptr, WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    status.secureFailureFlags = flags;
    if (!ok) status.error = RefineSecureFailure(error, flags);
    return ok;
}

bool ReadStatusCode(HINTERNET request, TransferStatus& status) {
    DWORD code = 0;
    DWORD size = sizeof(code);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        status.error = GetLastError();
        return false;
    }
    status.httpStatus = code;
    return code == 200;
}

// A read may wait until the whole buffer is filled, so a server that sends
// a byte now and then would hold one read far longer than any time-out, out
// of reach of the pace check. Waiting for data first and taking only what
// has arrived returns after every piece.
bool ReadAvailable(HINTERNET request, char* buffer, DWORD size, DWORD* read) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return false;
    DWORD wanted = (available > 0 && available < size) ? available : size;
    return WinHttpReadData(request, buffer, wanted, read) != FALSE;
}

}  // namespace

AttemptResult RunWinHttpAttempt(const std::string& url, bool useSystemProxy, TransportMode mode,
                                const AttemptSettings& settings, BodySink& sink) {
    AttemptResult result;
    TransferStatus& status = result.status;
    if (url.empty()) {
        status.error = kErrorInvalidParameter;
        return result;
    }
    DWORD sessionError = 0;
    HINTERNET session = SharedSession(useSystemProxy, mode, &sessionError);
    if (session == nullptr) {
        status.error = sessionError;
        return result;
    }

    CrackedUrl cracked;
    if (!CrackUrl(Utf8ToWide(url), cracked)) {
        status.error = GetLastError();
        return result;
    }
    if (mode != TransportMode::PlainHttp && !cracked.secure) {
        status.error = kErrorInvalidParameter;
        return result;
    }
    UniqueWinHttp connection(WinHttpConnect(session, cracked.host.c_str(), cracked.port, 0));
    if (!connection) {
        status.error = GetLastError();
        return result;
    }
    DWORD flags = WINHTTP_FLAG_REFRESH | (cracked.secure ? WINHTTP_FLAG_SECURE : 0);
    UniqueWinHttp request(WinHttpOpenRequest(connection.get(), L"GET", cracked.objectName.c_str(), nullptr,
                                             WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
    if (!request) {
        status.error = GetLastError();
        return result;
    }
    SetDwordOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY,
                   mode == TransportMode::PlainHttp ? WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS
                                                    : WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP);
    if (mode == TransportMode::TolerateUnknownCa && cracked.secure) {
        SetDwordOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, kIgnoreUnknownCa);
    }
    SetTimeouts(request.get(), settings.timeoutMs);
    SetResponseTimeout(request.get(), settings.timeoutMs);

    if (!Exchange(request.get(), status) || !ReadStatusCode(request.get(), status)) return result;
    result.succeeded = ReadBodyInto(sink, settings, AnnouncedLength(request.get()), status, [&](char* buffer, DWORD size, DWORD* read) {
        return ReadAvailable(request.get(), buffer, size, read);
    });
    return result;
}

}  // namespace quilmo
