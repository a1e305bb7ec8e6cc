#!/bin/sh
# Starts or stops the local release server for the tests (detached, so no
# test waits on its output).
# Usage: release_server.sh start|stop STATE_DIR [RELEASE_PORT]
# With RELEASE_PORT the server also answers on that fixed port: the download
# server the installer under test was built for.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
command="$1"; dir="$2"; release_port="${3:-0}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"

case "$command" in
  start)
    "$0" stop "$dir"
    "$here/make_test_pki.sh" "$dir/pki"
    "$here/make_signing_pki.sh" "$dir/signing"
    "$here/make_trust_releases.sh" "$dir"
    "$here/make_install_releases.sh" "$dir"
    rm -f "$dir/https_port" "$dir/http_port" "$dir/untrusted_port" "$dir/requests.log" "$dir/script.json" \
      "$dir/release_case"
    setsid python3 "$here/release_server.py" --dir "$dir" --cert "$dir/pki/server.crt" \
      --key "$dir/pki/server.key" --untrusted-cert "$dir/pki/untrusted.crt" \
      --untrusted-key "$dir/pki/untrusted.key" --release-port "$release_port" </dev/null >"$dir/server.out" 2>&1 &
    echo $! > "$dir/server.pid"
    i=0
    while [ ! -f "$dir/http_port" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    [ -f "$dir/http_port" ] || { echo "release server did not start:"; cat "$dir/server.out"; exit 1; }
    echo "release server on https://localhost:$(cat "$dir/https_port")/"
    ;;
  stop)
    if [ -f "$dir/server.pid" ]; then
      kill "$(cat "$dir/server.pid")" 2>/dev/null || true
      rm -f "$dir/server.pid"
    fi
    ;;
  *) echo "usage: $0 start|stop STATE_DIR" >&2; exit 2 ;;
esac
