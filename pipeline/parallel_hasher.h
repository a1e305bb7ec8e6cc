// Hashes a run's files on every processor, in list order, while the verify
// step walks the list: that step then only waits for the digest it needs next
// and still checks, reports and decides file by file.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "files/unique_handle.h"

namespace quilmo {

class ParallelFileHasher {
public:
    // An empty path is skipped (its digest is empty).
    explicit ParallelFileHasher(std::vector<std::wstring> paths);
    ~ParallelFileHasher();  // stops the workers after their current file
    ParallelFileHasher(const ParallelFileHasher&) = delete;
    ParallelFileHasher& operator=(const ParallelFileHasher&) = delete;

    // Sha256OfFile of paths[index]; waits until it is known.
    std::string Digest(size_t index);

    // Lets every worker finish its current file and end; no later digest is
    // computed. The destructor does this too.
    void Stop();
    size_t HashedCount() const { return hashed_; }

private:
    static DWORD WINAPI WorkerRoutine(LPVOID self);
    void Work();

    std::vector<std::wstring> paths_;
    std::vector<std::string> digests_;
    std::unique_ptr<std::atomic<bool>[]> done_;
    std::atomic<size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::atomic<size_t> hashed_{0};
    UniqueHandle finished_;  // set after every digest
    std::vector<UniqueHandle> workers_;
};

}  // namespace quilmo
