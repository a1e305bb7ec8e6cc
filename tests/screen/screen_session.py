"""Drives the real installer window on the prefix's virtual display: starts
it under Wine, clicks and types with xdotool, takes screenshots with
ImageMagick and asks a small probe inside the prefix what the screen cannot
tell (message-box texts, the window rectangle, whether it answers).

Shared by the screen tests and tools/screenshot.sh.
"""
import json
import os
import re
import shutil
import subprocess
import time

UNINSTALL_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quilmo2025"
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"


class Screen:
    def __init__(self, build):
        self.build = os.path.abspath(build)
        self.wine_run = os.path.join(self.build, "wine-run")
        self.setup_exe = os.path.join(self.build, "QuilmoSetup.exe")
        self.probe_exe = os.path.join(self.build, "screen", "screen_probe.exe")
        self.fake_host_exe = os.path.join(self.build, "screen", "WINWORD.EXE")
        self.state = os.path.join(self.build, "test-server")
        root = os.path.join(self.build, "wine")
        # Boots the prefix and its display when this is the first Wine program.
        subprocess.run([self.wine_run, "cmd", "/c", "exit"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=120)
        with open(os.path.join(root, "display")) as f:
            self.display = f.read().strip()
        self.prefix = os.path.join(root, os.environ.get("QUILMO_WINE_ARCH", "win64"))
        user = os.environ.get("USER") or "root"
        self.base_dir = os.path.join(self.prefix, "drive_c", "users", user, "AppData", "Roaming",
                                     "QuilmoStudio", "Quilmo2025")
        self.env = dict(os.environ, DISPLAY=self.display)

    # --- Wine side -------------------------------------------------------
    def wine(self, *args, timeout=60):
        done = subprocess.run([self.wine_run, *args], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              stdin=subprocess.DEVNULL, timeout=timeout)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def probe(self, *args):
        return self.wine(self.probe_exe, *args)

    def start(self, *args):
        return subprocess.Popen([self.wine_run, self.setup_exe, *args], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_fake_host(self):
        return subprocess.Popen([self.wine_run, self.fake_host_exe], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def trust_root(self):
        code, _ = self.probe("trust-root", self.windows_path(os.path.join(self.state, "pki", "root.der")))
        if code != 0:
            raise RuntimeError("cannot add the test root CA")

    def reg(self, *args):
        return self.wine("reg", *args)[0]

    def set_dpi(self, dpi):
        self.reg("add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")

    NET48_KEY = r"HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full"

    def net48_release(self):
        """The "Release" value of .NET Framework 4 in both registry views (None: absent)."""
        values = {}
        for view in ("32", "64"):
            code, out = self.wine("reg", "query", self.NET48_KEY, "/v", "Release", "/reg:" + view)
            found = re.search(r"Release\s+REG_DWORD\s+0x([0-9a-fA-F]+)", out)
            values[view] = int(found.group(1), 16) if code == 0 and found else None
        return values

    def set_net48_release(self, values):
        for view, value in values.items():
            if value is None:
                self.reg("delete", self.NET48_KEY, "/v", "Release", "/f", "/reg:" + view)
            else:
                self.reg("add", self.NET48_KEY, "/v", "Release", "/t", "REG_DWORD", "/d", str(value), "/f",
                         "/reg:" + view)

    def host_probe(self, bits, kind, host, prog_id):
        exe = os.path.join(self.build, "host", f"host_probe{bits}.exe")
        return self.wine(exe, kind, host, prog_id)

    @staticmethod
    def windows_path(unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    # --- release server ----------------------------------------------------
    def serve(self, case, script=None):
        with open(os.path.join(self.state, "release_case"), "w", encoding="utf-8") as f:
            f.write(case)
        with open(os.path.join(self.state, "script.json"), "w", encoding="utf-8") as f:
            json.dump(script or {}, f, ensure_ascii=False)

    def release_dir(self, case):
        return os.path.join(self.state, "www", "install", case)

    def release_files(self, case):
        """(path, sha256) of every entry of a served release's manifest."""
        with open(os.path.join(self.release_dir(case), "install.json"), encoding="utf-8") as f:
            text = f.read()
        rows = re.findall(r'"path":"((?:[^"\\]|\\.)*)","hash":"([0-9a-fA-F]{64})"', text)
        return [(json.loads('"' + p + '"'), h.lower()) for p, h in rows]

    def forget_installation(self):
        self.reg("delete", UNINSTALL_KEY, "/f")
        shutil.rmtree(self.base_dir, ignore_errors=True)

    def log(self):
        try:
            with open(os.path.join(self.base_dir, "installer-auto.log"), encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            return []
        return [line[22:] for line in lines if line.startswith("[")]

    # --- screen ------------------------------------------------------------
    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=20).stdout.decode()

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", str(x), str(y))
        self.xdotool("click", "1")

    def key(self, name):
        self.xdotool("key", name)

    def focus(self, title):
        """Gives the keyboard to the window of that title. The test display has
        no window manager, so nothing hands the focus on when a box closes."""
        ids = self.xdotool("search", "--name", "^" + re.escape(title) + "$").split()
        if ids:
            self.xdotool("windowfocus", "--sync", ids[-1])
        return bool(ids)

    def shot(self, path=None, crop=None):
        """The whole screen as rows of (r, g, b); written to path as PNG when given."""
        args = ["import", "-window", "root"]
        if crop:
            x, y, w, h = crop
            args += ["-crop", f"{w}x{h}+{x}+{y}", "+repage"]
        if path:
            subprocess.run([*args, path], env=self.env, check=True, timeout=30)
        data = subprocess.run([*args, "-depth", "8", "ppm:-"], env=self.env, check=True, stdout=subprocess.PIPE,
                              timeout=30).stdout
        return Image.from_ppm(data)

    def window_rect(self):
        code, out = self.probe("rect")
        if code != 0:
            return None
        return tuple(int(v) for v in out.split())

    def boxes(self):
        _, out = self.probe("boxes")
        return [tuple(line.split("\t", 1)) for line in out.splitlines() if "\t" in line]


class Image:
    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    @staticmethod
    def from_ppm(data):
        # P6 <w> <h> <max>\n then RGB bytes
        fields = []
        at = 0
        while len(fields) < 4:
            while data[at:at + 1].isspace():
                at += 1
            if data[at:at + 1] == b"#":
                at = data.index(b"\n", at) + 1
                continue
            end = at
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[at:end])
            at = end
        at += 1
        width, height = int(fields[1]), int(fields[2])
        if int(fields[3]) != 255:
            raise ValueError("expected 8 bits per channel")
        return Image(width, height, data[at:at + width * height * 3])

    def at(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def count(self, x0, y0, x1, y1, match):
        """Pixels in [x0, x1) x [y0, y1) for which match(rgb) holds."""
        n = 0
        for y in range(max(0, y0), min(self.height, y1)):
            for x in range(max(0, x0), min(self.width, x1)):
                if match(self.at(x, y)):
                    n += 1
        return n

    def region(self, x0, y0, x1, y1):
        rows = []
        for y in range(y0, y1):
            i = (y * self.width + x0) * 3
            rows.append(self.pixels[i:i + (x1 - x0) * 3])
        return b"".join(rows)


def near(colour, rgb, tolerance=24):
    return all(abs(a - b) <= tolerance for a, b in zip(colour, rgb))


GREEN = (0x07, 0xC1, 0x60)


def is_green(rgb):
    return near(rgb, GREEN, 30)


def is_dark(rgb):
    return max(rgb) < 0x70


def is_white(rgb):
    return min(rgb) >= 0xF0


def wait_until(condition, timeout, step=0.05):
    """Polls condition until it returns something true; returns it, or None."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(step)
