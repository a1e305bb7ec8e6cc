#!/bin/sh
# The includes of the product run one way (tools/check_includes.py): the
# clone keeps the rule, and the check itself catches each kind of break on a
# small tree made here.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
check="$root/tools/check_includes.py"
failures=0

if ! out=$(python3 "$check" "$root"); then
    echo "includes that break the rule:"
    echo "$out"
    failures=$((failures + 1))
fi

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

# room | included header | expected exit code
while IFS='|' read -r room header expected; do
    rm -rf "$tree"/*
    mkdir -p "$tree/$room"
    printf '#include <windows.h>\n#include "%s"\n' "$header" >"$tree/$room/piece.cpp"
    out=$(python3 "$check" "$tree")
    rc=$?
    if [ "$rc" -ne "$expected" ]; then
        echo "FAIL: $room/ including $header: exit $rc, expected $expected: $out"
        failures=$((failures + 1))
    elif [ "$expected" -eq 1 ] && ! echo "$out" | grep -q "^$room/piece.cpp:2: $room/ must not include $header\$"; then
        echo "FAIL: $room/ including $header: the report does not name the file, line and header: $out"
        failures=$((failures + 1))
    fi
done <<'CASES'
pipeline|ui/controls.h|1
pipeline|ui/tips.h|1
registration|pipeline/installer_state.h|1
probes|ui/controls.h|1
manifest|pipeline/worker.h|1
files|registration/registration_tables.h|1
files|manifest/http_client.h|1
files|probes/runtime_probes.h|1
files|startup/elevation.h|1
registration|startup/subcommands.h|1
files|manifest/sha256.h|0
files|startup/installer_log.h|0
registration|startup/paths.h|0
probes|startup/fatal_error.h|0
manifest|startup/dll_hardening.h|0
pipeline|registration/registry_snapshot.h|0
pipeline|startup/elevation.h|0
ui|pipeline/installer_state.h|0
startup|ui/main_window.h|0
registration|files/path_text.h|0
CASES

# A header, not only a source file, is checked, and an include written with
# spaces after the hash still counts.
rm -rf "$tree"/*
mkdir -p "$tree/pipeline"
printf '#pragma once\n#  include "ui/window_state.h"\n' >"$tree/pipeline/state.h"
if python3 "$check" "$tree" >/dev/null; then
    echo "FAIL: an upward include in a header written as '#  include' passed"
    failures=$((failures + 1))
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "include rule kept; the check caught every break in the table"
