// SHA-256 digests: 64 hexadecimal digits, or empty on any failure.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quilmo {

// Digests come from the processor's SHA extensions where it has them and
// from CryptoAPI otherwise. Tests pin the system's engine to check both;
// the installer never changes it.
enum class Sha256Engine { kFastest, kSystem };
void SetSha256Engine(Sha256Engine engine);

// Lower-case digits; the file is read with others allowed to read it too.
std::string Sha256OfFile(const std::wstring& path);

// Lower-case digits. Reads from the start and leaves the file pointer at the
// start again, so the caller can go on using the same open handle.
std::string Sha256OfHandle(HANDLE file);

// Upper-case digits; empty input gives an empty result (there is nothing a
// caller could pin or compare it against).
std::string Sha256OfBytes(const std::string& bytes);

// A digest taken piece by piece on the caller's thread, for code that
// already holds the bytes (a copy hashes what it writes). Lower-case digits.
class Sha256Hash {
public:
    Sha256Hash();
    ~Sha256Hash();
    Sha256Hash(const Sha256Hash&) = delete;
    Sha256Hash& operator=(const Sha256Hash&) = delete;

    // False once hashing failed; later pieces are then ignored.
    bool Add(const void* data, size_t size);
    // The digest of everything added; empty when any step failed.
    std::string Finish();

private:
    class Engine;
    std::unique_ptr<Engine> engine_;
    bool failed_ = false;
};

// Hashes bytes as the caller produces them, so a download is hashed as it
// arrives instead of being read again afterwards: on the caller's thread
// where the processor hashes fast, on a thread of its own otherwise.
// Lower-case digits, like Sha256OfFile.
class Sha256Stream {
public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    // Whether bytes are being hashed; without a thread to hash on, they are not.
    bool Running() const;
    // Forgets everything added so far.
    void Reset();
    // Queues a copy of the bytes; waits while the queue is full.
    void Add(const char* data, size_t size);
    // The digest of everything added since the last Reset or Finish; empty
    // when hashing failed. Starts the next digest afresh.
    std::string Finish();

private:
    struct Item {
        enum Kind { kData, kReset, kFinish } kind;
        std::string bytes;
    };
    void Push(Item item);
    void Work();

    std::unique_ptr<Sha256Hash> inline_;  // hashing on the caller's thread
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Item> queue_;
    bool stop_ = false;
    bool resultReady_ = false;
    std::string result_;
    std::thread worker_;
};

}  // namespace quilmo
