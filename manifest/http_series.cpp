#include "manifest/http_series.h"

namespace quilmo {

namespace {

constexpr unsigned kPauseBetweenProxyTriesMs = 500;

bool IsTlsError(uint32_t error) {
    return error == kErrorSecureInvalidCa || error == kErrorSecureChannel || error == kErrorSecureFailure;
}

bool IsChannelError(uint32_t error) { return error == kErrorSecureChannel || error == kErrorSecureFailure; }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

void MergeAttemptStatus(TransferStatus& series, const TransferStatus& attempt) {
    if (attempt.httpStatus != 0) {
        series.httpStatus = attempt.httpStatus;
        series.error = attempt.error;
        return;
    }
    if (series.httpStatus != 0) return;
    if (attempt.error == kErrorSecureInvalidCa) {
        series.error = attempt.error;
    } else if (IsChannelError(attempt.error)) {
        if (series.error != kErrorSecureInvalidCa) series.error = attempt.error;
    } else if (series.error == 0) {
        series.error = attempt.error;
    }
}

AttemptResult RunSeries(AttemptRunner& runner, const std::string& url, int tries, TransportMode mode) {
    AttemptResult series;
    // True when the series ends here: on success, or on a body over its
    // bound, which another route would only fetch again.
    auto endsSeries = [&](const AttemptResult& attempt) {
        if (attempt.succeeded) {
            series = attempt;
            return true;
        }
        MergeAttemptStatus(series.status, attempt.status);
        if (attempt.status.error != kErrorBodyOverBound) return false;
        series.status.error = kErrorBodyOverBound;
        return true;
    };
    for (int i = 0; i < tries; ++i) {
        if (i > 0) runner.Pause(kPauseBetweenProxyTriesMs);
        if (endsSeries(runner.WinHttpAttempt(url, true, mode))) return series;
    }
    if (endsSeries(runner.WinHttpAttempt(url, false, mode))) return series;
    endsSeries(runner.WinInetAttempt(url, mode));
    return series;
}

bool RunFetchSeries(AttemptRunner& runner, const std::string& url) {
    if (!IsHttpsUrl(url)) return false;
    AttemptResult strict = RunSeries(runner, url, 2, TransportMode::Strict);
    if (strict.succeeded) return true;
    // Transport security is only ever relaxed on systems whose TLS stack may
    // not speak to the server; the signature and hashes protect the content.
    if (runner.IsWindows81OrLater() || strict.status.httpStatus != 0 || !IsTlsError(strict.status.error)) return false;

    AttemptResult tolerant = RunSeries(runner, url, 1, TransportMode::TolerateUnknownCa);
    if (tolerant.succeeded) return true;
    // An untrusted root alone never leads to plain HTTP.
    if (tolerant.status.httpStatus != 0 || !IsChannelError(tolerant.status.error)) return false;

    return RunSeries(runner, DowngradeToHttp(url), 1, TransportMode::PlainHttp).succeeded;
}

bool IsHttpsUrl(const std::string& url) {
    static const char kScheme[] = "https://";
    if (url.size() < 9) return false;
    for (size_t i = 0; i < 8; ++i) {
        if (AsciiLower(url[i]) != kScheme[i]) return false;
    }
    return true;
}

std::string DowngradeToHttp(const std::string& httpsUrl) { return "http://" + httpsUrl.substr(8); }

uint32_t RefineSecureFailure(uint32_t error, uint32_t flags) {
    constexpr uint32_t kChannelErrorFlag = 0x80000000u;
    if (error != kErrorSecureFailure || flags == 0 || (flags & kChannelErrorFlag) != 0) return error;
    if (flags & 0x10) return 12038;  // certificate name does not match
    if (flags & 0x20) return 12037;  // certificate date invalid
    if (flags & 0x04) return 12170;  // certificate revoked
    if (flags & 0x02) return 12169;  // certificate invalid
    if (flags & 0x08) return kErrorSecureInvalidCa;  // unknown or untrusted root
    return error;
}

}  // namespace quilmo
