// One attempt of one HTTP stack, and where the body it reads goes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

#include "manifest/http_series.h"

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
};

AttemptResult RunWinHttpAttempt(const std::string& url, bool useSystemProxy, TransportMode mode,
                                const AttemptSettings& settings, BodySink& sink);
AttemptResult RunWinInetAttempt(const std::string& url, TransportMode mode, const AttemptSettings& settings,
                                BodySink& sink);

constexpr size_t kMaxReadSize = 32768;
constexpr uint32_t kErrorConnectionAborted = 12030;  // same number in WinHTTP and WinINet
constexpr uint64_t kUnknownLength = ~0ull;

// Reads the body with `read(buffer, size, &bytesRead)` until a read returns
// no bytes, streaming it through one aligned buffer into the sink. Any
// failure discards what the sink holds and records the error. A body that
// ends before the length the server announced was cut off: some stacks
// report that as a normal end, so it is checked here.
template <typename ReadFn>
bool ReadBodyInto(BodySink& sink, size_t readSize, uint64_t announcedLength, TransferStatus& status, ReadFn read) {
    struct alignas(32) Chunk {
        char bytes[kMaxReadSize];
    };
    if (!sink.Begin()) {
        status.error = GetLastError();
        return false;
    }
    auto chunk = std::make_unique<Chunk>();
    size_t size = readSize < kMaxReadSize ? readSize : kMaxReadSize;
    uint64_t received = 0;
    for (;;) {
        DWORD bytesRead = 0;
        if (!read(chunk->bytes, static_cast<DWORD>(size), &bytesRead)) {
            status.error = GetLastError();
            sink.Discard();
            return false;
        }
        if (bytesRead == 0) {
            if (announcedLength != kUnknownLength && received != announcedLength) {
                status.error = kErrorConnectionAborted;
                sink.Discard();
                return false;
            }
            return sink.Accept();
        }
        received += bytesRead;
        if (!sink.Write(chunk->bytes, bytesRead)) {
            status.error = GetLastError();
            sink.Discard();
            return false;
        }
    }
}

}  // namespace quilmo
