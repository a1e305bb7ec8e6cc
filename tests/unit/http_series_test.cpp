// The order of attempts, proved with scripted attempt results where Wine
// cannot produce the Windows errors (TLS failures on Windows 7).
#include "manifest/http_series.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace quilmo {
namespace {

// Answers attempts from a script and records what was attempted.
class ScriptedRunner : public AttemptRunner {
public:
    ScriptedRunner(bool windows81, std::deque<AttemptResult> script)
        : windows81_(windows81), script_(std::move(script)) {}

    AttemptResult WinHttpAttempt(const std::string& url, bool useSystemProxy, TransportMode mode) override {
        return Next(std::string(useSystemProxy ? "proxy" : "direct") + Describe(url, mode));
    }
    AttemptResult WinInetAttempt(const std::string& url, TransportMode mode) override {
        return Next("wininet" + Describe(url, mode));
    }
    void Pause(unsigned milliseconds) override { log.push_back("pause " + std::to_string(milliseconds)); }
    bool IsWindows81OrLater() override { return windows81_; }

    std::vector<std::string> log;

private:
    static std::string Describe(const std::string& url, TransportMode mode) {
        return " " + std::to_string(static_cast<int>(mode)) + " " + url.substr(0, url.find(':'));
    }
    AttemptResult Next(const std::string& entry) {
        log.push_back(entry);
        if (script_.empty()) return AttemptResult{};
        AttemptResult next = script_.front();
        script_.pop_front();
        return next;
    }
    bool windows81_;
    std::deque<AttemptResult> script_;
};

AttemptResult Fail(uint32_t error, uint32_t httpStatus = 0) {
    AttemptResult r;
    r.status.error = error;
    r.status.httpStatus = httpStatus;
    return r;
}
AttemptResult Ok() {
    AttemptResult r;
    r.succeeded = true;
    r.status.httpStatus = 200;
    return r;
}

const std::vector<std::string> kStrictSeries = {"proxy 0 https", "pause 500", "proxy 0 https", "direct 0 https",
                                                "wininet 0 https"};
const std::vector<std::string> kTolerantSeries = {"proxy 1 https", "direct 1 https", "wininet 1 https"};
const std::vector<std::string> kPlainSeries = {"proxy 2 http", "direct 2 http", "wininet 2 http"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct SeriesCase {
    const char* name;
    bool windows81;
    std::deque<AttemptResult> script;  // missing attempts fail with no error
    bool expectedSuccess;
    std::vector<std::string> expectedAttempts;
};

class FetchSeriesTable : public testing::TestWithParam<SeriesCase> {};

TEST_P(FetchSeriesTable, TriesInOrderAndStopsWhereItMust) {
    const SeriesCase& c = GetParam();
    ScriptedRunner runner(c.windows81, c.script);
    EXPECT_EQ(RunFetchSeries(runner, "https://localhost/x"), c.expectedSuccess);
    EXPECT_EQ(runner.log, c.expectedAttempts);
}

const AttemptResult kChannel = Fail(kErrorSecureChannel);
const AttemptResult kInvalidCa = Fail(kErrorSecureInvalidCa);
const AttemptResult kNotFound = Fail(0, 404);

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchSeriesTable,
    testing::Values(
        SeriesCase{"FirstAttemptWins", true, {Ok()}, true, {"proxy 0 https"}},
        SeriesCase{"WinInetLastResort", true, {Fail(12029), Fail(12029), Fail(12029), Ok()}, true, kStrictSeries},
        SeriesCase{"Win10TlsFailureStopsAfterStrict", true, {kChannel, kChannel, kChannel, kChannel}, false,
                   kStrictSeries},
        SeriesCase{"Win7ChannelErrorDegradesTwice",
                   false,
                   {kChannel, kChannel, kChannel, kChannel, kChannel, kChannel, kChannel, Ok()},
                   true,
                   Join({kStrictSeries, kTolerantSeries, {"proxy 2 http"}})},
        SeriesCase{"Win7UntrustedRootNeverReachesHttp",
                   false,
                   {kInvalidCa, kInvalidCa, kInvalidCa, kInvalidCa, kInvalidCa, kInvalidCa, kInvalidCa},
                   false,
                   Join({kStrictSeries, kTolerantSeries})},
        SeriesCase{"Win7UntrustedRootThenTolerated",
                   false,
                   {kInvalidCa, kInvalidCa, kInvalidCa, kInvalidCa, Fail(12029), Ok()},
                   true,
                   Join({kStrictSeries, {"proxy 1 https", "direct 1 https"}})},
        SeriesCase{"Win7NotFoundNeverDegrades", false, {kNotFound, kNotFound, kNotFound, kNotFound}, false,
                   kStrictSeries},
        // A status from any attempt of the series outweighs a TLS error.
        SeriesCase{"Win7StatusOutweighsTlsError", false, {kChannel, kNotFound, kChannel, kChannel}, false,
                   kStrictSeries},
        SeriesCase{"Win7OtherErrorNeverDegrades", false, {Fail(12029), Fail(12029), Fail(12029), Fail(12029)}, false,
                   kStrictSeries},
        // A body past its bound is the server's answer, not a route's failure:
        // no other route or degraded series may fetch it again.
        SeriesCase{"BodyOverBoundEndsTheFetch", true, {Fail(kErrorBodyOverBound), Ok()}, false, {"proxy 0 https"}},
        SeriesCase{"BodyOverBoundAfterARouteFailure", true, {Fail(12029), Fail(kErrorBodyOverBound), Ok()}, false,
                   {"proxy 0 https", "pause 500", "proxy 0 https"}},
        SeriesCase{"Win7BodyOverBoundInDegradedSeriesEndsIt",
                   false,
                   {kChannel, kChannel, kChannel, kChannel, Fail(kErrorBodyOverBound), Ok()},
                   false,
                   Join({kStrictSeries, {"proxy 1 https"}})},
        SeriesCase{"Win7EveryDegradedSeriesFails", false, {kChannel, kChannel, kChannel, kChannel, kChannel, kChannel,
                                                           kChannel}, false,
                   Join({kStrictSeries, kTolerantSeries, kPlainSeries})}),
    [](const testing::TestParamInfo<SeriesCase>& info) { return info.param.name; });

TEST(FetchSeries, RefusesAnythingButHttpsWithoutAnAttempt) {
    for (const char* url : {"http://localhost/x", "https://", "ftp://localhost/x", "", "HTTPS:/x"}) {
        ScriptedRunner runner(false, {Ok()});
        EXPECT_FALSE(RunFetchSeries(runner, url)) << url;
        EXPECT_TRUE(runner.log.empty()) << url;
    }
    ScriptedRunner upper(true, {Ok()});
    EXPECT_TRUE(RunFetchSeries(upper, "HTTPS://localhost/x"));
}

struct MergeCase {
    const char* name;
    TransferStatus series;
    TransferStatus attempt;
    uint32_t expectedError;
    uint32_t expectedHttpStatus;
};

class MergeTable : public testing::TestWithParam<MergeCase> {};

TEST_P(MergeTable, FoldsAttemptIntoSeries) {
    TransferStatus series = GetParam().series;
    MergeAttemptStatus(series, GetParam().attempt);
    EXPECT_EQ(series.error, GetParam().expectedError);
    EXPECT_EQ(series.httpStatus, GetParam().expectedHttpStatus);
}

TransferStatus S(uint32_t error, uint32_t httpStatus = 0) {
    TransferStatus s;
    s.error = error;
    s.httpStatus = httpStatus;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MergeTable,
    testing::Values(MergeCase{"StatusTakesOver", S(12045), S(0, 404), 0, 404},
                    MergeCase{"StatusKeptAgainstErrors", S(0, 404), S(12157), 0, 404},
                    MergeCase{"LaterStatusReplaces", S(5, 500), S(0, 404), 0, 404},
                    MergeCase{"InvalidCaAlwaysReplaces", S(12157), S(12045), 12045, 0},
                    MergeCase{"ChannelReplacesOther", S(12029), S(12157), 12157, 0},
                    MergeCase{"ChannelKeepsInvalidCa", S(12045), S(12175), 12045, 0},
                    MergeCase{"OtherOnlyIntoEmpty", S(0), S(12029), 12029, 0},
                    MergeCase{"OtherDoesNotReplace", S(12157), S(12029), 12157, 0}),
    [](const testing::TestParamInfo<MergeCase>& info) { return info.param.name; });

TEST(FetchSeries, SecureFailureFlagsNameTheCertificateError) {
    EXPECT_EQ(RefineSecureFailure(12175, 0x10 | 0x08), 12038u);  // first match wins
    EXPECT_EQ(RefineSecureFailure(12175, 0x20), 12037u);
    EXPECT_EQ(RefineSecureFailure(12175, 0x04), 12170u);
    EXPECT_EQ(RefineSecureFailure(12175, 0x02), 12169u);
    EXPECT_EQ(RefineSecureFailure(12175, 0x08), 12045u);
    EXPECT_EQ(RefineSecureFailure(12175, 0x40), 12175u);
    EXPECT_EQ(RefineSecureFailure(12175, 0x80000008u), 12175u);  // channel error flag
    EXPECT_EQ(RefineSecureFailure(12175, 0), 12175u);
    EXPECT_EQ(RefineSecureFailure(12157, 0x10), 12157u);
    EXPECT_EQ(DowngradeToHttp("HTTPS://host:1/p?q"), "http://host:1/p?q");
}

}  // namespace
}  // namespace quilmo
