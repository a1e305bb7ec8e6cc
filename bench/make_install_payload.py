#!/usr/bin/env python3
"""Writes the installation benchmark's two payloads: WORK/v1 with 300 files of
about 150 MB in mixed sizes (1 KB to 20 MB), and WORK/v2, the same with 10 %
of the files (30) changed. Prints the changed relative paths to WORK/changed.txt.
With HOST_DIR (the built test COM servers) both versions also carry the
add-in's core files, unchanged between them, so the runs switch the add-in
over as a real release does.
"""
import os
import random
import shutil
import sys

work = sys.argv[1]
host = sys.argv[2] if len(sys.argv) > 2 else None
rng = random.Random(7)
sizes = [20 << 20] * 5 + [2 << 20] * 15 + [300 << 10] * 40 + [rng.randint(1 << 10, 60 << 10) for _ in range(240)]
rng.shuffle(sizes)
paths = [f"lib{i % 6}/file{i:03d}.{('dll', 'bin', 'dat', 'json')[i % 4]}" for i in range(len(sizes))]


def write(root, rel, size):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(os.urandom(size))


v1, v2 = os.path.join(work, "v1"), os.path.join(work, "v2")
shutil.rmtree(work, ignore_errors=True)
for rel, size in zip(paths, sizes):
    write(v1, rel, size)
shutil.copytree(v1, v2)
# One big file, two medium ones and the rest small: about a tenth of the bytes too.
by_size = sorted(range(len(sizes)), key=lambda i: sizes[i], reverse=True)
changed = [by_size[0], by_size[6], by_size[7]] + by_size[20:24] + rng.sample(by_size[60:], 23)
if host:
    core = {"Quilmo.Core.dll": os.urandom(64 << 10), "Quilmo.Core.dll.config": b"<configuration />\r\n",
            "Library.dll": os.urandom(32 << 10)}
    for root in (v1, v2):
        for name in ("ZUDodi32.dll", "REDero64.dll"):
            shutil.copy(os.path.join(host, name), os.path.join(root, name))
        for name, data in core.items():
            with open(os.path.join(root, name), "wb") as f:
                f.write(data)
with open(os.path.join(work, "changed.txt"), "w") as out:
    for i in changed:
        write(v2, paths[i], sizes[i])
        out.write(paths[i] + "\n")
print(f"{len(paths)} files, {sum(sizes) / 1048576:.1f} MB; {len(changed)} changed, "
      f"{sum(sizes[i] for i in changed) / 1048576:.1f} MB")
