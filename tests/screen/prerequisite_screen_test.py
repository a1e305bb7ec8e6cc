#!/usr/bin/env python3
"""The window installing .NET Framework 4.8 and WebView2: COM releases that
ship the fake bootstrapper of tests/prereq (signed as Microsoft Corporation
under the test signing root) as ndp48-web.exe or MicrosoftEdgeWebview2Setup.exe,
installed by a click on the real window. The fake is told what to do through
its script file in the prefix's ProgramData.

Usage: prerequisite_screen_test.py BUILD_DIR [test names...]
"""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from screen_session import Screen, wait_until  # noqa: E402
from window_screen_test import WindowTests, check, run_named  # noqa: E402

EDGE_CLIENT_KEY = r"HKLM\SOFTWARE\Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
WEBVIEW2_VERSION = "120.0.2210.91"


class PrerequisiteTests(WindowTests):
    def __init__(self, screen):
        super().__init__(screen)
        drive_c = os.path.join(screen.prefix, "drive_c")
        self.script = os.path.join(drive_c, "ProgramData", "quilmo-fake-bootstrapper.ini")
        self.webview2_dirs = [os.path.join(drive_c, d, "Microsoft", "EdgeWebView")
                              for d in ("Program Files (x86)", "Program Files")]
        self.record_dir = tempfile.mkdtemp(prefix="quilmo-prereq-")
        self.record = os.path.join(self.record_dir, "record.txt")

    def fake_does(self, *lines):
        if os.path.exists(self.record):
            os.remove(self.record)
        with open(self.script, "w", encoding="utf-8") as f:
            f.write("record=" + Screen.windows_path(self.record) + "\r\n")
            for line in lines:
                f.write(line + "\r\n")

    def fake_runs(self):
        if not os.path.exists(self.record):
            return 0
        with open(self.record, encoding="utf-8", errors="replace") as f:
            return sum(1 for line in f if line.startswith("image="))

    def forget_webview2(self):
        for view in ("32", "64"):
            self.screen.reg("delete", EDGE_CLIENT_KEY, "/f", "/reg:" + view)
        for d in self.webview2_dirs:
            shutil.rmtree(d, ignore_errors=True)

    def webview2_registered(self):
        code, out = self.screen.wine("reg", "query", EDGE_CLIENT_KEY, "/v", "pv", "/reg:32")
        return code == 0 and WEBVIEW2_VERSION in out

    def install(self, case):
        """Clicks install on the served release; returns the box that ends the run."""
        self.screen.serve(case)
        layout = self.launch()
        self.wait_ready(layout)
        self.click(layout.main_centre())
        boxes = wait_until(lambda: self.screen.boxes(), 120, 0.2)
        check(boxes, "the run ended without a box")
        return layout, boxes[0]

    def close_and_finish(self, layout):
        self.dismiss("Return")
        self.click(layout.close_centre())
        return self.finish()

    def run_with(self, net48, body):
        sc = self.screen
        saved = sc.net48_release()
        try:
            sc.set_net48_release({view: net48 for view in saved})
            self.forget_webview2()
            body()
        finally:
            if os.path.exists(self.script):
                os.remove(self.script)
            sc.set_net48_release(saved)
            self.forget_webview2()
            sc.probe("clear-registration")

    # --- tests -----------------------------------------------------------------
    def test_net48_installed_then_the_run_completes(self):
        def body():
            self.fake_does("release=528040")
            layout, box = self.install("com_net48")
            check(box[0] == "安装完成", f"box {box}")
            log = self.screen.log()
            check("prerequisite: .NET Framework 4.8 missing before registration" in log, "no missing line")
            check("ndp48 install gotResult=true exitCode=0" in log, f"no bootstrapper result in {log}")
            check("install complete" in log, "no completion in the log")
            check(self.fake_runs() == 1, f"bootstrapper ran {self.fake_runs()} times")
            check(self.screen.net48_release()["64"] == 528040, "the Release value did not appear")
            code = self.close_and_finish(layout)
            check(code == 0, f"exit code {code}")
        self.run_with(None, body)

    def test_net48_restart_keeps_the_registry(self):
        for exit_code in (3010, 1641):
            def body():
                self.fake_does(f"exit={exit_code}")
                layout, box = self.install("com_net48")
                check(box[0] == "需要重启电脑", f"box {box} after {exit_code}")
                log = self.screen.log()
                check(f"ndp48 install gotResult=true exitCode={exit_code}" in log, f"log {log}")
                check("abort: .NET 4.8 requires reboot (3010); preserving existing plugin until reboot" in log,
                      "no reboot line")
                check("step 2: core register begin" not in log, "registration began")
                code, out = self.screen.host_probe(32, "office", "Word", "Quilmo2027.Word")
                check(code != 0, f"the add-in is registered after {exit_code}: {out.strip()}")
                code = self.close_and_finish(layout)
                # Wine hands only the low 8 bits of a Windows exit code to Unix.
                check(code == 3010 & 0xFF, f"exit code {code} after {exit_code}")
            self.run_with(None, body)

    def test_net48_bootstrapper_failing_stops_with_2(self):
        def body():
            self.fake_does("exit=1603")
            layout, box = self.install("com_net48")
            check(box[0] == "缺少必需运行环境", f"box {box}")
            check("ndp48 install gotResult=true exitCode=1603" in self.screen.log(), "no result line")
            code = self.close_and_finish(layout)
            check(code == 2, f"exit code {code}")
        self.run_with(None, body)

    def test_webview2_installed_by_its_bootstrapper(self):
        def body():
            self.fake_does("webview2=" + WEBVIEW2_VERSION)
            layout, box = self.install("com_webview2")
            check(box == ("安装完成", "奎墨 已成功安装！"), f"box {box}")
            log = self.screen.log()
            check("webview2 install exit=0" in log, f"log {log}")
            check(self.webview2_registered(), "the runtime was not registered")
            code = self.close_and_finish(layout)
            check(code == 0, f"exit code {code}")
        self.run_with(528040, body)

    def test_webview2_not_installed_is_mentioned_and_the_run_ends_with_0(self):
        def body():
            self.fake_does("exit=1603")
            layout, box = self.install("com_webview2")
            check(box[0] == "安装完成" and "WebView2" in box[1], f"box {box}")
            log = self.screen.log()
            check("webview2 install exit=1603" in log, f"log {log}")
            check("install complete" in log, "no completion in the log")
            code = self.close_and_finish(layout)
            check(code == 0, f"exit code {code}")
        self.run_with(528040, body)


def main():
    build = sys.argv[1]
    wanted = sys.argv[2:]
    screen = Screen(build)
    screen.trust_root()
    # The fake bootstrapper's chain ends in the signing root.
    code, _ = screen.probe("trust-root", screen.windows_path(os.path.join(screen.state, "signing", "ca.der")))
    check(code == 0, "cannot add the signing root")
    tests = PrerequisiteTests(screen)
    names = [n for n in dir(PrerequisiteTests) if n.startswith("test_") and n not in dir(WindowTests)
             and (not wanted or n in wanted)]
    failed = run_named(tests, names)
    shutil.rmtree(tests.record_dir, ignore_errors=True)
    print(f"{len(names) - len(failed)} of {len(names)} passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
