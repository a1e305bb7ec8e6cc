// One attempt of one HTTP stack, and where the body it reads goes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

#include "manifest/http_series.h"
#include "manifest/transfer_limits.h"

namespace quilmo {

// Receives the body of one attempt. Begin is called only once the request
// succeeded; Discard when the attempt fails after Begin.
class BodySink {
public:
    virtual ~BodySink() = default;
    virtual bool Begin() = 0;  // false: GetLastError() tells why
    virtual bool Write(const char* data, size_t size) = 0;
    virtual void Discard() = 0;
    // After the last read: whether this body makes the attempt a success.
    virtual bool Accept() = 0;
};

struct AttemptSettings {
    unsigned timeoutMs;
    size_t readSize;
    BodyBound bound;
    uint64_t paceWindowMs;
    uint64_t paceMinBytes;
    uint64_t (*clockMs)();  // milliseconds from a fixed origin
};

AttemptResult RunWinHttpAttempt(const std::string& url, bool useSystemProxy, TransportMode mode,
                                const AttemptSettings& settings, BodySink& sink);
AttemptResult RunWinInetAttempt(const std::string& url, TransportMode mode, const AttemptSettings& settings,
                                BodySink& sink);

constexpr size_t kMaxReadSize = 32768;
constexpr uint32_t kErrorConnectionAborted = 12030;  // same number in WinHTTP and WinINet
constexpr uint64_t kUnknownLength = ~0ull;

constexpr uint32_t kErrorBodyTooLong = kErrorBodyOverBound;
static_assert(kErrorBodyOverBound == ERROR_FILE_TOO_LARGE, "the series must recognise the overrun");
constexpr uint32_t kErrorTooSlow = ERROR_TIMEOUT;

// A body the bound does not allow, judged from the length the server
// announced before any byte is taken.
inline bool AnnouncedLengthFits(uint64_t announcedLength, const BodyBound& bound) {
    if (announcedLength == kUnknownLength) return true;
    return bound.exact ? announcedLength == bound.maxBytes : announcedLength <= bound.maxBytes;
}

// Reads the body with `read(buffer, size, &bytesRead)` until a read returns
// no bytes, streaming it through one aligned buffer into the sink. Any
// failure discards what the sink holds and records the error. A body that
// ends before the length the server announced was cut off: some stacks
// report that as a normal end, so it is checked here. A body that would
// grow past its bound fails before the read that crosses it is passed on,
// and one that ends short of an exact bound fails too. So does an attempt
// whose body arrives too slowly: a trickle stays inside every read
// time-out, so the pace is judged over the whole body.
template <typename ReadFn>
bool ReadBodyInto(BodySink& sink, const AttemptSettings& settings, uint64_t announcedLength, TransferStatus& status,
                  ReadFn read) {
    struct alignas(32) Chunk {
        char bytes[kMaxReadSize];
    };
    auto fail = [&](uint32_t error, bool begun) {
        status.error = error;
        if (begun) sink.Discard();
        return false;
    };
    if (!AnnouncedLengthFits(announcedLength, settings.bound)) return fail(kErrorBodyTooLong, false);
    if (!sink.Begin()) return fail(GetLastError(), false);
    auto chunk = std::make_unique<Chunk>();
    size_t size = settings.readSize < kMaxReadSize ? settings.readSize : kMaxReadSize;
    RetrievalPace pace(settings.paceWindowMs, settings.paceMinBytes, settings.clockMs());
    uint64_t received = 0;
    for (;;) {
        DWORD bytesRead = 0;
        if (!read(chunk->bytes, static_cast<DWORD>(size), &bytesRead)) return fail(GetLastError(), true);
        if (bytesRead == 0) {
            if (announcedLength != kUnknownLength && received != announcedLength) {
                return fail(kErrorConnectionAborted, true);
            }
            if (settings.bound.exact && received != settings.bound.maxBytes) return fail(kErrorConnectionAborted, true);
            return sink.Accept();
        }
        if (bytesRead > settings.bound.maxBytes - received) return fail(kErrorBodyTooLong, true);
        if (announcedLength != kUnknownLength && bytesRead > announcedLength - received) {
            return fail(kErrorBodyTooLong, true);  // more than the server announced
        }
        received += bytesRead;
        if (!sink.Write(chunk->bytes, bytesRead)) return fail(GetLastError(), true);
        if (!pace.Keep(settings.clockMs(), received)) return fail(kErrorTooSlow, true);
    }
}

}  // namespace quilmo
