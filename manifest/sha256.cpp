#include "manifest/sha256.h"

#include <windows.h>
#include "files/wincrypt_plain.h"

#include <array>
#include <atomic>
#include <memory>
#include <system_error>

#include "files/unique_handle.h"
#include "manifest/sha256_blocks.h"

namespace quilmo {

namespace {

const char kLowerDigits[] = "0123456789abcdef";
const char kUpperDigits[] = "0123456789ABCDEF";

std::atomic<Sha256Engine> gEngine{Sha256Engine::kFastest};

bool UseProcessorEngine() {
    static const bool available = ProcessorHasShaExtensions();
    return available && gEngine.load() == Sha256Engine::kFastest;
}

// One running SHA-256 computation: on the processor's SHA extensions where
// it has them (several times faster than the system's hashing under some
// systems), through CryptoAPI otherwise.
class Sha256 {
public:
    Sha256() : onProcessor_(UseProcessorEngine()) {
        if (!onProcessor_ && CryptAcquireContextW(provider_.put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
            CryptCreateHash(provider_.get(), CALG_SHA_256, 0, 0, hash_.put());
        }
    }
    bool Ok() const { return onProcessor_ || hash_.valid(); }
    bool Add(const BYTE* data, size_t size) {
        if (onProcessor_) {
            blocks_.Add(data, size);
            return true;
        }
        constexpr size_t kSlice = 1u << 30;  // CryptHashData takes a 32-bit length
        for (size_t at = 0; at < size; at += kSlice) {
            DWORD piece = static_cast<DWORD>(size - at < kSlice ? size - at : kSlice);
            if (!CryptHashData(hash_.get(), data + at, piece, 0)) return false;
        }
        return true;
    }
    std::string Hex(const char* digits) {
        std::array<uint8_t, 32> digest;
        if (onProcessor_) {
            digest = blocks_.Finish();
        } else {
            DWORD size = static_cast<DWORD>(digest.size());
            if (!CryptGetHashParam(hash_.get(), HP_HASHVAL, digest.data(), &size, 0) || size != digest.size()) {
                return std::string();
            }
        }
        std::string hex;
        for (uint8_t b : digest) {
            hex += digits[b >> 4];
            hex += digits[b & 0x0F];
        }
        return hex;
    }

private:
    bool onProcessor_;
    Sha256Blocks blocks_;
    UniqueCryptContext provider_;
    UniqueCryptHash hash_;
};

// Hashes what `read` delivers until it reports the end (0 bytes).
std::string HashStream(HANDLE file, DWORD blockSize) {
    Sha256 sha;
    if (!sha.Ok()) return std::string();
    std::unique_ptr<BYTE[]> block(new BYTE[blockSize]);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, block.get(), blockSize, &read, nullptr)) return std::string();
        if (read == 0) return sha.Hex(kLowerDigits);
        if (!sha.Add(block.get(), read)) return std::string();
    }
}

bool RewindFile(HANDLE file) {
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
}

}  // namespace

void SetSha256Engine(Sha256Engine engine) { gEngine.store(engine); }

std::string Sha256OfFile(const std::wstring& path) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    return HashStream(file.get(), 65536);
}

std::string Sha256OfHandle(HANDLE file) {
    if (file == nullptr || file == INVALID_HANDLE_VALUE || !RewindFile(file)) return std::string();
    std::string digest = HashStream(file, 32768);
    if (!RewindFile(file)) return std::string();
    return digest;
}

std::string Sha256OfBytes(const std::string& bytes) {
    if (bytes.empty()) return std::string();
    Sha256 sha;
    if (!sha.Ok() || !sha.Add(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size())) return std::string();
    return sha.Hex(kUpperDigits);
}

class Sha256Hash::Engine : public Sha256 {};

Sha256Hash::Sha256Hash() : engine_(new Engine) { failed_ = !engine_->Ok(); }
Sha256Hash::~Sha256Hash() = default;

bool Sha256Hash::Add(const void* data, size_t size) {
    if (!failed_) failed_ = !engine_->Add(static_cast<const BYTE*>(data), size);
    return !failed_;
}

std::string Sha256Hash::Finish() { return failed_ ? std::string() : engine_->Hex(kLowerDigits); }

namespace {

// A queue this deep keeps the hashing thread busy without holding more than
// about a megabyte of a download in memory.
constexpr size_t kMaxQueuedChunks = 32;

}  // namespace

Sha256Stream::Sha256Stream() {
    // On the processor's extensions hashing costs less than handing the
    // bytes to another thread, so it happens right where they are written.
    if (UseProcessorEngine()) {
        inline_ = std::make_unique<Sha256Hash>();
        return;
    }
    try {
        worker_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
        // No thread to spare: Running() tells the caller to hash the file itself.
    }
}

bool Sha256Stream::Running() const { return inline_ != nullptr || worker_.joinable(); }

Sha256Stream::~Sha256Stream() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void Sha256Stream::Push(Item item) {
    if (!Running()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return queue_.size() < kMaxQueuedChunks; });
    queue_.push_back(std::move(item));
    changed_.notify_all();
}

void Sha256Stream::Reset() {
    if (inline_ != nullptr) {
        inline_ = std::make_unique<Sha256Hash>();
        return;
    }
    Push({Item::kReset, std::string()});
}

void Sha256Stream::Add(const char* data, size_t size) {
    if (inline_ != nullptr) {
        inline_->Add(data, size);
        return;
    }
    if (size > 0) Push({Item::kData, std::string(data, size)});
}

std::string Sha256Stream::Finish() {
    if (inline_ != nullptr) {
        std::string digest = inline_->Finish();
        inline_ = std::make_unique<Sha256Hash>();
        return digest;
    }
    if (!Running()) return std::string();
    Push({Item::kFinish, std::string()});
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return resultReady_; });
    resultReady_ = false;
    return std::move(result_);
}

void Sha256Stream::Work() {
    auto sha = std::make_unique<Sha256>();
    bool failed = !sha->Ok();
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_) return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        changed_.notify_all();  // room in the queue
        if (item.kind == Item::kData) {
            failed = failed || !sha->Add(reinterpret_cast<const BYTE*>(item.bytes.data()), item.bytes.size());
            continue;
        }
        std::string digest = (item.kind == Item::kFinish && !failed) ? sha->Hex(kLowerDigits) : std::string();
        sha = std::make_unique<Sha256>();
        failed = !sha->Ok();
        if (item.kind == Item::kFinish) {
            std::lock_guard<std::mutex> lock(mutex_);
            result_ = std::move(digest);
            resultReady_ = true;
            changed_.notify_all();
        }
    }
}

}  // namespace quilmo
