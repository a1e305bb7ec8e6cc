// Runs driven in this process with a recording reporter: what the pipeline
// tells a window, in order, as plain values. The program links the run
// without the window, so nothing here can reach a control.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "manifest/sha256.h"
#include "pipeline/download_rules.h"
#include "probes/vsto_rules.h"
#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "pipeline/run_installer.h"
#include "startup/installer_log.h"
#include "support/install_places.h"
#include "support/log_reader.h"
#include "support/net_framework48.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"
#include "support/user_registration.h"
#include "support/vsto_runtime.h"
#include "support/word_on_app_paths.h"

namespace quilmo::test {
namespace {

using testing_support::RemoveTree;


std::string IconName(UINT icon) {
    switch (icon) {
        case MB_ICONERROR:
            return "error";
        case MB_ICONWARNING:
            return "warning";
        case MB_ICONINFORMATION:
            return "information";
    }
    return "icon " + std::to_string(icon);
}

std::string ButtonsName(StartButtons state) {
    switch (state) {
        case StartButtons::Ready:
            return "ready";
        case StartButtons::ManifestFailed:
            return "manifest failed";
        case StartButtons::Restored:
            return "restored";
        case StartButtons::Completed:
            return "completed";
    }
    return "?";
}

// Every report as one line: "status: ...", "progress: N", "tip",
// "offer: existing|installed|offered", "buttons: ...", "box: title|icon|text".
class RecordingReporter final : public RunReporter {
public:
    bool watched = true;
    std::vector<std::string> lines;
    std::vector<int> progress;

    bool Watched() const override { return watched; }
    void Status(const std::string& text) override { lines.push_back("status: " + text); }
    void Progress(int percent) override {
        progress.push_back(percent);
        lines.push_back("progress: " + std::to_string(percent));
    }
    void DownloadTip() override { lines.push_back("tip"); }
    void Offer(const ReleaseOffer& offer) override {
        lines.push_back("offer: " + std::string(offer.existingInstall ? "existing" : "fresh") + "|" +
                        offer.installedVersion + "|" + offer.manifestVersion);
    }
    void Buttons(StartButtons state) override { lines.push_back("buttons: " + ButtonsName(state)); }
    void Box(const std::wstring& text, const std::wstring& title, UINT icon) override {
        lines.push_back("box: " + WideToUtf8(title) + "|" + IconName(icon) + "|" + WideToUtf8(text));
    }
    bool Ask(const std::wstring& text, const std::wstring& title) override {
        lines.push_back("ask: " + WideToUtf8(title) + "|" + WideToUtf8(text));
        return answer;
    }
    bool answer = false;

    // The lines without the progress reports, which are checked on their own.
    std::vector<std::string> WithoutProgress() const {
        std::vector<std::string> kept;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                     [](const std::string& line) { return line.rfind("progress: ", 0) != 0; });
        return kept;
    }
};

class RecordedRun : public testing::Test {
protected:
    void SetUp() override {
        TrustTestRootCa();
        TrustSigningRootCa();
        Reset();
        InstallerState& state = State();
        state.autoMode = false;
        state.silentMode = false;
        state.manifestReady = false;
        state.busy = true;
        state.basePath.Set(WideToUtf8(BaseDir()));
        DeleteInstallerLog();
        ReportTo(&reporter);
    }
    void TearDown() override {
        ReportTo(nullptr);
        Reset();
    }

    static void Reset() {
        ReleaseServer::UseInstallRelease("");
        ReleaseServer::Script("{}");
        ReleaseServer::ClearRequests();
        testing_support::ClearUserRegistration();
        for (const wchar_t* key : {kUninstallKey, kProductKey}) {
            RegDeleteTreeW(HKEY_CURRENT_USER, key);
            RegDeleteKeyW(HKEY_CURRENT_USER, key);
        }
        std::wstring base = BaseDir();
        RemoveTree(base.substr(0, base.size() - 1));
    }

    int Run(const std::string& release) {
        ReleaseServer::UseInstallRelease(release);
        return RunInstaller();
    }

    RecordingReporter reporter;
};

TEST_F(RecordedRun, AWindowAlreadyGoneEndsTheRunBeforeAnythingIsReportedOrFetched) {
    reporter.watched = false;
    EXPECT_EQ(Run("v1"), 1);
    EXPECT_EQ(reporter.lines, std::vector<std::string>{});
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"RunInstaller begin", "RunInstaller aborted: window missing"}));
    EXPECT_TRUE(ReleaseServer::ReleaseRequests().empty());
    EXPECT_FALSE(State().busy);
}

TEST_F(RecordedRun, AManifestThatCannotBeFetchedReportsItsStatusButtonsAndBox) {
    EXPECT_EQ(Run("offline"), 1);
    ASSERT_EQ(reporter.lines.size(), 4u) << testing::PrintToString(reporter.lines);
    EXPECT_EQ(reporter.lines[0], "status: 正在获取并校验更新信息...");
    EXPECT_EQ(reporter.lines[1], "status: 更新清单获取或签名校验失败。");
    EXPECT_EQ(reporter.lines[2], "buttons: restored");
    // The box carries the same message the log names.
    const std::string prefix = "manifest fetch/verify failed: ";
    std::vector<std::string> log = LogMessages();
    auto failed = std::find_if(log.begin(), log.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
    ASSERT_NE(failed, log.end());
    ASSERT_GT(failed->size(), prefix.size());
    EXPECT_EQ(reporter.lines[3], "box: 更新清单验证失败|error|" + failed->substr(prefix.size()));
    EXPECT_EQ(State().statusText.Get(), "更新清单获取或签名校验失败。");
    EXPECT_FALSE(State().busy);
    EXPECT_EQ(State().exitCode, 1);
}

// An incomplete release: every file arrives verified, then the payload check
// refuses it before anything is registered.
TEST_F(RecordedRun, AnIncompleteReleaseReportsEachStageThenGivesUpWithTheStartButtonsBack) {
    EXPECT_EQ(Run("v1"), 1);
    std::vector<std::string> seen = reporter.WithoutProgress();
    ExpectInOrder(seen, {"status: 正在获取并校验更新信息...", "offer: fresh||2026.1.10", "status: 正在检查文件完整性...",
                         "status: 安装包组件不完整，安装中止。", "buttons: restored"});
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& line) { return line.rfind("status: 正在下载: ", 0) == 0; }),
              5);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().rfind("box: 组件缺失|error|安装包核心组件不完整，已中止安装以避免损坏现有插件：", 0), 0u)
        << seen.back();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "buttons: completed"), 0);

    // The bar only moves forward and ends where five of five downloads put it.
    ASSERT_FALSE(reporter.progress.empty());
    EXPECT_TRUE(std::is_sorted(reporter.progress.begin(), reporter.progress.end()))
        << testing::PrintToString(reporter.progress);
    EXPECT_EQ(reporter.progress.back(), DownloadProgress(5, 5));
    EXPECT_EQ(State().exitCode, 1);
}

// An unattended window run (/auto) of a complete release: the switch-over's
// progress, then the completed buttons and the update's box, which names the
// missing side-panel runtime.
TEST_F(RecordedRun, ACompleteAutoRunEndsWithTheCompletedButtonsAndTheUpdatesBox) {
    NetFramework48 net48;
    net48.Present(true);
    State().autoMode = true;
    EXPECT_EQ(Run("com1"), 0);
    std::vector<std::string> seen = reporter.WithoutProgress();
    ExpectInOrder(seen, {"offer: fresh||2026.7.1", "status: 正在注册 Office 插件...", "status: 正在安装基础字体...",
                         "status: 正在创建桌面快捷方式...", "status: 更新完成！下次打开 Office 时生效。",
                         "buttons: completed",
                         "box: 更新完成|warning|奎墨 更新完成。\n\n核心插件已启用，AI/侧边栏需修复 WebView2（可运行 "
                         "RIDedavu）。"});
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "buttons: restored"), 0);
    ASSERT_FALSE(reporter.progress.empty());
    EXPECT_EQ(reporter.progress.back(), 100) << testing::PrintToString(reporter.progress);
    EXPECT_TRUE(State().completed);
    EXPECT_EQ(State().exitCode, 0);
}

// The legacy VSTO generation in a window: the runtime question, the notes
// the completion box carries, and the abort that keeps the previous add-in.
class RecordedLegacyRun : public RecordedRun {
protected:
    void SetUp() override {
        RecordedRun::SetUp();
        net48.Present(true);
    }
    NetFramework48 net48;
};

const char kGapHead[] = "未能确认当前 WPS 或 Office 所需的 VSTO 加载组件是否就绪。";
const char kWebView2Line[] = "\n\n核心插件已启用，AI/侧边栏需修复 WebView2（可运行 RIDedavu）。";

TEST_F(RecordedLegacyRun, AnAutoUpdateWithTheRuntimeUncertainEndsWithItsNoteInTheWarningBox) {
    State().autoMode = true;
    EXPECT_EQ(Run("vsto"), 0);
    std::vector<std::string> seen = reporter.WithoutProgress();
    ExpectInOrder(seen, {"status: 正在导入 VSTO 证书...", "status: 正在注册 Office 插件...", "buttons: completed",
                         std::string("box: 更新完成|warning|奎墨 更新完成。\n\n无法确认 VSTO 加载组件就绪。若插件无法加载，"
                                     "可打开奎墨安装器或 RIDedavu 补装。") +
                             kWebView2Line});
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const std::string& l) { return l.rfind("ask: ", 0) == 0; }), 0)
        << "an unattended run asks nothing";
    // The certificates at 70, the registration from 73, done at 75.
    ExpectInOrder(std::vector<std::string>(reporter.lines), {"progress: 70", "progress: 73", "progress: 75"});
}

TEST_F(RecordedLegacyRun, AnInteractiveRunAsksWithNoAsDefaultAndNoInstallsTheAddinWithoutTheRuntime) {
    reporter.answer = false;
    EXPECT_EQ(Run("vsto"), 0);
    std::vector<std::string> seen = reporter.WithoutProgress();
    const std::string question = std::string("ask: 可选：补装 VSTO 运行时|") + kGapHead;
    auto asked = std::find_if(seen.begin(), seen.end(), [&](const std::string& l) { return l.rfind(question, 0) == 0; });
    ASSERT_NE(asked, seen.end()) << testing::PrintToString(seen);
    EXPECT_NE(asked->find("请选择「否」"), std::string::npos);
    ExpectInOrder(seen, {"status: 正在检查 VSTO 运行时...", *asked, "status: 正在注册 Office 插件...",
                         "buttons: completed", std::string("box: 安装完成|warning|奎墨 安装完成。") + kWebView2Line});
    std::vector<std::string> log = LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "vsto optional install skipped"), log.end());
    EXPECT_EQ(std::find(log.begin(), log.end(), "vsto download failed"), log.end()) << "no was not a yes";
}

TEST_F(RecordedLegacyRun, AMissingRuntimeThatCannotBeDownloadedStopsBeforeTheRegistryChanges) {
    testing_support::ScratchDir scratch;
    testing_support::WordOnAppPaths word(scratch / L"Office", 32);
    EXPECT_EQ(Run("vsto"), 1);
    std::vector<std::string> seen = reporter.WithoutProgress();
    const std::string note = "VSTO 运行时下载失败。请重试安装，或手动安装微软 VSTO 运行时。";
    ExpectInOrder(seen, {"status: 正在导入 VSTO 证书...", "status: 正在下载 VSTO 运行时...",
                         "status: VSTO 运行时安装未完成，已保留原插件配置。", "buttons: restored",
                         "box: VSTO 安装未完成|error|" + note});
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "status: 正在注册 Office 插件..."), 0);
    std::vector<std::string> log = LogMessages();
    ExpectInOrder(log, {"vsto download failed",
                        "legacy vsto runtime install incomplete; aborting cutover to preserve prior plugin"});
    EXPECT_EQ(std::find(log.begin(), log.end(), "register begin"), log.end());
    EXPECT_EQ(State().exitCode, 1);
}

// The fake bootstrapper's script (tests/prereq/fake_bootstrapper.c), for one
// test.
class BootstrapperScript {
public:
    explicit BootstrapperScript(const std::vector<std::string>& lines) {
        wchar_t data[MAX_PATH] = {};
        GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
        path_ = std::wstring(data) + L"\\quilmo-fake-bootstrapper.ini";
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        testing_support::WriteBytes(path_, text);
    }
    ~BootstrapperScript() { DeleteFileW(path_.c_str()); }

private:
    std::wstring path_;
};

// The runtime installer the release names, a stand-in signed as Microsoft
// whose hash the test (never the product) names as a known build. Word is a
// 32-bit program here and the runtime is missing, so the switch-over
// depends on the installation.
class RecordedRuntimeInstall : public RecordedLegacyRun {
protected:
    void SetUp() override {
        RecordedLegacyRun::SetUp();
        testing_support::ForgetVstoRuntime();
        const std::string standIn = Sha256OfFile(ReleaseServer::StatePath("prereq/bootstrapper-microsoft.exe"));
        ASSERT_EQ(standIn.size(), 64u) << "the fake bootstrappers were not made";
        SetVstoRedistributableStandInForTesting(standIn);
    }
    void TearDown() override {
        SetVstoRedistributableStandInForTesting("");
        testing_support::ForgetVstoRuntime();
        RecordedLegacyRun::TearDown();
    }
    testing_support::ScratchDir scratch;
    testing_support::WordOnAppPaths word{scratch / L"Office", 32};
    testing_support::LoaderFiles loader{testing_support::View32()};
};

TEST_F(RecordedRuntimeInstall, TheInstallersExitCodeDecidesBetweenSwitchingOverAndKeepingThePreviousAddin) {
    const std::string restart = "\n\nVSTO 运行时需要重启电脑。重启后再打开 WPS 或 Office。";
    struct Row {
        const char* what;
        std::vector<std::string> script;
        int code;
        std::string logLine;
        std::string lastReport;
    };
    const Row rows[] = {
        {"installed and ready", {"vsto=10.0.60910", "vstoloader=i386", "exit=0"}, 0, "vsto install exit=0",
         std::string("box: 安装完成|warning|奎墨 安装完成。") + kWebView2Line},
        {"a restart is needed (3010)", {"exit=3010"}, 0, "vsto install exit=3010",
         "box: 安装完成|warning|奎墨 安装完成。" + restart + kWebView2Line},
        {"a restart is needed (1641)", {"exit=1641"}, 0, "vsto install exit=1641",
         "box: 安装完成|warning|奎墨 安装完成。" + restart + kWebView2Line},
        {"the installer failed", {"exit=1603"}, 1, "vsto install exit=1603",
         "box: VSTO 安装未完成|error|VSTO 运行时安装失败或已取消。请重试安装，或手动安装微软 VSTO 运行时。"},
        {"it ended well but changed nothing", {"exit=0"}, 1, "vsto install exit=0",
         "box: VSTO 安装未完成|error|VSTO 安装程序已运行，复检仍无法确认加载组件就绪。若插件无法加载，请运行 "
         "RIDedavu 诊断。"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Reset();
        // Each row starts from a machine without the runtime: no
        // registration and no loader files (an earlier row's installer may
        // have written both).
        testing_support::ForgetVstoRuntime();
        loader.Clear();
        DeleteInstallerLog();
        reporter.lines.clear();
        BootstrapperScript script(row.script);
        EXPECT_EQ(Run("vsto_runtime"), row.code);
        std::vector<std::string> log = LogMessages();
        ExpectInOrder(log, {"disable publisher revocation check done", row.logLine});
        EXPECT_EQ(std::find(log.begin(), log.end(), "vsto download failed"), log.end());
        // After a clean exit the runtime is looked at again.
        const bool checkedAgain = std::any_of(log.begin(), log.end(), [](const std::string& line) {
            return line.rfind("vsto after state=", 0) == 0;
        });
        EXPECT_EQ(checkedAgain, row.logLine == "vsto install exit=0");
        if (row.code == 0 && checkedAgain) {
            EXPECT_NE(std::find_if(log.begin(), log.end(),
                                   [](const std::string& line) { return line.rfind("vsto after state=ready", 0) == 0; }),
                      log.end());
        }
        ExpectInOrder(reporter.lines, {"status: 正在下载 VSTO 运行时...", "status: 正在安装 VSTO 运行时..."});
        ASSERT_FALSE(reporter.lines.empty());
        EXPECT_EQ(reporter.lines.back(), row.lastReport);
        EXPECT_EQ(std::find(log.begin(), log.end(), "register begin") != log.end(), row.code == 0);
        // The installer this run downloaded does not stay in the version directory.
        EXPECT_EQ(GetFileAttributesW((BaseDir() + L"2026.7.18\\vstor_redist.exe").c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

}  // namespace
}  // namespace quilmo::test
