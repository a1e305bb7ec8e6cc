// Fetches the files of the download step ahead of the step itself, a few at
// once, each on its own thread and connection, into a temporary name. The
// step still takes the results one by one in list order and decides, logs
// and counts exactly as it would for a file it had just fetched itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quilmo {

struct FetchedFile {
    bool ok = false;
    std::string sha256;      // of the bytes written; empty when not ok
    std::wstring temporary;  // where they were written; nothing is left there when not ok
};

// Fetches file `index` into its temporary name; ends soon once stop is set.
using FetchFn = std::function<FetchedFile(size_t index, const std::atomic<bool>& stop)>;

class DownloadAhead {
public:
    static constexpr size_t kAtOnce = 4;  // files fetched at once, each on its own connection
    // How far past the file being taken fetches may reach at most: a large
    // file then holds up only its own connection while the others go on with
    // the files after it.
    static constexpr size_t kMostReach = 64;

    // Nothing is fetched before the first Take.
    DownloadAhead(size_t count, FetchFn fetch, size_t atOnce = kAtOnce, size_t mostReach = kMostReach);
    ~DownloadAhead();  // Stop()
    DownloadAhead(const DownloadAhead&) = delete;
    DownloadAhead& operator=(const DownloadAhead&) = delete;

    // The result of file `index`, waiting for it; indexes are taken in
    // order, each once. `accepted` is how many files the walk has accepted so
    // far. Until the next Take, files up to index + reach - 1 may be fetched,
    // none beyond, where the reach is atOnce plus four for every accepted
    // file, up to mostReach: a release that fails early is fetched no further
    // ahead than its connections, so an abort or a cancellation wastes little.
    FetchedFile Take(size_t index, size_t accepted);

    // Stops the fetches under way, waits for them and removes every
    // temporary file not taken. No fetch starts afterwards.
    void Stop();

private:
    struct Slot {
        bool started = false;
        bool done = false;
        bool taken = false;
        FetchedFile result;
    };
    void Start();
    void Work();

    size_t count_;
    size_t atOnce_;
    size_t mostReach_;
    size_t reach_;  // as of the last Take
    FetchFn fetch_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> slots_;
    size_t window_ = 0;  // the index asked for last
    size_t next_ = 0;    // next index to start
    bool started_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace quilmo
