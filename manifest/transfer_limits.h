// How much and how slowly the download server may deliver. A hostile or
// broken server must not exhaust memory, disk or time: every body has a
// length bound, and an attempt that receives too little for too long ends.
// Plain logic, no Windows headers.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace quilmo {

struct TransferLimits {
    uint64_t manifestBytes;     // a manifest body held in memory
    uint64_t signatureBytes;    // a signature file held in memory
    uint64_t unsizedFileBytes;  // a file whose manifest entry lists no size
    uint64_t paceWindowMs;      // an attempt fails when some window this long
    uint64_t paceMinBytes;      // brings fewer bytes than this
};

// 16 MiB and 1 MiB (a 20,000-entry manifest is about 3 MB), 1 GiB, and
// 1 KiB/s on average over any minute.
constexpr TransferLimits kTransferLimits = {16ull << 20, 1ull << 20, 1ull << 30, 60000, 60ull << 10};

// The limits in force: kTransferLimits unless a test has put others in place.
const TransferLimits& CurrentTransferLimits();

// Puts other limits in place for the lifetime of the object (tests only).
class ScopedTransferLimits {
public:
    explicit ScopedTransferLimits(const TransferLimits& limits);
    ~ScopedTransferLimits();
    ScopedTransferLimits(const ScopedTransferLimits&) = delete;
    ScopedTransferLimits& operator=(const ScopedTransferLimits&) = delete;

private:
    const TransferLimits* previous_;
    TransferLimits limits_;
};

// How long a body may grow: at most maxBytes, and with exact set it must
// end at exactly maxBytes (the size the manifest lists).
struct BodyBound {
    uint64_t maxBytes;
    bool exact;
};

// The bound of a file download: its listed size, or the general cap.
BodyBound FileBodyBound(const std::optional<uint64_t>& listedSize);

// Watches the bytes an attempt has received over time: too slow once some
// window of windowMs within the attempt brought fewer than minBytes.
// Times are in milliseconds from any fixed origin. Samples are kept per
// sixtieth of the window, so a window is judged over at most one sixtieth
// more time than its length: a transfer is never failed early.
class RetrievalPace {
public:
    RetrievalPace(uint64_t windowMs, uint64_t minBytes, uint64_t startMs);
    // Records that totalBytes have arrived by nowMs; false when too slow.
    bool Keep(uint64_t nowMs, uint64_t totalBytes);

private:
    uint64_t windowMs_;
    uint64_t minBytes_;
    uint64_t slotMs_;
    std::deque<std::pair<uint64_t, uint64_t>> samples_;  // (time, total), oldest first
};

}  // namespace quilmo
