#!/bin/sh
# Takes two pictures of the real installer window under Wine: at rest, once
# the release manifest is in, and during an installation. They are cropped
# to the window (its rounded corners show the desktop behind it).
# Usage: tools/screenshot.sh [BUILD_DIR] [OUT_DIR]   (defaults: build, docs)
#   BUILD_DIR is a test build (see tools/run-tests.sh): it has the installer
#   for a local release server, the screen probe and the Wine prefix.
# Writes OUT_DIR/installer-window.png and OUT_DIR/installer-installing.png.
set -eu
cd "$(dirname "$0")/.."
build="$(cd "${1:-build}" && pwd)"
out="${2:-docs}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
port="$(sed -n 's|^QUILMO_DOWNLOAD_BASE_URL:[A-Z]*=https://localhost:\([0-9]*\)/$|\1|p' "$build/CMakeCache.txt")"
[ -n "$port" ] || { echo "$build is not a test build for a local release server" >&2; exit 2; }
[ -f "$build/screen/screen_probe.exe" ] || { echo "build the tests first: cmake --build $build" >&2; exit 2; }

tests/server/release_server.sh start "$build/test-server" "$port" >/dev/null
trap 'tests/server/release_server.sh stop "$build/test-server"; tools/wine-prefix.sh down "$build/wine"' EXIT

python3 - "$build" "$out" <<'PY'
import os, sys
sys.path.insert(0, os.path.join(os.getcwd(), "tests", "screen"))
from screen_session import Screen, is_green, wait_until

build, out = sys.argv[1], sys.argv[2]
sc = Screen(build)
sc.trust_root()
sc.forget_installation()
slow = ["/files/2026.1.10/Quilmo.Core.dll", "/files/2026.1.10/bin/helper.dll", "/files/2026.1.10/readme.txt",
        "/files/2026.1.10/ndp48-web.exe"]
sc.serve("v1", {p: {"stall_ms": 1200} for p in slow})
setup = sc.start()
try:
    rect = wait_until(sc.window_rect, 30, 0.1)
    if rect is None:
        sys.exit("the installer window did not appear")
    x, y, w, h = rect
    bx, by, bw, bh = x + (w - 180) // 2, y + 175, 180, 40

    def ready():
        shot = sc.shot()
        return shot.count(bx, by, bx + bw, by + bh, is_green) > bw * bh // 2

    if not wait_until(ready, 30, 0.2):
        sys.exit("the manifest did not load")
    # Let the mouse rest away from the window, then take the picture.
    sc.xdotool("mousemove", "--sync", "5", "5")
    sc.shot(os.path.join(out, "installer-window.png"), crop=(x, y, w, h))

    sc.click(bx + bw // 2, by + bh // 2)
    sc.xdotool("mousemove", "--sync", "5", "5")
    px, py = x + (w - 240) // 2, y + 205

    def half_way():
        shot = sc.shot()
        return sum(1 for i in range(240) if is_green(shot.at(px + i, py + 3))) >= 96

    if not wait_until(half_way, 60, 0.1):
        sys.exit("the installation did not get under way")
    sc.shot(os.path.join(out, "installer-installing.png"), crop=(x, y, w, h))
finally:
    setup.kill()
    setup.wait()
    sc.serve("")
    sc.forget_installation()
print("wrote", os.path.join(out, "installer-window.png"), "and", os.path.join(out, "installer-installing.png"))
PY
