// The window modes of the real installer under Wine on the test display.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/log_reader.h"
#include "support/setup_process.h"
#include "ui/window_geometry.h"

namespace quilmo::test {
namespace {

int ScreenDpi() {
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi;
}

TEST(WindowMode, InteractiveWindowAfterFailedManifestClosesWithZero) {
    // "--install-prereq" in second position is not a sub-command: the run is
    // an ordinary interactive one and the argument is ignored.
    RunningSetup setup = StartSetup({L"/unknown", L"--install-prereq"});
    HWND window = WaitForInstallerWindow(setup.processId, 20000);
    ASSERT_NE(window, nullptr);

    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(title, L"\x594E\x58A8 \x5B89\x88C5\x7A0B\x5E8F");  // 奎墨 安装程序
    RECT rect = {};
    GetWindowRect(window, &rect);
    WindowSize expected = MainWindowSize(UiScaleForDpi(ScreenDpi()));
    EXPECT_EQ(rect.right - rect.left, expected.width);
    EXPECT_EQ(rect.bottom - rect.top, expected.height);
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_POPUP | WS_VISIBLE | WS_MINIMIZEBOX),
              WS_POPUP | WS_VISIBLE | WS_MINIMIZEBOX);

    // No server is built in: the manifest thread reports it, and the window stays.
    ASSERT_TRUE(WaitForLogMessage("FetchManifest failed: ", 20000));
    EXPECT_TRUE(IsWindow(window));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(setup, 20000), 0);

    std::vector<std::string> messages = LogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[1], "args auto=false");
    EXPECT_EQ(messages[2], "args silent=false");
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "FetchManifest failed: \xE6\x97\xA0\xE6\xB3\x95\xE8\xBF\x9E\xE6\x8E\xA5\xE5\x88\xB0\xE6\x9C\x8D"
                        "\xE5\x8A\xA1\xE5\x99\xA8\xEF\xBC\x8C\xE8\xAF\xB7\xE6\xA3\x80\xE6\x9F\xA5\xE7\xBD\x91\xE7\xBB"
                        "\x9C\xE8\xBF\x9E\xE6\x8E\xA5\xE3\x80\x82"),
              messages.end());
}

TEST(WindowMode, AutoRunStartsTheWorkerAndKeepsItsFailureCode) {
    RunningSetup setup = StartSetup({L"-Auto"});
    HWND window = WaitForInstallerWindow(setup.processId, 20000);
    ASSERT_NE(window, nullptr);
    // The worker runs without a manifest thread and fails (no pipeline yet);
    // the window stays open for the user to close.
    ASSERT_TRUE(WaitForLogMessage("RunInstaller begin", 20000));
    Sleep(500);
    EXPECT_TRUE(IsWindow(window));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(setup, 20000), 1);

    std::vector<std::string> messages = LogMessages();
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[1], "args auto=true");
    EXPECT_EQ(messages[2], "args silent=false");
    EXPECT_EQ(std::find(messages.begin(), messages.end(), "FetchManifest failed: "), messages.end());
}

}  // namespace
}  // namespace quilmo::test
