#include "pipeline/parallel_hasher.h"

#include "manifest/sha256.h"

namespace quilmo {

namespace {

size_t WorkerCount(size_t files) {
    SYSTEM_INFO info = {};
    GetSystemInfo(&info);
    size_t processors = info.dwNumberOfProcessors == 0 ? 1 : info.dwNumberOfProcessors;
    size_t count = processors < 4 ? processors : 4;
    return count < files ? count : files;
}

}  // namespace

ParallelFileHasher::ParallelFileHasher(std::vector<std::wstring> paths)
    : paths_(std::move(paths)), digests_(paths_.size()), done_(new std::atomic<bool>[paths_.size()]) {
    for (size_t i = 0; i < paths_.size(); ++i) done_[i] = false;
    finished_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!finished_) return;  // the caller then hashes each file itself
    size_t count = WorkerCount(paths_.size());
    for (size_t i = 0; i < count; ++i) {
        UniqueHandle worker(CreateThread(nullptr, 0, WorkerRoutine, this, 0, nullptr));
        if (worker) workers_.push_back(std::move(worker));
    }
}

ParallelFileHasher::~ParallelFileHasher() { Stop(); }

void ParallelFileHasher::Stop() {
    stop_ = true;
    for (UniqueHandle& worker : workers_) WaitForSingleObject(worker.get(), INFINITE);
    workers_.clear();
}

DWORD WINAPI ParallelFileHasher::WorkerRoutine(LPVOID self) {
    static_cast<ParallelFileHasher*>(self)->Work();
    return 0;
}

void ParallelFileHasher::Work() {
    while (!stop_) {
        size_t index = next_++;
        if (index >= paths_.size()) return;
        if (!paths_[index].empty()) digests_[index] = Sha256OfFile(paths_[index]);
        ++hashed_;
        done_[index] = true;
        SetEvent(finished_.get());
    }
}

std::string ParallelFileHasher::Digest(size_t index) {
    if (index >= paths_.size() || paths_[index].empty()) return std::string();
    if (done_[index]) return digests_[index];
    if (workers_.empty()) return Sha256OfFile(paths_[index]);
    while (!done_[index]) WaitForSingleObject(finished_.get(), 50);
    return digests_[index];
}

}  // namespace quilmo
