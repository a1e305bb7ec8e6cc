// The order in which the HTTP client tries a download: which stack, which
// transport strength, how often. Plain logic over an attempt runner, so the
// degraded series of old Windows can be checked without such a system.
#pragma once

#include <cstdint>
#include <string>

namespace quilmo {

enum class TransportMode : int {
    Strict = 0,             // HTTPS only; no redirect from HTTPS to HTTP
    TolerateUnknownCa = 1,  // HTTPS, a chain ending in an unknown root accepted
    PlainHttp = 2,          // any scheme, redirects always followed
};

struct TransferStatus {
    uint32_t error = 0;               // Win32 / WinHTTP / WinINet error, 0 when none
    uint32_t httpStatus = 0;          // status the server answered, 0 when none was read
    uint32_t secureFailureFlags = 0;  // WinHTTP secure-failure flags
};

struct AttemptResult {
    bool succeeded = false;
    TransferStatus status;
};

// Error numbers the series reacts to (WinINet uses the same numbers).
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorSecureInvalidCa = 12045;
constexpr uint32_t kErrorSecureChannel = 12157;
constexpr uint32_t kErrorSecureFailure = 12175;
// A body that grew past its bound or its listed size (ERROR_FILE_TOO_LARGE):
// the server's answer, so the fetch ends at once with no further attempt.
constexpr uint32_t kErrorBodyOverBound = 223;

// Runs single attempts of one kind of transfer (into memory or into a file).
class AttemptRunner {
public:
    virtual ~AttemptRunner() = default;
    virtual AttemptResult WinHttpAttempt(const std::string& url, bool useSystemProxy, TransportMode mode) = 0;
    virtual AttemptResult WinInetAttempt(const std::string& url, TransportMode mode) = 0;
    virtual void Pause(unsigned milliseconds) = 0;
    virtual bool IsWindows81OrLater() = 0;
};

// Folds a failed attempt's status into the status of its series.
void MergeAttemptStatus(TransferStatus& series, const TransferStatus& attempt);

// One series: `tries` WinHTTP attempts through the system proxy 500 ms
// apart, one WinHTTP attempt without proxy, one WinINet attempt; it ends
// early on success or on a body over its bound.
AttemptResult RunSeries(AttemptRunner& runner, const std::string& url, int tries, TransportMode mode);

// The whole fetch: the strict series, and on systems older than Windows 8.1
// after a TLS failure the two degraded series.
bool RunFetchSeries(AttemptRunner& runner, const std::string& url);

// "https://" (any case) and at least 9 characters.
bool IsHttpsUrl(const std::string& url);

// The URL of the plain-HTTP series: "https://" replaced by "http://".
std::string DowngradeToHttp(const std::string& httpsUrl);

// The secure-failure flags of a WinHTTP 12175 failure refined into the
// specific certificate error.
uint32_t RefineSecureFailure(uint32_t error, uint32_t secureFailureFlags);

}  // namespace quilmo
