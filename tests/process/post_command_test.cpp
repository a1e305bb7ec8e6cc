// The post-migration program: the three pre-checks before any registry
// change, and its run with exit code, time limit and failure report. The
// program is a small stand-in whose behaviour its working directory decides.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "pipeline/installer_state.h"
#include "pipeline/post_command.h"
#include "startup/installer_log.h"
#include "support/log_reader.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"

namespace quilmo::test {
namespace {

using testing_support::Exists;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

const wchar_t kHelperName[] = L"QMSetupHelper.exe";

std::wstring WindowsPath(const char* unixPath) {
    // Build paths are Linux paths; Wine maps them under drive Z:.
    std::wstring path = L"Z:" + Utf8ToWide(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

class PostCommand : public testing::Test {
protected:
    void SetUp() override {
        State().silentMode = true;  // no boxes
        State().busy = true;
        State().exitCode = 0;
        State().statusText.Set("");
        DeleteInstallerLog();
    }

    // The stand-in program under the allowed name, with its instruction.
    void PlaceHelper(const std::string& action) {
        ASSERT_TRUE(CopyFileW(WindowsPath(QUILMO_POST_HELPER_EXE).c_str(), (dir_ / kHelperName).c_str(), FALSE));
        ASSERT_TRUE(WriteBytes(dir_ / L"helper-action.txt", action));
    }

    PostCommandLaunch Launch() const {
        return {"QMSetupHelper.exe", dir_ / kHelperName, dir_.path()};
    }

    StepOutcome PreCheck(const std::string& command, PostCommandLaunch& launch) const {
        InstallRun run;
        run.postCommand = command;
        run.targetDirW = dir_.path() + L"\\";
        run.targetDir = WideToUtf8(run.targetDirW);
        return CheckPostCommand(run, launch);
    }

    ScratchDir dir_;
};

TEST_F(PostCommand, ExitCodeZeroSucceedsInTheVersionDirectory) {
    PlaceHelper("exit 0");
    EXPECT_TRUE(RunPostCommandWith(Launch(), 30000));
    EXPECT_TRUE(Exists(dir_ / L"helper-ran.txt")) << "the program runs with the version directory as its directory";
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"post cmd waitRc=0 exitCode=0"}));
    EXPECT_TRUE(State().busy);
    EXPECT_EQ(State().exitCode, 0);
}

TEST_F(PostCommand, NonZeroExitCodeFailsAndReportsIt) {
    PlaceHelper("exit 3");
    EXPECT_FALSE(RunPostCommandWith(Launch(), 30000));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"post cmd waitRc=0 exitCode=3"}));
    EXPECT_EQ(State().statusText.Get(), "后置迁移组件执行失败，已回滚原配置。");
    EXPECT_FALSE(State().busy);
    EXPECT_EQ(State().exitCode, 1);
}

TEST_F(PostCommand, ProgramOutlivingTheLimitFailsWithExitCodeOneAndIsLeftRunning) {
    PlaceHelper("wait");
    EXPECT_FALSE(RunPostCommandWith(Launch(), 300));
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"post cmd waitRc=" + std::to_string(WAIT_TIMEOUT) +
                                                       " exitCode=1"}));
    EXPECT_EQ(State().exitCode, 1);
    // Let the stand-in end, so the scratch directory can go.
    ASSERT_TRUE(WriteBytes(dir_ / L"helper-release.txt", ""));
    for (int i = 0; i < 200 && !DeleteFileW((dir_ / kHelperName).c_str()); ++i) Sleep(25);
}

TEST_F(PostCommand, ProgramThatCannotStartFails) {
    EXPECT_FALSE(RunPostCommandWith(Launch(), 30000));
    std::vector<std::string> log = LogMessages();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("post cmd launch failed err=", 0), 0u) << log[0];
    EXPECT_EQ(State().exitCode, 1);
}

TEST_F(PostCommand, NoCommandSkipsChecksAndRun) {
    PostCommandLaunch launch;
    EXPECT_TRUE(PreCheck("", launch).goOn);
    EXPECT_TRUE(RunPostCommand(launch));
    EXPECT_TRUE(LogMessages().empty());
}

struct PreCheckCase {
    const char* name;
    const char* command;
    const char* placedFile;  // a file of the server's "signed" folder placed under the command's name; "" none
    const char* abortLine;   // "" passes
    const char* status;
};

// 283 characters of name before the allowed one's own.
const std::string kLongCommandText = std::string(283, 'a') + "QMSetupHelper.exe";
const char* const kLongCommand = kLongCommandText.c_str();

class PostCommandPreChecks : public PostCommand, public testing::WithParamInterface<PreCheckCase> {};

TEST_P(PostCommandPreChecks, RefuseBeforeTheRegistryIsTouched) {
    const PreCheckCase& c = GetParam();
    TrustTestRootCa();
    TrustSigningRootCa();
    std::wstring command = Utf8ToWide(c.command);
    if (*c.placedFile != '\0') {
        ASSERT_TRUE(CopyFileW(ReleaseServer::StatePath(std::string("signed/") + c.placedFile).c_str(),
                              (dir_ / command).c_str(), FALSE));
    }
    PostCommandLaunch launch;
    StepOutcome outcome = PreCheck(c.command, launch);
    std::vector<std::string> log = LogMessages();
    ASSERT_GE(log.size(), 1u);
    EXPECT_EQ(log[0], std::string("pre-check post cmd=") + c.command);
    if (*c.abortLine == '\0') {
        EXPECT_TRUE(outcome.goOn);
        EXPECT_EQ(log.size(), 1u);
        EXPECT_EQ(launch.fullPath, dir_.path() + L"\\" + command);
        EXPECT_EQ(launch.workingDirectory, dir_.path() + L"\\");
        return;
    }
    EXPECT_FALSE(outcome.goOn);
    EXPECT_EQ(outcome.code, 1);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].rfind(c.abortLine, 0), 0u) << log[1];
    EXPECT_EQ(State().statusText.Get(), c.status);
    EXPECT_EQ(State().exitCode, 1);
    EXPECT_FALSE(State().busy);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PostCommandPreChecks,
    testing::Values(
        PreCheckCase{"signed_by_the_publisher", "QMSetupHelper.exe", "signed-publisher.exe", "", ""},
        PreCheckCase{"lower_case_spelling_allowed", "qmsetuphelper.exe", "signed-publisher.exe", "", ""},
        PreCheckCase{"other_name", "Other.exe", "signed-publisher.exe",
                     "abort: post cmd rejected by allowlist before registry mutation: Other.exe",
                     "后置迁移组件不在白名单内，安装中止。"},
        PreCheckCase{"separator", "sub\\QMSetupHelper.exe", "",
                     "abort: post cmd rejected by allowlist before registry mutation: sub\\QMSetupHelper.exe",
                     "后置迁移组件不在白名单内，安装中止。"},
        PreCheckCase{"climbing", "..\\QMSetupHelper.exe", "", "abort: post cmd rejected by allowlist",
                     "后置迁移组件不在白名单内，安装中止。"},
        PreCheckCase{"device_name", "NUL", "", "abort: post cmd rejected by allowlist",
                     "后置迁移组件不在白名单内，安装中止。"},
        PreCheckCase{"only_spaces", "   ", "", "abort: post cmd rejected by allowlist",
                     "后置迁移组件不在白名单内，安装中止。"},
        PreCheckCase{"three_hundred_characters", kLongCommand, "", "abort: post cmd rejected by allowlist",
                     "后置迁移组件不在白名单内，安装中止。"},
        PreCheckCase{"missing_file", "QMSetupHelper.exe", "",
                     "abort: post cmd file missing before registry mutation: ", "后置迁移组件缺失，安装中止。"},
        PreCheckCase{"unsigned", "QMSetupHelper.exe", "unsigned.exe",
                     "abort: post cmd Authenticode verification failed before registry mutation: ",
                     "后置迁移组件签名校验失败，安装中止。"},
        PreCheckCase{"another_publisher", "QMSetupHelper.exe", "signed-contoso.exe",
                     "abort: post cmd Authenticode verification failed before registry mutation: ",
                     "后置迁移组件签名校验失败，安装中止。"},
        PreCheckCase{"tampered", "QMSetupHelper.exe", "tampered.exe",
                     "abort: post cmd Authenticode verification failed before registry mutation: ",
                     "后置迁移组件签名校验失败，安装中止。"}),
    [](const testing::TestParamInfo<PreCheckCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quilmo::test
