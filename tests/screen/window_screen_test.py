#!/usr/bin/env python3
"""The real installer window on the test display, for what only the screen
shows: its rounded shape, its painted texts and controls, the boxes its
button raises, clicks at 96 and 144 DPI, and closing it during downloads.

Usage: window_screen_test.py BUILD_DIR [TEST_NAME...]
Runs in the build's Wine prefix against the release server the CTest
fixture started. Every wait polls its condition with a short time-out.
"""
import hashlib
import os
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from screen_session import Screen, is_dark, is_green, is_white, wait_until  # noqa: E402

TITLE_BOXES = {
    "agreement": ("提示", "请先阅读并同意用户协议"),
    "loading": ("提示", "正在获取安装信息，请稍候..."),
    "network": ("网络错误", "无法连接到服务器，安装不可用。  请检查网络连接后重启安装程序。"),
    "directory": ("目录不可用", "当前安装目录不适合安装本插件。  请点击“高级设置”选择其他目录。"),
    "hosts": ("重要提示", "Office 或 WPS 还在运行，点【确定】将为你强制彻底退出 Office 和 WPS 全部窗口，请确保文件已经保存。"),
}
WINDOW_TITLE = "奎墨 安装程序"
V1_SLOW = ["/files/2026.1.10/Quilmo.Core.dll", "/files/2026.1.10/bin/helper.dll",
           "/files/2026.1.10/readme.txt", "/files/2026.1.10/ndp48-web.exe"]


def near_grey(rgb):  # the directory box's light fill or outline
    return min(rgb) >= 0xD0 and max(rgb) - min(rgb) < 10 and rgb != (255, 255, 255)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Layout:
    """Client-area spots of the controls at a scale, as the window lays them out."""

    def __init__(self, rect, scale):
        self.x, self.y, self.width, self.height = rect
        self.s = scale

    def sc(self, v):
        return int(v * self.s)

    def screen(self, cx, cy):
        return self.x + cx, self.y + cy

    def main_button(self):  # x0, y0, x1, y1 in client pixels
        w = self.sc(180)
        x = (self.width - w) // 2
        return x, self.sc(175), x + w, self.sc(175) + self.sc(40)

    def main_centre(self):
        x0, y0, x1, y1 = self.main_button()
        return self.screen((x0 + x1) // 2, (y0 + y1) // 2)

    def checkbox_square(self):
        x = (self.width - self.sc(200)) // 2 + self.sc(30)
        side = self.sc(14)
        y = self.sc(230) + (self.sc(20) - side) // 2
        return x, y, x + side, y + side

    def checkbox_inside(self):  # the square without its outline, which turns blue under the mouse
        x0, y0, x1, y1 = self.checkbox_square()
        return x0 + 2, y0 + 2, x1 - 1, y1 - 1

    def checkbox_centre(self):
        x0, y0, x1, y1 = self.checkbox_square()
        return self.screen((x0 + x1) // 2, (y0 + y1) // 2)

    def close_centre(self):
        return self.screen(self.width - self.sc(20), self.sc(15))

    def progress_bar(self):
        w = self.sc(240)
        x = (self.width - w) // 2
        y = self.sc(305) - self.sc(100)
        return x, y, x + w, y + self.sc(6)

    def status_line(self):
        return 0, self.sc(255), self.width, self.sc(255) + self.sc(20)

    def title_box(self):
        return 0, self.sc(110), self.width, self.sc(145)


class WindowTests:
    def __init__(self, screen):
        self.screen = screen
        self.setup = None
        self.fake_host = None
        self.layout = None

    # --- helpers -------------------------------------------------------------
    def reset(self):
        sc = self.screen
        sc.serve("")
        sc.forget_installation()
        sc.set_dpi(96)

    def launch(self, scale=1.0):
        # The mouse rests away from the window: a control under it would
        # take the hover look, and a disabled button would look enabled.
        self.screen.xdotool("mousemove", "--sync", "1", "1")
        self.setup = self.screen.start()
        rect = wait_until(self.screen.window_rect, 30, 0.1)
        check(rect is not None, "the installer window did not appear")
        self.layout = Layout(rect, scale)
        return self.layout

    def finish(self, timeout=30):
        code = None
        try:
            code = self.setup.wait(timeout)
        except Exception:
            self.setup.kill()
            self.setup.wait()
        self.setup = None
        return code

    def cleanup(self):
        if self.setup is not None:
            self.setup.kill()
            self.setup.wait()
            self.setup = None
        if self.fake_host is not None:
            self.fake_host.kill()
            self.fake_host.wait()
            self.fake_host = None
        # Boxes left open would block the next test's keys.
        for _ in range(5):
            if not self.screen.boxes():
                break
            self.screen.key("Escape")
            time.sleep(0.1)

    def client_count(self, shot, layout, box, match):
        x0, y0, x1, y1 = box
        return shot.count(layout.x + x0, layout.y + y0, layout.x + x1, layout.y + y1, match)

    def wait_ready(self, layout):
        """The manifest is in: the main button turns green."""
        x0, y0, x1, y1 = layout.main_button()
        area = (x1 - x0) * (y1 - y0)

        def green_button():
            shot = self.screen.shot()
            return shot if self.client_count(shot, layout, layout.main_button(), is_green) > area // 2 else None

        shot = wait_until(green_button, 30, 0.2)
        check(shot is not None, "the main button never turned green (manifest not loaded)")
        return shot

    def wait_box(self, expected, timeout=15):
        boxes = wait_until(lambda: [b for b in self.screen.boxes() if b[0] == expected[0]], timeout, 0.1)
        check(boxes, f"no box titled {expected[0]}; boxes: {self.screen.boxes()}")
        if expected[1] is not None:
            check(boxes[0][1] == expected[1], f"box {expected[0]} says {boxes[0][1]!r}, expected {expected[1]!r}")

    def dismiss(self, key="Return"):
        boxes = self.screen.boxes()
        check(boxes, "no box to dismiss")
        self.screen.focus(boxes[0][0])
        self.screen.key(key)
        check(wait_until(lambda: not self.screen.boxes(), 10, 0.1), "the box did not close")
        # Without a window manager nothing makes the owner active again, and
        # the next click would only activate it.
        self.screen.focus(WINDOW_TITLE)

    def click(self, point):
        self.screen.click(*point)

    def progress_fill(self, layout):
        x0, y0, x1, y1 = layout.progress_bar()
        shot = self.screen.shot()
        row = layout.y + (y0 + y1) // 2
        return sum(1 for x in range(layout.x + x0, layout.x + x1) if is_green(shot.at(x, row)))

    def wait_run_end(self, timeout=90):
        """Until the run ends: its completion line, or an abort's box (dismissed)."""
        sc = self.screen

        def ended():
            log = sc.log()
            return sc.boxes() or "install complete" in log or any(m.startswith("install not completed") for m in log)

        check(wait_until(ended, timeout, 0.2), "the installation did not end")
        if sc.boxes():
            self.dismiss()

    def no_install_started(self):
        check("RunInstaller begin" not in self.screen.log(), "an installation was started")

    # --- tests -----------------------------------------------------------------
    def test_window_at_rest_and_install(self):
        sc = self.screen
        # Staggered stalls: the installer fetches several files at once, and
        # the bar should still be seen at more than one step of the downloads.
        sc.serve("v1", {p: {"stall_ms": 700 * (i + 1)} for i, p in enumerate(V1_SLOW)})
        before = sc.shot()
        layout = self.launch()
        check((layout.width, layout.height) == (480, 305), f"window is {layout.width}x{layout.height}")
        shot = self.wait_ready(layout)

        # Rounded region: the corners show what was on the screen before.
        for cx, cy in ((0, 0), (layout.width - 1, 0), (0, layout.height - 1), (layout.width - 1, layout.height - 1)):
            x, y = layout.screen(cx, cy)
            check(shot.at(x, y) == before.at(x, y), f"corner ({cx},{cy}) is painted: {shot.at(x, y)}")
        check(is_white(shot.at(*layout.screen(layout.width // 2, 4))), "top edge is not the window's white")

        # Title: dark glyphs centred in the title box.
        x0, y0, x1, y1 = layout.title_box()
        xs = [x for y in range(y0, y1) for x in range(x0, x1) if is_dark(shot.at(*layout.screen(x, y)))]
        check(len(xs) > 150, f"title has {len(xs)} dark pixels")
        middle = (min(xs) + max(xs)) / 2
        check(abs(middle - layout.width / 2) <= 4, f"title centred at {middle}")

        # Caption: white text on the green button.
        check(self.client_count(shot, layout, layout.main_button(), is_white) > 40, "no caption on the button")
        # Version tag: a green label right of centre at y = 112.
        tag = (layout.width // 2, 110, layout.width - 90, 140)
        check(self.client_count(shot, layout, tag, is_green) > 100, "no green version tag")
        # Agreement ticked, progress bar hidden.
        check(self.client_count(shot, layout, layout.checkbox_inside(), lambda p: p[2] > 0xB0 and p[0] < 0x40) > 5,
              "agreement not ticked")

        status_before = shot.region(*[v + o for v, o in zip(layout.status_line(), (layout.x, layout.y) * 2)])
        self.click(layout.main_centre())
        fills = []
        statuses = set()

        def progressed():
            fills.append(self.progress_fill(layout))
            s = sc.shot()
            statuses.add(s.region(*[v + o for v, o in zip(layout.status_line(), (layout.x, layout.y) * 2)]))
            return len(set(f for f in fills if f > 0)) >= 3

        check(wait_until(progressed, 30, 0.15), f"progress did not grow: {fills}")
        grown = [f for f in fills if f > 0]
        check(grown == sorted(grown), f"progress went back: {grown}")
        check(len(statuses - {status_before}) >= 2, "status line did not change")
        code, out = sc.probe("ping")
        check(code == 0, f"window did not answer during downloads: {out}")

        # v1 carries no COM add-in: the run ends with the incomplete-payload box.
        self.wait_run_end()
        self.click(layout.close_centre())
        code = self.finish()
        check(code == 1, f"exit code {code} after an aborted run")

    def test_install_to_completion(self):
        sc = self.screen
        saved_net48 = sc.net48_release()
        try:
            sc.set_net48_release({view: 528040 for view in saved_net48})  # .NET Framework 4.8 present
            sc.serve("com1")
            layout = self.launch()
            shot = self.wait_ready(layout)
            button = [v + o for v, o in zip(layout.main_button(), (layout.x, layout.y) * 2)]
            caption_before = shot.region(*button)
            self.click(layout.main_centre())
            self.wait_box(("安装完成", None), timeout=120)
            self.dismiss("Return")
            # "进入Office" takes the main button's place: green, another caption.
            x0, y0, x1, y1 = layout.main_button()

            def replaced():
                shot = sc.shot()
                green = self.client_count(shot, layout, (x0, y0, x1, y1), is_green) > (x1 - x0) * (y1 - y0) // 2
                return green and shot.region(*button) != caption_before

            check(wait_until(replaced, 10, 0.2), "the main button was not replaced by a green one")
            log = sc.log()
            check("install complete" in log, "no completion in the log")
            # Office and WPS find the new version, as they load it.
            version_line = [m for m in log if m.startswith("target path=")]
            check(version_line, "no target path in the log")
            target = version_line[0][len("target path="):]
            for bits, dll in ((32, "ZUDodi32.dll"), (64, "REDero64.dll")):
                for kind, host, prog_id in (("office", "Word", "Quilmo2027.Word"), ("office", "Excel", "Quilmo2027.Excel"),
                                            ("office", "PowerPoint", "Quilmo2027.PPT"), ("wps", "WPS", "Quilmo2027.Word"),
                                            ("wps", "ET", "Quilmo2027.Excel"), ("wps", "WPP", "Quilmo2027.PPT")):
                    code, out = sc.host_probe(bits, kind, host, prog_id)
                    check(code == 0 and out.strip().lower() == ("loaded " + target + dll).lower(),
                          f"{bits}-bit {kind} {host}: {code} {out.strip()}")
            self.click(layout.close_centre())
            check(self.finish() == 0, "closing after completion must end with 0")
        finally:
            sc.set_net48_release(saved_net48)
            sc.probe("clear-registration")

    def test_boxes_that_install_nothing(self):
        sc = self.screen
        # The agreement unchecked.
        sc.serve("v1")
        layout = self.launch()
        self.wait_ready(layout)
        self.click(layout.checkbox_centre())
        unticked = wait_until(lambda: self.client_count(sc.shot(), layout, layout.checkbox_inside(),
                                                        lambda p: p[2] > 0xB0 and p[0] < 0x40) == 0, 5, 0.1)
        check(unticked, "the tick did not go away")
        self.click(layout.main_centre())
        self.wait_box(TITLE_BOXES["agreement"])
        self.dismiss()
        self.click(layout.close_centre())
        check(self.finish() == 0, "closing an idle window must end with 0")
        self.no_install_started()

        # The manifest not yet loaded.
        sc.serve("v1", {"/install.json": {"stall_ms": 6000}})
        layout = self.launch()
        self.click(layout.main_centre())
        self.wait_box(TITLE_BOXES["loading"])
        self.dismiss()
        self.click(layout.close_centre())
        check(self.finish() == 0, "closing while loading must end with 0")
        self.no_install_started()

        # The server unreachable: the manifest thread's box, then the button's.
        sc.serve("offline")
        layout = self.launch()
        boxes = wait_until(lambda: sc.boxes(), 30, 0.2)
        check(boxes and boxes[0][0] == "更新清单验证失败", f"boxes: {boxes}")
        self.dismiss()
        check(sc.probe("ping")[0] == 0, "the window does not answer after the box")
        # Under Wine without a window manager the first clicks after a box
        # raised by another thread may be lost: press until the box shows.
        for _ in range(4):
            self.click(layout.main_centre())
            if wait_until(lambda: sc.boxes(), 1.5, 0.1):
                break
        self.wait_box(TITLE_BOXES["network"])
        self.dismiss()
        self.click(layout.close_centre())
        check(self.finish() == 0, "closing after a failed manifest must end with 0")
        self.no_install_started()

        # A saved base directory nobody may write to (Wine derives the
        # folder's DACL from its Unix mode).
        guarded = os.path.join(sc.prefix, "drive_c", "guarded")
        os.makedirs(guarded, exist_ok=True)
        os.chmod(guarded, 0o555)
        try:
            sc.reg("add", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quilmo2025", "/v",
                   "InstallBaseLocation", "/t", "REG_SZ", "/d", "C:\\guarded\\Quilmo2025\\", "/f")
            sc.serve("v1")
            layout = self.launch()
            self.wait_ready(layout)
            self.click(layout.main_centre())
            self.wait_box(TITLE_BOXES["directory"])
            self.dismiss()
            self.click(layout.close_centre())
            check(self.finish() == 0, "closing must end with 0")
            self.no_install_started()
            check(not os.path.exists(os.path.join(guarded, "Quilmo2025")), "the refused folder was created")
        finally:
            os.chmod(guarded, 0o755)

    def test_running_office_is_asked_about(self):
        sc = self.screen
        sc.serve("v1")
        self.fake_host = sc.start_fake_host()
        layout = self.launch()
        self.wait_ready(layout)
        self.click(layout.main_centre())
        self.wait_box(TITLE_BOXES["hosts"])
        self.dismiss("Escape")  # Cancel
        time.sleep(0.3)
        check(self.fake_host.poll() is None, "Cancel ended WINWORD.EXE")
        self.no_install_started()

        self.click(layout.main_centre())
        self.wait_box(TITLE_BOXES["hosts"])
        self.dismiss("Return")  # OK
        try:
            self.fake_host.wait(15)
        except Exception:
            raise Failure("OK did not end WINWORD.EXE")
        self.fake_host = None
        check(wait_until(lambda: "RunInstaller begin" in sc.log(), 15, 0.1), "OK did not start the installation")
        self.wait_run_end()
        self.click(layout.close_centre())
        self.finish()

    def test_scaled_window_at_144_dpi(self):
        sc = self.screen
        sc.set_dpi(144)
        sc.serve("v1")
        layout = self.launch(1.5)
        check((layout.width, layout.height) == (720, 457), f"window is {layout.width}x{layout.height}")
        shot = self.wait_ready(layout)
        x0, y0, x1, y1 = layout.main_button()
        check(self.client_count(shot, layout, (x0, y0, x1, y1), is_green) > (x1 - x0) * (y1 - y0) * 3 // 4,
              "the scaled main button is not where it belongs")
        # Untick at the scaled box (below the 96-DPI window's bottom edge), then press.
        self.click(layout.checkbox_centre())
        check(wait_until(lambda: self.client_count(sc.shot(), layout, layout.checkbox_inside(),
                                                   lambda p: p[2] > 0xB0 and p[0] < 0x40) == 0, 5, 0.1),
              "the scaled checkbox did not toggle")
        self.click(layout.main_centre())
        self.wait_box(TITLE_BOXES["agreement"])
        self.dismiss()
        # 高级设置 opens the directory row: 390 logical pixels high, and 收起 closes it.
        advanced = layout.screen(layout.width // 2, layout.sc(265) + layout.sc(30) // 2)
        self.click(advanced)
        check(wait_until(lambda: (sc.window_rect() or (0, 0, 0, 0))[3] == 585, 5, 0.1), "advanced area did not open")
        shot = sc.shot()
        box = (layout.x + (layout.width - layout.sc(368)) // 2, layout.y + layout.sc(325))
        check(near_grey(shot.at(box[0] + layout.sc(20), box[1] + 2)), "no directory box in the advanced area")
        self.click(advanced)
        check(wait_until(lambda: (sc.window_rect() or (0, 0, 0, 0))[3] == 457, 5, 0.1), "advanced area did not close")
        self.click(layout.close_centre())
        check(self.finish() == 0, "the scaled close button did not close the window")
        self.no_install_started()

    def test_closing_during_downloads(self):
        sc = self.screen
        sc.serve("v1", {p: {"stall_ms": 2500} for p in V1_SLOW})
        layout = self.launch()
        self.wait_ready(layout)
        self.click(layout.main_centre())
        check(wait_until(lambda: any(m.startswith("download needed count=") for m in sc.log()), 30, 0.1),
              "downloads did not start")
        time.sleep(0.3)  # let the first stalled file be under way
        code, out = sc.probe("ping")
        check(code == 0, f"window did not answer during downloads: {out}")
        self.click(layout.close_centre())
        code = self.finish(40)
        check(code == 1, f"exit code {code} after closing during downloads")
        target = os.path.join(sc.base_dir, "2026.1.10")
        for path, digest in sc.release_files("v1"):
            local = os.path.join(target, path.replace("\\", "/"))
            if os.path.exists(local):
                with open(local, "rb") as f:
                    check(hashlib.sha256(f.read()).hexdigest() == digest, f"partial file {path}")

    def test_noisy_manifest_texts(self):
        sc = self.screen
        sc.serve("noisy", {f"/files/noisy/n{i}.dll": {"stall_ms": 1500} for i in range(3)})
        before = sc.shot()
        layout = self.launch()
        shot = self.wait_ready(layout)
        check((layout.width, layout.height) == (480, 305), "the window changed its size")
        # Nothing outside the window's rectangle changed.
        for y in range(0, before.height, 3):
            for x in range(0, before.width, 3):
                inside = layout.x <= x < layout.x + layout.width and layout.y <= y < layout.y + layout.height
                if not inside and shot.at(x, y) != before.at(x, y):
                    raise Failure(f"painted outside the window at ({x},{y})")
        # The version tag is inside the window and the title stays on its line.
        tag = (0, 110, layout.width, 150)
        check(self.client_count(shot, layout, tag, is_green) > 100, "no version tag")
        above = (0, 100, layout.width, 108)
        check(self.client_count(shot, layout, above, is_dark) == 0, "title text spills above its box")
        check(self.client_count(shot, layout, layout.title_box(), is_dark) > 150, "the title is not painted")
        code, out = sc.probe("ping")
        check(code == 0, f"window does not answer: {out}")
        self.click(layout.main_centre())
        if wait_until(lambda: any(m.startswith("download needed count=") for m in sc.log()), 30, 0.1):
            code, out = sc.probe("ping")
            check(code == 0, f"window did not answer during downloads: {out}")
        self.wait_run_end()
        code, out = sc.probe("ping")
        check(code == 0, f"window does not answer after the run: {out}")
        self.click(layout.close_centre())
        check(self.finish() is not None, "the window did not close")


def run_named(tests, names):
    """Runs each named test from a clean prefix state, prints its outcome
    and returns the names that failed."""
    failed = []
    for name in names:
        started = time.monotonic()
        tests.reset()
        try:
            getattr(tests, name)()
            print(f"[  PASSED  ] {name} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception:
            failed.append(name)
            print(f"[  FAILED  ] {name} ({time.monotonic() - started:.1f} s)", flush=True)
            traceback.print_exc()
        finally:
            tests.cleanup()
            tests.reset()
    return failed


def main():
    build = sys.argv[1]
    wanted = sys.argv[2:]
    screen = Screen(build)
    screen.trust_root()
    tests = WindowTests(screen)
    names = [n for n in dir(tests) if n.startswith("test_") and (not wanted or n in wanted)]
    failed = run_named(tests, names)
    print(f"{len(names) - len(failed)} of {len(names)} passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
