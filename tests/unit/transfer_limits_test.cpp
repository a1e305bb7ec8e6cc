// The bounds on what the network may deliver, and the body reader that
// applies them, proved with scripted reads and a scripted clock: no test
// downloads a gigabyte or waits a minute.
#include "manifest/transfer_limits.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "manifest/http_attempt.h"

namespace quilmo {
namespace {

// ---- RetrievalPace ----

struct PaceCase {
    const char* name;
    std::vector<std::pair<uint64_t, uint64_t>> readings;  // (ms since start, total bytes)
    int failsAt;  // index of the first reading judged too slow, -1 for none
};

class PaceTable : public testing::TestWithParam<PaceCase> {};

TEST_P(PaceTable, FailsOnceSomeMinuteBringsLessThanItsKilobytes) {
    const PaceCase& c = GetParam();
    RetrievalPace pace(60000, 60 * 1024, 1000);  // the clock's origin is arbitrary
    int failed = -1;
    for (size_t i = 0; i < c.readings.size() && failed < 0; ++i) {
        if (!pace.Keep(1000 + c.readings[i].first, c.readings[i].second)) failed = static_cast<int>(i);
    }
    EXPECT_EQ(failed, c.failsAt);
}

std::vector<std::pair<uint64_t, uint64_t>> Steady(uint64_t stepMs, uint64_t bytesPerStep, int steps) {
    std::vector<std::pair<uint64_t, uint64_t>> readings;
    for (int i = 1; i <= steps; ++i) readings.emplace_back(i * stepMs, i * bytesPerStep);
    return readings;
}

// A fast first minute, then a trickle: the second window is the slow one.
std::vector<std::pair<uint64_t, uint64_t>> FastThenTrickle() {
    std::vector<std::pair<uint64_t, uint64_t>> readings = Steady(1000, 10 * 1024, 60);
    for (int i = 1; i <= 120; ++i) readings.emplace_back(60000 + i * 1000, 60 * 10 * 1024 + i);
    return readings;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PaceTable,
    testing::Values(
        // One byte every 5 s stays inside any read time-out; the first full minute ends it.
        PaceCase{"ByteEveryFiveSeconds", Steady(5000, 1, 20), 11},
        PaceCase{"JustUnderAKilobytePerSecond", Steady(1000, 1023, 120), 59},
        PaceCase{"ElevenHundredBytesPerSecondIsEnough", Steady(1000, 1100, 180), -1},
        PaceCase{"FastBodyWithManyReads", Steady(10, 32768, 20000), -1},
        PaceCase{"ShortBodyNeverJudged", Steady(1000, 1, 59), -1},
        // The 55th second of the trickle closes the first minute with less
        // than 60 KiB in it.
        PaceCase{"FastMinuteThenTrickle", FastThenTrickle(), 114},
        // A long silence inside the read time-out, then a burst that makes
        // up for it: the minute before the burst was too slow already.
        PaceCase{"SilenceThenBurst", {{30000, 0}, {61000, 200 * 1024}}, 1}),
    [](const testing::TestParamInfo<PaceCase>& info) { return info.param.name; });

// ---- Limits in force ----

TEST(TransferLimits, BoundsOfEveryBodyAndTheirTestReplacement) {
    EXPECT_EQ(CurrentTransferLimits().manifestBytes, 16u * 1024 * 1024);
    EXPECT_EQ(CurrentTransferLimits().signatureBytes, 1024u * 1024);
    EXPECT_EQ(FileBodyBound(std::nullopt).maxBytes, 1ull << 30);
    EXPECT_FALSE(FileBodyBound(std::nullopt).exact);
    EXPECT_EQ(FileBodyBound(uint64_t{5}).maxBytes, 5u);
    EXPECT_TRUE(FileBodyBound(uint64_t{5}).exact);
    // A listed size above the general cap is the file's bound.
    EXPECT_EQ(FileBodyBound(uint64_t{3} << 30).maxBytes, uint64_t{3} << 30);
    {
        ScopedTransferLimits small({100, 10, 1000, 2000, 20});
        EXPECT_EQ(CurrentTransferLimits().manifestBytes, 100u);
        EXPECT_EQ(FileBodyBound(std::nullopt).maxBytes, 1000u);
    }
    EXPECT_EQ(FileBodyBound(std::nullopt).maxBytes, 1ull << 30);
}

// ---- ReadBodyInto ----

// Records what reaches the sink.
class RecordingSink : public BodySink {
public:
    bool Begin() override {
        begun = true;
        written = 0;
        return true;
    }
    bool Write(const char*, size_t size) override {
        written += size;
        maxWritten = written > maxWritten ? written : maxWritten;
        return true;
    }
    void Discard() override { discarded = true; }
    bool Accept() override { return true; }

    bool begun = false;
    bool discarded = false;
    uint64_t written = 0;
    uint64_t maxWritten = 0;
};

uint64_t g_clockMs = 0;
uint64_t ScriptedClock() { return g_clockMs; }

struct ReadCase {
    const char* name;
    BodyBound bound;
    uint64_t announced;   // kUnknownLength when the server announces none
    uint64_t bodyBytes;   // what the server sends; ~0 for a body without end
    uint64_t msPerRead;   // how long each read takes
    uint64_t perRead;     // the most one read returns
    bool succeeds;
    uint32_t error;       // on failure
    bool begins;          // whether a destination was ever opened
};

class BodyReads : public testing::TestWithParam<ReadCase> {};

TEST_P(BodyReads, StopAtTheBoundBeforeWritingPastIt) {
    const ReadCase& c = GetParam();
    constexpr size_t kReadSize = 32768;
    AttemptSettings settings = {30000, kReadSize, c.bound, 60000, 60 * 1024, ScriptedClock};
    RecordingSink sink;
    TransferStatus status;
    g_clockMs = 0;
    uint64_t sent = 0;
    uint64_t reads = 0;
    bool ok = ReadBodyInto(sink, settings, c.announced, status, [&](char*, DWORD size, DWORD* read) {
        ++reads;
        g_clockMs += c.msPerRead;
        uint64_t left = std::min<uint64_t>(c.bodyBytes - sent, c.perRead);
        *read = static_cast<DWORD>(left < size ? left : size);
        sent += *read;
        return reads < 1000000;  // a body without end must have been stopped long before
    });
    EXPECT_EQ(ok, c.succeeds);
    EXPECT_EQ(sink.begun, c.begins);
    if (c.succeeds) {
        EXPECT_EQ(sink.written, c.bodyBytes);
        EXPECT_FALSE(sink.discarded);
    } else {
        EXPECT_EQ(status.error, c.error);
        EXPECT_EQ(sink.discarded, c.begins);
        // Never more than the bound reached the destination.
        EXPECT_LE(sink.maxWritten, c.bound.maxBytes);
    }
}

constexpr uint64_t kEndless = ~0ull;
constexpr uint64_t kRead = 32768;
constexpr uint64_t kGiB = 1ull << 30;

INSTANTIATE_TEST_SUITE_P(
    Cases, BodyReads,
    testing::Values(
        ReadCase{"ListedSizeMet", {100000, true}, kUnknownLength, 100000, 1, kRead, true, 0, true},
        ReadCase{"ListedSizeMetAsAnnounced", {100000, true}, 100000, 100000, 1, kRead, true, 0, true},
        ReadCase{"EndlessPastListedSize", {100000, true}, kUnknownLength, kEndless, 1, kRead, false, kErrorBodyTooLong, true},
        ReadCase{"OneByteOverListedSize", {100000, true}, kUnknownLength, 100001, 1, kRead, false, kErrorBodyTooLong, true},
        ReadCase{"ShorterThanListedSize", {100000, true}, kUnknownLength, 99999, 1, kRead, false, kErrorConnectionAborted,
                 true},
        ReadCase{"EmptyWhereSizeListed", {100000, true}, kUnknownLength, 0, 1, kRead, false, kErrorConnectionAborted, true},
        ReadCase{"EmptyListedAsEmpty", {0, true}, kUnknownLength, 0, 1, kRead, true, 0, true},
        // The announced length settles it before a destination exists.
        ReadCase{"AnnouncedLongerThanListed", {100000, true}, 100001, 100001, 1, kRead, false, kErrorBodyTooLong, false},
        ReadCase{"AnnouncedShorterThanListed", {100000, true}, 99999, 99999, 1, kRead, false, kErrorBodyTooLong, false},
        ReadCase{"AnnouncedPastCap", {kGiB, false}, kGiB + 1, kGiB + 1, 1, kRead, false, kErrorBodyTooLong, false},
        ReadCase{"LongerThanAnnounced", {100000, false}, 50000, 60000, 1, kRead, false, kErrorBodyTooLong, true},
        // Without a listed size: anything up to the cap.
        ReadCase{"UnsizedUnderCap", {100000, false}, kUnknownLength, 70000, 1, kRead, true, 0, true},
        ReadCase{"UnsizedAtCap", {100000, false}, kUnknownLength, 100000, 1, kRead, true, 0, true},
        ReadCase{"UnsizedEndless", {100000, false}, kUnknownLength, kEndless, 1, kRead, false, kErrorBodyTooLong, true},
        // Bounds at the gigabyte, read without reading a gigabyte: the
        // scripted reads cost nothing.
        ReadCase{"EndlessAtTheRealCap", {kGiB, false}, kUnknownLength, kEndless, 0, kRead, false, kErrorBodyTooLong, true},
        // A trickle of a few bytes per read, 10 s apart, inside every time-out.
        ReadCase{"Trickle", {kGiB, false}, kUnknownLength, kEndless, 10000, 1, false, kErrorTooSlow, true}),
    [](const testing::TestParamInfo<ReadCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quilmo
