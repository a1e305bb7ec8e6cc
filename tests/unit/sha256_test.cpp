// SHA-256 of files, open handles and streamed downloads against known
// digests, including inputs that span many read blocks.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "files/unique_handle.h"
#include "manifest/sha256.h"
#include "manifest/sha256_blocks.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::ScratchDir;
using testing_support::WriteBytes;

const char kEmpty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const char kAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char kMillionA[] = "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

struct Vector {
    std::string bytes;
    const char* digest;
};

std::vector<Vector> Vectors() { return {{"", kEmpty}, {"abc", kAbc}, {std::string(1000000, 'a'), kMillionA}}; }

TEST(Sha256, OfFileGivesLowerCaseDigestsAndEmptyForAMissingFile) {
    ScratchDir scratch;
    for (const Vector& v : Vectors()) {
        std::wstring path = scratch / L"input.bin";
        ASSERT_TRUE(WriteBytes(path, v.bytes));
        EXPECT_EQ(Sha256OfFile(path), v.digest) << v.bytes.size() << " bytes";
    }
    EXPECT_EQ(Sha256OfFile(scratch / L"missing.bin"), "");
}

TEST(Sha256, OfHandleRewindsSoTheHandleCanBeUsedAgain) {
    ScratchDir scratch;
    std::wstring path = scratch / L"input.bin";
    ASSERT_TRUE(WriteBytes(path, std::string(1000000, 'a')));
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.valid());
    LARGE_INTEGER middle;
    middle.QuadPart = 12345;
    ASSERT_TRUE(SetFilePointerEx(file.get(), middle, nullptr, FILE_BEGIN));  // hashed from the start regardless
    EXPECT_EQ(Sha256OfHandle(file.get()), kMillionA);
    LARGE_INTEGER zero = {}, position = {};
    ASSERT_TRUE(SetFilePointerEx(file.get(), zero, &position, FILE_CURRENT));
    EXPECT_EQ(position.QuadPart, 0);
    char first[3] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file.get(), first, 3, &read, nullptr));
    EXPECT_EQ(std::string(first, read), "aaa");
    EXPECT_EQ(Sha256OfHandle(file.get()), kMillionA);  // and again
    EXPECT_EQ(Sha256OfHandle(INVALID_HANDLE_VALUE), "");
    EXPECT_EQ(Sha256OfHandle(nullptr), "");
}

// Pins an engine for one test and gives the installer's choice back after.
class EnginePin {
public:
    explicit EnginePin(Sha256Engine engine) { SetSha256Engine(engine); }
    ~EnginePin() { SetSha256Engine(Sha256Engine::kFastest); }
};

// Inline on the processor's engine, on a thread of its own on the system's.
TEST(Sha256, StreamHashesChunksAsTheyComeAndStartsAfreshAfterResetOrFinish) {
    for (Sha256Engine engine : {Sha256Engine::kFastest, Sha256Engine::kSystem}) {
        SCOPED_TRACE(testing::Message() << "engine " << static_cast<int>(engine));
        EnginePin pin(engine);
        Sha256Stream stream;
        ASSERT_TRUE(stream.Running());
        // More chunks than the queue holds, in uneven sizes.
        std::string million(1000000, 'a');
        for (size_t at = 0; at < million.size();) {
            size_t size = std::min<size_t>(million.size() - at, 1 + (at % 7919));
            stream.Add(million.data() + at, size);
            at += size;
        }
        EXPECT_EQ(stream.Finish(), kMillionA);
        EXPECT_EQ(stream.Finish(), kEmpty);  // nothing added since

        stream.Add("partial attempt", 15);
        stream.Reset();  // a download attempt that failed half-way
        stream.Add("ab", 2);
        stream.Add("c", 1);
        EXPECT_EQ(stream.Finish(), kAbc);
    }
}

std::string HashInPieces(const std::string& bytes, std::mt19937& random) {
    Sha256Hash sha;
    for (size_t at = 0; at < bytes.size();) {
        size_t size = std::min<size_t>(bytes.size() - at, random() % 150);
        sha.Add(bytes.data() + at, size);
        at += size;
    }
    return sha.Finish();
}

TEST(Sha256Engines, BothGiveTheKnownDigests) {
    const std::vector<Vector> vectors = {
        {"", kEmpty},
        {"abc", kAbc},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // two blocks after padding
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), kMillionA}};
    for (Sha256Engine engine : {Sha256Engine::kFastest, Sha256Engine::kSystem}) {
        EnginePin pin(engine);
        std::mt19937 random(20261210);
        for (const Vector& v : vectors) {
            SCOPED_TRACE(testing::Message() << "engine " << static_cast<int>(engine) << ", " << v.bytes.size() << " bytes");
            EXPECT_EQ(HashInPieces(v.bytes, random), v.digest);
            Sha256Stream stream;
            stream.Add(v.bytes.data(), v.bytes.size());
            EXPECT_EQ(stream.Finish(), v.digest);
        }
        EXPECT_EQ(Sha256OfBytes("abc"), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    }
}

// Every length over the first blocks (all padding edges), then random
// lengths up to 100 KB, split at random points: the processor's digest must
// equal the system's.
TEST(Sha256Engines, ProcessorDigestEqualsTheSystemsForEveryLengthAndSplit) {
    if (!ProcessorHasShaExtensions()) GTEST_SKIP() << "this processor has no SHA extensions";
    std::mt19937 random(7);
    std::string bytes;
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 200; ++length) lengths.push_back(length);
    for (int i = 0; i < 30; ++i) lengths.push_back(random() % 100000);
    for (size_t length : lengths) {
        bytes.resize(length);
        for (char& c : bytes) c = static_cast<char>(random());
        std::string system, processor;
        {
            EnginePin pin(Sha256Engine::kSystem);
            system = HashInPieces(bytes, random);
        }
        processor = HashInPieces(bytes, random);
        ASSERT_EQ(system.size(), 64u);
        ASSERT_EQ(processor, system) << length << " bytes";
    }
}

}  // namespace
}  // namespace quilmo
