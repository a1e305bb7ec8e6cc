#!/bin/sh
# A configuration with a bad build constant must fail, naming the constant.
# Usage: build_constants_test.sh SOURCE_DIR SCRATCH_DIR
set -u
source_dir="$1"
scratch="$2"
status=0

check_rejected() {
  name="$1"
  value="$2"
  rm -rf "$scratch"
  if output=$(cmake -S "$source_dir" -B "$scratch" -DQUILMO_BUILD_TESTS=OFF "-D$name=$value" 2>&1); then
    echo "FAIL: $name=\"$value\" was accepted"
    status=1
  elif ! printf '%s' "$output" | grep -q "$name"; then
    echo "FAIL: $name=\"$value\" was refused without naming it:"
    printf '%s\n' "$output"
    status=1
  else
    echo "ok: $name=\"$value\" refused"
  fi
}

check_rejected QUILMO_DOWNLOAD_BASE_URL "http://download.example.com/"
check_rejected QUILMO_DOWNLOAD_BASE_URL "https://download.example.com"
check_rejected QUILMO_DOWNLOAD_BASE_URL "https://download.example.com//"
check_rejected QUILMO_DOWNLOAD_BASE_URL "https://download.example.com/path/"
check_rejected QUILMO_SIGNATURE_BASE_URL "http://download.example.com"
check_rejected QUILMO_PINNED_KEY_SHA256 "abc"
check_rejected QUILMO_PINNED_KEY_SHA256 "$(printf 'g%.0s' $(seq 64))"
check_rejected QUILMO_PINNED_KEY_SHA256 "$(printf 'a%.0s' $(seq 65))"
check_rejected QUILMO_RELEASE_NOTES_URL "http://www.example.com/notes"
check_rejected QUILMO_AGREEMENT_URL "https://www.example.com/a\"b"
check_rejected QUILMO_HOME_URL ""

# A good configuration is accepted, so the checks above fail for their value.
rm -rf "$scratch"
if ! cmake -S "$source_dir" -B "$scratch" -DQUILMO_BUILD_TESTS=OFF \
     -DQUILMO_DOWNLOAD_BASE_URL=https://localhost:8443/ -DQUILMO_SIGNATURE_BASE_URL=https://localhost:8443 \
     -DQUILMO_PINNED_KEY_SHA256="$(printf 'A%.0s' $(seq 64))" >/dev/null 2>&1; then
  echo "FAIL: a valid configuration was refused"
  status=1
fi
rm -rf "$scratch"
exit $status
