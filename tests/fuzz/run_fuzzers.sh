#!/bin/sh
# Builds the fuzz targets of the byte rules natively with clang and runs each for a
# while on a copy of the seed corpus, so the source tree is never written.
# Usage: tests/fuzz/run_fuzzers.sh BUILD_DIR SECONDS_PER_TARGET
# Exits non-zero when a target does not build or reports a crash, hang, leak
# or sanitizer error; the input that caused it is kept in BUILD_DIR/fuzz/artifacts.
set -eu

[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR SECONDS_PER_TARGET" >&2; exit 2; }
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
mkdir -p "$1/fuzz"
out="$(cd "$1/fuzz" && pwd)"
seconds="$2"
targets="fuzz_manifest_shape fuzz_file_entries fuzz_payload_check fuzz_vsto_rules"
sources="$root/manifest/manifest_reader.cpp $root/manifest/manifest_shape.cpp $root/manifest/url_template.cpp
  $root/manifest/payload_check.cpp $root/manifest/payload_names.cpp $root/probes/vsto_rules.cpp"
flags="-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -Wall -Wextra"

for target in $targets; do
  # shellcheck disable=SC2086
  if ! clang++ $flags -I"$root" "$here/$target.cpp" $sources -o "$out/$target"; then
    echo "$target: build failed (libFuzzer for Debian's clang 14 is in libclang-rt-14-dev)" >&2
    exit 1
  fi
done

status=0
for target in $targets; do
  corpus="$out/corpus-$target"
  rm -rf "$corpus"
  mkdir -p "$corpus" "$out/artifacts"
  cp "$here"/corpus/* "$corpus"/
  log="$out/$target.log"
  rc=0
  "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -dict="$here/manifest.dict" -artifact_prefix="$out/artifacts/$target-" "$corpus" >"$log" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ] || grep -Eq 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:' "$log"; then
    echo "$target: FAILED (exit $rc), full log in $log" >&2
    tail -n 60 "$log" >&2
    status=1
  else
    runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
    echo "$target: ok, $runs inputs in ${seconds}s, corpus $(ls "$corpus" | wc -l) files"
  fi
done
exit $status
