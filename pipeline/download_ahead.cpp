#include "pipeline/download_ahead.h"

#include <windows.h>

#include <system_error>

namespace quilmo {

DownloadAhead::DownloadAhead(size_t count, FetchFn fetch, size_t atOnce, size_t mostReach)
    : count_(count),
      atOnce_(atOnce == 0 ? 1 : atOnce),
      mostReach_(mostReach < atOnce_ ? atOnce_ : mostReach),
      reach_(atOnce_),
      fetch_(std::move(fetch)),
      slots_(count) {}

DownloadAhead::~DownloadAhead() { Stop(); }

void DownloadAhead::Start() {
    started_ = true;
    size_t threads = atOnce_ < count_ ? atOnce_ : count_;
    for (size_t i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
            break;  // fewer fetches at once; with none, Take fetches itself
        }
    }
}

void DownloadAhead::Work() {
    for (;;) {
        size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || next_ >= count_ || next_ < window_ + reach_; });
            if (stop_ || next_ >= count_) return;
            index = next_++;
            slots_[index].started = true;
        }
        FetchedFile result = fetch_(index, stop_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slots_[index].result = std::move(result);
            slots_[index].done = true;
        }
        changed_.notify_all();
    }
}

FetchedFile DownloadAhead::Take(size_t index, size_t accepted) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (index >= count_ || slots_[index].taken || stop_) return FetchedFile();
    if (!started_) Start();
    if (index > window_) window_ = index;
    reach_ = accepted < (mostReach_ - atOnce_) / 4 ? atOnce_ + 4 * accepted : mostReach_;
    changed_.notify_all();
    if (workers_.empty() && !slots_[index].started) {  // no thread to spare: fetch it here
        slots_[index].started = true;
        if (next_ <= index) next_ = index + 1;
        lock.unlock();
        FetchedFile result = fetch_(index, stop_);
        lock.lock();
        slots_[index].result = std::move(result);
        slots_[index].done = true;
    }
    changed_.wait(lock, [&] { return slots_[index].done; });
    // The window moves on only when the next file is asked for, so a step
    // that stops after this file has started nothing beyond its reach.
    slots_[index].taken = true;
    return slots_[index].result;
}

void DownloadAhead::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    for (Slot& slot : slots_) {
        if (slot.done && !slot.taken && slot.result.ok && !slot.result.temporary.empty()) {
            DeleteFileW(slot.result.temporary.c_str());
        }
        slot.taken = true;
    }
}

}  // namespace quilmo
