#!/bin/sh
# Downloads a 200 MB file from the local HTTPS release server three ways in
# one run: the installer's DownloadFile and a bare WinHTTP loop in the same
# Wine prefix, and curl natively. Prints the times, the ratios (targets:
# DownloadFile / bare loop at most 1.10) and the peak memory of the
# downloading process (target under 40 MB).
# Usage: bench/run_download_bench.sh [BUILD_DIR]   (after building BUILD_DIR)
set -eu
cd "$(dirname "$0")/.."
build="${1:-build}"
state="$build/bench-server"
size_mb=200

cmake --build "$build" --target quilmo_download_bench QuilmoSetup >/dev/null
tests/server/release_server.sh start "$state" >/dev/null
trap 'tests/server/release_server.sh stop "$state"; tools/wine-prefix.sh down "$build/wine"' EXIT
head -c $((size_mb * 1048576)) /dev/urandom > "$state/www/big.bin"
port="$(cat "$state/https_port")"
url="https://localhost:$port/big.bin"
root_der="Z:$(cd "$state/pki" && pwd)/root.der"
bench="$build/bench/quilmo_download_bench.exe"
out="$build/bench-out"
mkdir -p "$out"
dest="Z:$(cd "$out" && pwd)/download.bin"

run_wine() { "$build/wine-run" "$bench" "$1" "$url" "$dest" "$root_der" | tr -d '\r'; }
seconds_of() { sed -n 's/.*seconds=\([0-9.]*\).*/\1/p'; }

run_wine bare >/dev/null  # warm the prefix, the page cache and the trust store
client_line="$(run_wine client)"
bare_line="$(run_wine bare)"
start=$(date +%s.%N)
curl -s --cacert "$state/pki/root.crt" -o "$out/curl.bin" "$url"
end=$(date +%s.%N)
cmp -s "$out/download.bin" "$state/www/big.bin" || { echo "DownloadFile produced a different file"; exit 1; }

client=$(printf '%s\n' "$client_line" | seconds_of)
bare=$(printf '%s\n' "$bare_line" | seconds_of)
curl_s=$(awk "BEGIN { print $end - $start }")
echo "file: ${size_mb} MB over HTTPS from 127.0.0.1"
echo "DownloadFile:      $client_line"
echo "bare WinHTTP loop: $bare_line"
printf 'curl (native):     seconds=%.3f\n' "$curl_s"
printf 'ratio DownloadFile / bare loop: %.3f (target <= 1.10)\n' "$(awk "BEGIN { print $client / $bare }")"
printf 'ratio DownloadFile / curl:      %.3f\n' "$(awk "BEGIN { print $client / $curl_s }")"
rm -f "$out/download.bin" "$out/curl.bin" "$state/www/big.bin"
