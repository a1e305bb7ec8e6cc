#!/usr/bin/env python3
"""Keeps the product's includes running one way.

The rooms, lowest first: files/ (the file toolkit), then manifest/,
registration/ and probes/, then pipeline/, then ui/; startup/ wires them
together. A room may include its own headers and those of rooms below it,
never those above; files/ may use manifest/sha256.h to hash while copying. The log, DLL hardening, fatal-error handling and the
product's paths in startup/ are ground services that every room may use.

Usage: check_includes.py [ROOT]   (default: the clone this script is in)
Prints one line per include that breaks the rule and exits 1, else exits 0.
"""
import pathlib
import re
import sys

GROUND = {
    "startup/installer_log.h",
    "startup/dll_hardening.h",
    "startup/fatal_error.h",
    "startup/paths.h",
}

# Room -> (rooms it must not include, single headers it may include anyway).
RULES = {
    "files": ({"manifest", "registration", "probes", "pipeline", "ui", "startup"}, {"manifest/sha256.h"}),
    "manifest": ({"pipeline", "ui", "startup"}, set()),
    "registration": ({"pipeline", "ui", "startup"}, set()),
    "probes": ({"pipeline", "ui", "startup"}, set()),
    "pipeline": ({"ui"}, set()),
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def violations(root):
    found = []
    for room, (forbidden, allowed) in sorted(RULES.items()):
        folder = root / room
        if not folder.is_dir():
            continue
        for source in sorted(folder.rglob("*")):
            if source.suffix not in (".h", ".cpp", ".c", ".inc"):
                continue
            lines = source.read_text(encoding="utf-8", errors="replace").splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                header = match.group(1)
                target = header.split("/", 1)[0] if "/" in header else ""
                if target in forbidden and header not in allowed and header not in GROUND:
                    relative = source.relative_to(root).as_posix()
                    found.append(f"{relative}:{number}: {room}/ must not include {header}")
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    found = violations(root)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
