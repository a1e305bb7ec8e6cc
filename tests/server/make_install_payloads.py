#!/usr/bin/env python3
"""Writes the payloads of the installation tests' releases into WORK/<case>/.

Cases published by the publishing tool get a payload folder; cases the tool
would refuse (unsafe paths, odd versions, duplicates, a huge list) get a
hand-made install.json next to the files it lists, ready to be signed.
Contents are pseudo-random but fixed, so every run serves the same bytes.
"""
import hashlib
import json
import os
import random
import re
import sys

work = sys.argv[1]
rng = random.Random(20261210)


def blob(size):
    return bytes(rng.getrandbits(8) for _ in range(size))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def dump(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def hand_made(case, version, entries, served, raw_controls=False):
    """entries: (url, path, hash) rows; served: {relative url path: bytes}.
    With raw_controls, control characters stand in the text as they are (the
    installer does not decode \\uXXXX)."""
    root = os.path.join(work, case)
    for rel, data in served.items():
        write(os.path.join(root, rel), data)
    head = f'"AppName":"奎墨","AppDes":"","Vison":{dump(version)}'
    lines = [dump({"url": u, "path": p, "hash": h}) for u, p, h in entries]
    if raw_controls:
        lines = [re.sub(r"\\u00([01][0-9a-f])", lambda m: chr(int(m.group(1), 16)), line) for line in lines]
    write(os.path.join(root, "install.json"), ("{" + head + ',"Files":[\n' + ",\n".join(lines) + "\n]}\n").encode())


# v1 and its update v2: two files changed and one added.
v1 = {
    "Quilmo.Core.dll": blob(48 * 1024),
    "bin/helper.dll": blob(16 * 1024),
    "资料/说明.txt": "奎墨插件说明\r\n".encode("utf-8"),
    "readme.txt": b"version one\r\n",
    "ndp48-web.exe": blob(4 * 1024),
}
v2 = dict(v1)
v2["bin/helper.dll"] = blob(16 * 1024)
v2["readme.txt"] = b"version two\r\n"
v2["extra/new.dat"] = blob(8 * 1024)
for case, files in (("v1", v1), ("v2", v2), ("tampered", v1)):
    for rel, data in files.items():
        write(os.path.join(work, case, rel), data)

for case, count in (("nine", 9), ("ten", 10), ("twelve", 12)):
    for i in range(count):
        write(os.path.join(work, case, f"part{i:02d}.bin"), blob(2048))

# A path that climbs out of the version directory, after a good entry.
good = blob(1024)
hand_made("unsafe", "2026.4.1",
          [("[host]files/2026.4.1/good.dll", "good.dll", sha(good)),
           ("[host]files/2026.4.1/outside.dll", "../outside.dll", sha(good))],
          {"files/2026.4.1/good.dll": good, "files/2026.4.1/outside.dll": good})

# A list whose only element names no file.
hand_made("empty", "2026.4.2", [], {})
empty_path = os.path.join(work, "empty", "install.json")
with open(empty_path, "wb") as f:
    f.write('{"AppName":"奎墨","Vison":"2026.4.2","Files":[\n{"note":"nothing"}\n]}\n'.encode())

# A version text that is not a plain directory name.
hand_made("badversion", "../../escape", [("[host]files/x/a.dll", "a.dll", sha(good))], {"files/x/a.dll": good})

# Duplicates: one file listed twice alike, one listed twice with different
# hashes (the second is right), and a 255-character path of Chinese names.
a, b, deep = blob(1024), blob(1024), "深层文件内容".encode("utf-8")
deep_path = "/".join(["目录" * 30, "文件夹" * 20, "子目录" * 20]) + "/" + "长" * (255 - 60 - 60 - 60 - 3 - 4) + ".txt"
assert len(deep_path) == 255, len(deep_path)
hand_made("dupes", "2026.5.1",
          [("[host]files/2026.5.1/a.dll", "a.dll", sha(a)),
           ("[host]files/2026.5.1/a.dll", "a.dll", sha(a)),
           ("[host]files/2026.5.1/b.dll", "b.dll", sha(a)),
           ("[host]files/2026.5.1/b.dll", "b.dll", sha(b)),
           ("[host]files/2026.5.1/deep.txt", deep_path, sha(deep))],
          {"files/2026.5.1/a.dll": a, "files/2026.5.1/b.dll": b, "files/2026.5.1/deep.txt": deep})

# A manifest of several megabytes: twenty thousand entries, none served.
rows = [(f"[host]files/2026.6.1/missing_{i:05d}.bin", f"批量/文件_{i:05d}.bin", sha(str(i).encode()))
        for i in range(20000)]
hand_made("stress", "2026.6.1", rows, {})

# Entry names from the shared table of what Windows holds as listed: each
# refused one alone in a release of its own ("badname_" + its table line),
# and every accepted one together in one published release.
table = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "entry_paths.txt")
with open(table, "rb") as f:
    table_lines = f.read().split(b"\n")
good_names = {}
for number, line in enumerate(table_lines, 1):
    line = line.rstrip(b"\r")
    if not line or line.startswith(b"#"):
        continue
    verdict, escaped = line.split(b"\t", 1)
    name = re.sub(rb"\\(\\|x([0-9A-Fa-f]{2}))",
                  lambda m: bytes([int(m.group(2), 16)]) if m.group(2) else b"\\", escaped).decode("utf-8")
    if verdict == b"accept":
        good_names[name] = blob(512)
    else:
        hand_made(f"badname_{number}", "2026.7.2",
                  [("[host]files/2026.7.2/bad.dll", name, sha(good))], {"files/2026.7.2/bad.dll": good},
                  raw_controls=True)
for rel, data in good_names.items():
    write(os.path.join(work, "goodnames", *rel.split("/")), data)
