// Runs driven in this process with a recording reporter: what the pipeline
// tells a window, in order, as plain values. The program links the run
// without the window, so nothing here can reach a control.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "pipeline/download_rules.h"
#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "pipeline/run_installer.h"
#include "startup/installer_log.h"
#include "support/log_reader.h"
#include "support/net_framework48.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"
#include "support/user_registration.h"

namespace quilmo::test {
namespace {

using testing_support::RemoveTree;

const wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quilmo2025";
const wchar_t kProductKey[] = L"Software\\QuilmoStudio";

std::wstring BaseDir() {  // ends with a backslash
    std::wstring log = InstallerLogPath();
    return log.substr(0, log.size() - std::wstring(L"installer-auto.log").size());
}

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

    // The lines without the progress reports, which are checked on their own.
    std::vector<std::string> WithoutProgress() const {
        std::vector<std::string> kept;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                     [](const std::string& line) { return line.rfind("progress: ", 0) != 0; });
        return kept;
    }
};

void ExpectInOrder(const std::vector<std::string>& seen, const std::vector<std::string>& expected) {
    auto at = seen.begin();
    for (const std::string& line : expected) {
        auto found = std::find(at, seen.end(), line);
        ASSERT_NE(found, seen.end()) << "missing or out of order: " << line;
        at = found + 1;
    }
}

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

}  // namespace
}  // namespace quilmo::test
