// A text that one thread writes while another paints it. The copy handed out
// is the reader's own, so a paint never reads a string being reallocated.
#pragma once

#include <mutex>
#include <string>

namespace quilmo {

template <typename Text>
class SharedText {
public:
    SharedText() = default;
    explicit SharedText(Text initial) : value_(std::move(initial)) {}

    Text Get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    void Set(Text value) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(value);
    }

private:
    mutable std::mutex mutex_;
    Text value_;
};

}  // namespace quilmo
