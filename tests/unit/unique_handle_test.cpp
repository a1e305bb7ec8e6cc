#include "files/unique_handle.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

bool IsOpenHandle(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

TEST(UniqueHandle, ClosesOnceWhenOwnerEnds) {
    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(IsOpenHandle(raw));
    {
        UniqueHandle owner(raw);
        UniqueHandle moved(std::move(owner));
        EXPECT_FALSE(owner.valid());
        EXPECT_EQ(moved.get(), raw);
        EXPECT_TRUE(IsOpenHandle(raw));
    }
    EXPECT_FALSE(IsOpenHandle(raw));
}

TEST(UniqueHandle, ReleaseHandsOverAndResetReplaces) {
    HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    UniqueHandle owner(first);
    owner.reset(second);
    EXPECT_FALSE(IsOpenHandle(first));
    HANDLE released = owner.release();
    EXPECT_EQ(released, second);
    EXPECT_FALSE(owner.valid());
    EXPECT_TRUE(IsOpenHandle(second));
    CloseHandle(second);
}

TEST(UniqueHandle, FileOwnerTreatsInvalidHandleValueAsNone) {
    UniqueFile missing(CreateFileW(L"C:\\no\\such\\dir\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(missing.valid());
    UniqueHandle none;
    EXPECT_FALSE(none.valid());
}

TEST(UniqueHandle, RegistryKeyIsClosed) {
    UniqueRegKey key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.put()), ERROR_SUCCESS);
    HKEY raw = key.get();
    key.reset();
    DWORD count = 0;
    EXPECT_NE(RegQueryInfoKeyW(raw, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
}

}  // namespace
}  // namespace quilmo
