// A silent run of the real installer: its log and its exit code.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "startup/installer_log.h"
#include "support/log_reader.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

std::string DefaultBasePath() {
    std::wstring log = InstallerLogPath();
    return WideToUtf8(log.substr(0, log.size() - std::wstring(L"installer-auto.log").size()));
}

TEST(SilentRun, WithoutServerExitsOneAndLogsTheRunInOrder) {
    EXPECT_EQ(RunSetup({L"/silent"}), 1);
    std::vector<std::string> messages = LogMessages();
    ASSERT_GE(messages.size(), 6u);
    EXPECT_EQ(messages[0], "installer start");
    EXPECT_EQ(messages[1], "args auto=true");
    EXPECT_EQ(messages[2], "args silent=true");
    EXPECT_EQ(messages[3], "base path=" + DefaultBasePath());
    EXPECT_EQ(messages[4], "enter silent RunInstaller");
    EXPECT_EQ(messages[5], "RunInstaller begin");
    EXPECT_EQ(messages.back(), "silent RunInstaller returned code=1");
}

TEST(SilentRun, SecondRunLeavesOnlyItsOwnLines) {
    WriteLogBytes("[2020-01-01 00:00:00] an old run\r\n");
    ASSERT_EQ(RunSetup({L"/silent"}), 1);
    std::vector<std::string> first = LogMessages();
    ASSERT_EQ(RunSetup({L"--silent"}), 1);
    std::vector<std::string> second = LogMessages();
    EXPECT_EQ(second, first);  // same run, same lines: nothing appended, nothing left over
    EXPECT_EQ(std::count(second.begin(), second.end(), "installer start"), 1);
    EXPECT_EQ(std::find(second.begin(), second.end(), "an old run"), second.end());
}

TEST(SilentRun, LockedLogLosesLinesAndTheRunGoesOn) {
    WriteLogBytes("kept\r\n");
    {
        UniqueFile lock(CreateFileW(InstallerLogPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(lock.valid());
        EXPECT_EQ(RunSetup({L"/silent"}), 1);
    }
    EXPECT_EQ(ReadLogBytes(), "kept\r\n");
}

}  // namespace
}  // namespace quilmo::test
