#include "manifest/transfer_limits.h"

#include <atomic>

namespace quilmo {

namespace {

std::atomic<const TransferLimits*> g_limitsOverride{nullptr};

}  // namespace

const TransferLimits& CurrentTransferLimits() {
    const TransferLimits* limits = g_limitsOverride.load();
    return limits != nullptr ? *limits : kTransferLimits;
}

ScopedTransferLimits::ScopedTransferLimits(const TransferLimits& limits) : limits_(limits) {
    previous_ = g_limitsOverride.exchange(&limits_);
}

ScopedTransferLimits::~ScopedTransferLimits() { g_limitsOverride.store(previous_); }

BodyBound FileBodyBound(const std::optional<uint64_t>& listedSize) {
    if (listedSize) return {*listedSize, true};
    return {CurrentTransferLimits().unsizedFileBytes, false};
}

RetrievalPace::RetrievalPace(uint64_t windowMs, uint64_t minBytes, uint64_t startMs)
    : windowMs_(windowMs), minBytes_(minBytes), slotMs_(windowMs / 60 > 0 ? windowMs / 60 : 1) {
    samples_.emplace_back(startMs, 0);
}

bool RetrievalPace::Keep(uint64_t nowMs, uint64_t totalBytes) {
    // Bytes arrive at the readings: the minute that ends just before this
    // one holds what had arrived before it.
    const uint64_t before = samples_.back().second;
    // One sample per slot: a later reading in the same slot replaces the
    // earlier one, unless it is the start of the attempt.
    if (samples_.size() > 1 && samples_.back().first / slotMs_ == nowMs / slotMs_) {
        samples_.back() = {nowMs, totalBytes};
    } else {
        samples_.emplace_back(nowMs, totalBytes);
    }
    if (nowMs < samples_.front().first + windowMs_) return true;  // no full window yet
    // The newest sample at least one window old; older ones are not needed.
    const uint64_t windowStart = nowMs - windowMs_;
    while (samples_.size() > 1 && samples_[1].first <= windowStart) samples_.pop_front();
    return before - samples_.front().second >= minBytes_;
}

}  // namespace quilmo
