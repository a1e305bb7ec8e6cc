// The install base lock: one holder at a time, taken only in a base that
// passes the safety gate, and the lock file never followed or replaced.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "files/gc_base_lock.h"
#include "files/unique_handle.h"

namespace quilmo {
namespace {

class BaseLock : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"qm-lock-" + std::to_wstring(GetCurrentProcessId());
        base_ = root_ + L"\\Quilmo2025";
        CreateDirectoryW(root_.c_str(), nullptr);
        ASSERT_TRUE(CreateDirectoryW(base_.c_str(), nullptr));
    }
    void TearDown() override {
        SetFileAttributesW((base_ + L"\\.qm_gc.lock").c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((base_ + L"\\.qm_gc.lock").c_str());
        RemoveDirectoryW((base_ + L"\\.qm_gc.lock").c_str());
        RemoveDirectoryW(base_.c_str());
        RemoveDirectoryW((root_ + L"\\Other").c_str());
        RemoveDirectoryW(root_.c_str());
    }
    std::wstring root_;
    std::wstring base_;
};

TEST_F(BaseLock, OneHolderAtATimeAndReleasedForTheNext) {
    GcBaseLock first;
    EXPECT_FALSE(first.IsHeld());
    ASSERT_TRUE(first.TryAcquire(base_ + L"\\"));
    EXPECT_TRUE(first.IsHeld());
    DWORD attributes = GetFileAttributesW((base_ + L"\\.qm_gc.lock").c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);

    GcBaseLock second;
    EXPECT_FALSE(second.TryAcquire(base_));
    EXPECT_FALSE(second.IsHeld());
    // Nobody else can even read the file while it is held.
    UniqueFile reader(CreateFileW((base_ + L"\\.qm_gc.lock").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    EXPECT_FALSE(reader.valid());

    first.Release();
    EXPECT_FALSE(first.IsHeld());
    EXPECT_TRUE(second.TryAcquire(base_));
    EXPECT_TRUE(second.IsHeld());
}

TEST_F(BaseLock, RefusedWhereTheGateRefusesOrTheLockNameIsNotAFile) {
    GcBaseLock lock;
    ASSERT_TRUE(CreateDirectoryW((root_ + L"\\Other").c_str(), nullptr));
    EXPECT_FALSE(lock.TryAcquire(root_ + L"\\Other"));  // not an install base by name
    EXPECT_FALSE(lock.TryAcquire(L""));
    EXPECT_FALSE(lock.TryAcquire(root_ + L"\\Missing\\Quilmo2025"));
    // A directory under the lock's name is never taken for the lock.
    ASSERT_TRUE(CreateDirectoryW((base_ + L"\\.qm_gc.lock").c_str(), nullptr));
    EXPECT_FALSE(lock.TryAcquire(base_));
    EXPECT_FALSE(lock.IsHeld());
}

TEST_F(BaseLock, ReacquiringReleasesWhatWasHeldFirst) {
    GcBaseLock lock;
    ASSERT_TRUE(lock.TryAcquire(base_));
    ASSERT_TRUE(lock.TryAcquire(base_));  // would be a sharing violation if the first handle stayed open
    EXPECT_TRUE(lock.IsHeld());
}

}  // namespace
}  // namespace quilmo
