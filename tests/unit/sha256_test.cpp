// SHA-256 of files, open handles and streamed downloads against known
// digests, including inputs that span many read blocks.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "files/unique_handle.h"
#include "manifest/sha256.h"
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

TEST(Sha256, StreamHashesChunksAsTheyComeAndStartsAfreshAfterResetOrFinish) {
    Sha256Stream stream;
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

}  // namespace
}  // namespace quilmo
