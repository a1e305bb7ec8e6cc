// The verify step's digests computed ahead on every processor: each one is
// the file's own, in any order they are asked for, and a run that stops early
// does not wait for the rest.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manifest/sha256.h"
#include "pipeline/parallel_hasher.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::ScratchDir;
using testing_support::WriteBytes;

TEST(ParallelHasher, EachDigestBelongsToItsOwnFile) {
    ScratchDir scratch;
    std::vector<std::wstring> paths;
    std::vector<std::string> expected;
    for (int i = 0; i < 40; ++i) {
        std::wstring path = scratch / (L"f" + std::to_wstring(i));
        ASSERT_TRUE(WriteBytes(path, std::string(1000 + i * 4096, static_cast<char>('a' + i % 26))));
        paths.push_back(path);
        expected.push_back(Sha256OfFile(path));
    }
    paths.push_back(L"");                           // skipped
    paths.push_back(scratch / L"missing");          // cannot be read
    expected.push_back("");
    expected.push_back("");
    ParallelFileHasher hasher(paths);
    // Asked out of order, the last ones first.
    for (size_t i = paths.size(); i-- > 0;) EXPECT_EQ(hasher.Digest(i), expected[i]) << i;
    EXPECT_EQ(hasher.Digest(paths.size()), "");
}

TEST(ParallelHasher, StoppingEarlyEndsTheWorkersAfterTheirCurrentFile) {
    ScratchDir scratch;
    std::wstring big = scratch / L"big";
    ASSERT_TRUE(WriteBytes(big, std::string(8 << 20, 'x')));
    std::vector<std::wstring> paths(400, big);
    ParallelFileHasher hasher(paths);
    std::string first = hasher.Digest(0);
    hasher.Stop();  // as when the run is cancelled during the check
    // Each worker finishes only the file it was on: far from all 400 (a
    // stalled test thread may let a few more through).
    EXPECT_LT(hasher.HashedCount(), 200u);
    EXPECT_EQ(first, Sha256OfFile(big));
    EXPECT_EQ(hasher.Digest(0), first);  // what was done stays known
}

}  // namespace
}  // namespace quilmo
