#include "manifest/http_client.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "files/unique_handle.h"
#include "manifest/http_attempt.h"
#include "manifest/http_series.h"
#include "manifest/manifest_shape.h"
#include "manifest/sha256.h"
#include "manifest/transfer_limits.h"
#include "manifest/windows_version.h"

namespace quilmo {

const wchar_t kUserAgent[] = L"Quilmo-Installer/2026";

namespace {

uint64_t TickMs() { return GetTickCount64(); }

// Time-outs and read sizes per transfer kind and stack, with the body's
// bound and the pace it must keep.
AttemptSettings Settings(unsigned timeoutMs, size_t readSize, BodyBound bound) {
    const TransferLimits& limits = CurrentTransferLimits();
    return {timeoutMs, readSize, bound, limits.paceWindowMs, limits.paceMinBytes, TickMs};
}
AttemptSettings MemoryOverWinHttp(BodyBound bound) { return Settings(15000, 8192, bound); }
AttemptSettings MemoryOverWinInet(BodyBound bound) { return Settings(20000, 4096, bound); }
AttemptSettings FileOverEither(BodyBound bound) { return Settings(30000, 32768, bound); }

// Holds a body of at most maxBytes (the reader stops before more). The
// buffer grows by doubling but never beyond the bound, so a body at the
// bound costs its own size and the half-size buffer it grew out of.
class MemorySink : public BodySink {
public:
    MemorySink(bool requireManifestShape, uint64_t maxBytes)
        : requireManifestShape_(requireManifestShape), maxBytes_(maxBytes) {}
    bool Begin() override {
        body_.clear();
        return true;
    }
    bool Write(const char* data, size_t size) override {
        const size_t needed = body_.size() + size;
        if (needed > body_.capacity()) {
            uint64_t grown = std::max<uint64_t>(needed, 2 * static_cast<uint64_t>(body_.capacity()));
            body_.reserve(static_cast<size_t>(std::min<uint64_t>(grown, std::max<uint64_t>(maxBytes_, needed))));
        }
        body_.append(data, size);
        return true;
    }
    void Discard() override { std::string().swap(body_); }
    bool Accept() override {
        bool accepted = !body_.empty() && (!requireManifestShape_ || HasManifestShape(body_));
        if (!accepted) body_.clear();
        return accepted;
    }
    std::string Take() { return std::move(body_); }

private:
    bool requireManifestShape_;
    uint64_t maxBytes_;
    std::string body_;
};

// The destination is created only once a request succeeded, and deleted
// when that attempt fails later, so no partial file is ever left behind.
// With a digest stream, every byte written is hashed as well, on the
// stream's own thread; a restarted attempt restarts the digest. Reads hand
// over whatever has arrived, often a few kilobytes: those pieces are
// gathered into blocks before they are written and hashed. Once the caller
// asks it to stop, no file is begun and the next write fails.
class FileSink : public BodySink {
public:
    static constexpr size_t kBlock = 128 * 1024;

    explicit FileSink(const std::wstring& path, Sha256Stream* digest = nullptr, const std::atomic<bool>* stop = nullptr)
        : path_(path), digest_(digest), stop_(stop) {}
    bool Begin() override {
        if (digest_ != nullptr) digest_->Reset();
        pending_.clear();
        if (Stopped()) return false;
        file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file_.valid()) pending_.reserve(kBlock);
        return file_.valid();
    }
    bool Write(const char* data, size_t size) override {
        if (Stopped()) return false;
        pending_.insert(pending_.end(), data, data + size);
        return pending_.size() < kBlock || Flush();
    }
    void Discard() override {
        if (digest_ != nullptr) digest_->Reset();
        pending_.clear();
        if (!file_) return;
        file_.reset();
        DeleteFileW(path_.c_str());
    }
    bool Accept() override {
        if (!Flush()) {
            DWORD error = GetLastError();
            Discard();
            SetLastError(error);
            return false;
        }
        file_.reset();
        return true;
    }

private:
    bool Flush() {
        if (pending_.empty()) return true;
        DWORD written = 0;
        if (!WriteFile(file_.get(), pending_.data(), static_cast<DWORD>(pending_.size()), &written, nullptr)) return false;
        if (written != pending_.size()) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        if (digest_ != nullptr) digest_->Add(pending_.data(), pending_.size());
        pending_.clear();
        return true;
    }
    bool Stopped() const {
        if (stop_ == nullptr || !stop_->load()) return false;
        SetLastError(ERROR_CANCELLED);
        return true;
    }
    std::wstring path_;
    Sha256Stream* digest_;
    const std::atomic<bool>* stop_;
    UniqueFile file_;
    std::vector<char> pending_;
};

// Runs the attempts of a series; once the caller asks it to stop, every
// further attempt fails at once without a request and pauses end early.
class SystemAttemptRunner : public AttemptRunner {
public:
    SystemAttemptRunner(BodySink& sink, AttemptSettings overWinHttp, AttemptSettings overWinInet,
                        const std::atomic<bool>* stop = nullptr)
        : sink_(sink), overWinHttp_(overWinHttp), overWinInet_(overWinInet), stop_(stop) {}

    AttemptResult WinHttpAttempt(const std::string& url, bool useSystemProxy, TransportMode mode) override {
        if (Stopped()) return Cancelled();
        return RunWinHttpAttempt(url, useSystemProxy, mode, overWinHttp_, sink_);
    }
    AttemptResult WinInetAttempt(const std::string& url, TransportMode mode) override {
        if (Stopped()) return Cancelled();
        return RunWinInetAttempt(url, mode, overWinInet_, sink_);
    }
    void Pause(unsigned milliseconds) override {
        constexpr unsigned kSlice = 50;
        for (unsigned waited = 0; waited < milliseconds && !Stopped(); waited += kSlice) {
            Sleep(milliseconds - waited < kSlice ? milliseconds - waited : kSlice);
        }
    }
    bool IsWindows81OrLater() override { return quilmo::IsWindows81OrLater(); }

private:
    bool Stopped() const { return stop_ != nullptr && stop_->load(); }
    static AttemptResult Cancelled() {
        AttemptResult result;
        result.status.error = ERROR_CANCELLED;
        return result;
    }
    BodySink& sink_;
    AttemptSettings overWinHttp_;
    AttemptSettings overWinInet_;
    const std::atomic<bool>* stop_;
};

}  // namespace

std::string FetchText(const std::string& url, bool requireManifestShape, uint64_t maxBytes) {
    const BodyBound bound = {maxBytes, false};
    MemorySink sink(requireManifestShape, maxBytes);
    SystemAttemptRunner runner(sink, MemoryOverWinHttp(bound), MemoryOverWinInet(bound));
    if (!RunFetchSeries(runner, url)) return std::string();
    return sink.Take();
}

bool DownloadFile(const std::string& url, const std::wstring& destinationPath,
                  const std::optional<uint64_t>& listedSize) {
    const BodyBound bound = FileBodyBound(listedSize);
    FileSink sink(destinationPath);
    SystemAttemptRunner runner(sink, FileOverEither(bound), FileOverEither(bound));
    return RunFetchSeries(runner, url);
}

bool DownloadFile(const std::string& url, const std::wstring& destinationPath, Sha256Stream& digest,
                  std::string& sha256, const std::optional<uint64_t>& listedSize, const std::atomic<bool>* stop) {
    const BodyBound bound = FileBodyBound(listedSize);
    if (!digest.Running()) {  // hash the finished file instead
        FileSink sink(destinationPath, nullptr, stop);
        SystemAttemptRunner runner(sink, FileOverEither(bound), FileOverEither(bound), stop);
        bool ok = RunFetchSeries(runner, url);
        sha256 = ok ? Sha256OfFile(destinationPath) : std::string();
        return ok;
    }
    FileSink sink(destinationPath, &digest, stop);
    SystemAttemptRunner runner(sink, FileOverEither(bound), FileOverEither(bound), stop);
    bool ok = RunFetchSeries(runner, url);
    std::string computed = digest.Finish();
    sha256 = ok ? computed : std::string();
    return ok;
}

}  // namespace quilmo
