#include "pipeline/download_ahead.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

// A fetch whose files each wait for the test to open their gate (or for the
// stop), then land in a temporary file holding their index.
class GatedFetches {
public:
    explicit GatedFetches(const std::wstring& dir) : dir_(dir) {}

    FetchFn Fn() {
        return [this](size_t index, const std::atomic<bool>& stop) { return Fetch(index, stop); };
    }
    void Open(size_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.insert(index);
        changed_.notify_all();
    }
    void WaitFinished(const std::set<size_t>& indexes) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return AllFinished(indexes); });
    }
    // False when they did not all finish within the time.
    bool WaitFinishedFor(const std::set<size_t>& indexes, std::chrono::milliseconds time) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, time, [&] { return AllFinished(indexes); });
    }
    std::map<size_t, int> Started() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }
    size_t MostAtOnce() {
        std::lock_guard<std::mutex> lock(mutex_);
        return mostAtOnce_;
    }
    std::wstring TemporaryOf(size_t index) const { return dir_ + L"\\" + std::to_wstring(index) + L".tmp"; }

private:
    bool AllFinished(const std::set<size_t>& indexes) const {
        for (size_t i : indexes) {
            if (finished_.count(i) == 0) return false;
        }
        return true;
    }
    FetchedFile Fetch(size_t index, const std::atomic<bool>& stop) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++started_[index];
        ++running_;
        if (running_ > mostAtOnce_) mostAtOnce_ = running_;
        // The stop flag is not ours to be told about: look at it now and then.
        while (open_.count(index) == 0 && !stop) changed_.wait_for(lock, std::chrono::milliseconds(20));
        FetchedFile result;
        if (open_.count(index) > 0 && !stop) {
            result.temporary = TemporaryOf(index);
            result.ok = WriteBytes(result.temporary, std::to_string(index));
            result.sha256 = std::to_string(index);
        }
        --running_;
        finished_.insert(index);
        changed_.notify_all();
        return result;
    }

    std::wstring dir_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<size_t> open_;
    std::set<size_t> finished_;
    std::map<size_t, int> started_;
    size_t running_ = 0;
    size_t mostAtOnce_ = 0;
};

// Later files finish first, yet results come in list order, nothing beyond
// the window starts while the walk waits, and every file is fetched once.
TEST(DownloadAhead, TakesInListOrderWithinTheWindowAndFetchesEachFileOnce) {
    ScratchDir scratch;
    GatedFetches fetches(scratch.path());
    for (size_t i : {1, 2, 3, 4, 5}) fetches.Open(i);
    DownloadAhead ahead(6, fetches.Fn(), 4, 4);
    EXPECT_TRUE(fetches.Started().empty()) << "nothing is fetched before the first file is asked for";

    std::thread opener([&] {
        fetches.WaitFinished({1, 2, 3});
        fetches.Open(0);
    });
    FetchedFile first = ahead.Take(0, 0);
    opener.join();
    EXPECT_TRUE(first.ok);
    EXPECT_EQ(first.sha256, "0");
    // File 0 has been taken but file 1 not yet asked for: 4 stays unstarted.
    EXPECT_EQ(fetches.Started(), (std::map<size_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));

    for (size_t i = 1; i < 6; ++i) {
        FetchedFile next = ahead.Take(i, i);  // the reach stays at its most, 4
        EXPECT_TRUE(next.ok) << i;
        EXPECT_EQ(next.sha256, std::to_string(i));
        EXPECT_EQ(next.temporary, fetches.TemporaryOf(i));
    }
    std::map<size_t, int> once;
    for (size_t i = 0; i < 6; ++i) once[i] = 1;
    EXPECT_EQ(fetches.Started(), once);
    EXPECT_LE(fetches.MostAtOnce(), 4u);
    EXPECT_FALSE(ahead.Take(3, 6).ok) << "a file is handed out once";
    ahead.Stop();
    for (size_t i = 0; i < 6; ++i) EXPECT_TRUE(Exists(fetches.TemporaryOf(i))) << "taken files belong to the walk";
}

// Before the walk has accepted a file, fetches reach no further than the
// connections: a release whose first files fail is not fetched far ahead of
// the abort.
TEST(DownloadAhead, NothingAcceptedYetKeepsTheReachToTheConnections) {
    ScratchDir scratch;
    GatedFetches fetches(scratch.path());
    for (size_t i = 0; i < 10; ++i) fetches.Open(i);
    DownloadAhead ahead(10, fetches.Fn(), 2, 6);
    ASSERT_TRUE(ahead.Take(0, 0).ok);
    fetches.WaitFinished({1});
    EXPECT_EQ(fetches.Started(), (std::map<size_t, int>{{0, 1}, {1, 1}}));
}

// Once files are accepted, a file that takes long holds up only its own
// connection: the other goes on through the files after it, two at most at
// once, as far as the reach and no further.
TEST(DownloadAhead, ASlowFileLetsTheOtherConnectionFetchOnUpToTheReach) {
    ScratchDir scratch;
    GatedFetches fetches(scratch.path());
    for (size_t i = 0; i < 12; ++i) {
        if (i != 4) fetches.Open(i);
    }
    DownloadAhead ahead(12, fetches.Fn(), 2, 6);
    for (size_t i = 0; i < 4; ++i) ASSERT_TRUE(ahead.Take(i, i).ok) << i;
    bool othersWentOn = false;
    std::thread opener([&] {
        othersWentOn = fetches.WaitFinishedFor({5, 6, 7, 8, 9}, std::chrono::seconds(5));
        fetches.Open(4);
    });
    FetchedFile slow = ahead.Take(4, 4);  // the reach at its most, 6: files 4 to 9
    opener.join();
    ASSERT_TRUE(slow.ok);
    EXPECT_TRUE(othersWentOn) << "files 5 to 9 were not fetched while file 4 was held up";
    EXPECT_EQ(fetches.Started().count(10), 0u) << "file 10 lies beyond the reach while file 4 is taken";
    for (size_t i = 5; i < 12; ++i) {
        FetchedFile next = ahead.Take(i, i);
        EXPECT_TRUE(next.ok) << i;
        EXPECT_EQ(next.sha256, std::to_string(i));
    }
    EXPECT_EQ(fetches.MostAtOnce(), 2u);
}

// An abort or a cancellation: the fetch under way ends, the files fetched
// ahead but not taken are removed, and nothing new starts.
TEST(DownloadAhead, StopEndsFetchesRemovesUntakenFilesAndStartsNoMore) {
    ScratchDir scratch;
    GatedFetches fetches(scratch.path());
    for (size_t i : {0, 1, 2}) fetches.Open(i);  // 3 never finishes by itself
    DownloadAhead ahead(8, fetches.Fn(), 4, 4);
    FetchedFile first = ahead.Take(0, 0);
    ASSERT_TRUE(first.ok);
    fetches.WaitFinished({1, 2});
    ASSERT_TRUE(Exists(fetches.TemporaryOf(1)));
    ahead.Stop();
    EXPECT_TRUE(Exists(fetches.TemporaryOf(0)));
    EXPECT_FALSE(Exists(fetches.TemporaryOf(1)));
    EXPECT_FALSE(Exists(fetches.TemporaryOf(2)));
    EXPECT_FALSE(Exists(fetches.TemporaryOf(3)));
    EXPECT_FALSE(ahead.Take(4, 1).ok);
    EXPECT_EQ(fetches.Started(), (std::map<size_t, int>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
}

// A walk that stops before its first file starts no fetch at all.
TEST(DownloadAhead, StoppedBeforeTheFirstFileFetchesNothing) {
    ScratchDir scratch;
    GatedFetches fetches(scratch.path());
    {
        DownloadAhead ahead(5, fetches.Fn(), 4);
        ahead.Stop();
        EXPECT_FALSE(ahead.Take(0, 0).ok);
    }
    EXPECT_TRUE(fetches.Started().empty());
}

}  // namespace
}  // namespace quilmo
