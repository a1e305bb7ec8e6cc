#include "startup/installer_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "support/log_reader.h"

namespace quilmo {
namespace {

using test::LogMessages;
using test::ReadLogBytes;

TEST(InstallerLog, FormatsPrefixMessageAndCrLf) {
    EXPECT_EQ(FormatLogLine({2026, 3, 1, 9, 5, 2}, "installer start"), "[2026-03-01 09:05:02] installer start\r\n");
    EXPECT_EQ(FormatLogLine({999, 12, 31, 23, 59, 59}, ""), "[0999-12-31 23:59:59] \r\n");
    // Message bytes are written unchanged, also a newline or a percent sign.
    EXPECT_EQ(FormatLogLine({2026, 1, 2, 3, 4, 5}, "a%sb\n"), "[2026-01-02 03:04:05] a%sb\n\r\n");
}

TEST(InstallerLog, LivesInTheProductDataFolder) {
    std::wstring path = InstallerLogPath();
    const std::wstring tail = L"\\QuilmoStudio\\Quilmo2025\\installer-auto.log";
    ASSERT_GT(path.size(), tail.size());
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
    DWORD attributes = GetFileAttributesW(path.substr(0, path.size() - 18).c_str());
    EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(InstallerLog, StoresChinesePathsAsUtf8AndDeleteStartsOver) {
    DeleteInstallerLog();
    WriteLog("first");
    WriteLog("base path=" + WideToUtf8(L"C:\\\x7528\x6237\\\x594E\x58A8\\"));  // C:\用户\奎墨\ .
    std::string bytes = ReadLogBytes();
    EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");  // no byte-order mark
    EXPECT_EQ(LogMessages(bytes),
              (std::vector<std::string>{"first", "base path=C:\\\xE7\x94\xA8\xE6\x88\xB7\\\xE5\xA5\x8E\xE5\xA2\xA8\\"}));

    DeleteInstallerLog();
    WriteLog("second run");
    EXPECT_EQ(LogMessages(ReadLogBytes()), (std::vector<std::string>{"second run"}));
}

TEST(InstallerLog, LockedFileLosesLinesWithoutFailing) {
    DeleteInstallerLog();
    WriteLog("before lock");
    std::string before = ReadLogBytes();
    {
        UniqueFile lock(CreateFileW(InstallerLogPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(lock.valid());
        WriteLog("lost line");
        DeleteInstallerLog();
    }
    EXPECT_EQ(ReadLogBytes(), before);
    WriteLog("after lock");
    EXPECT_NE(ReadLogBytes().find("after lock\r\n"), std::string::npos);
}

}  // namespace
}  // namespace quilmo
