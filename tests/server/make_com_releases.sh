#!/bin/sh
# Publishes, at test time, the COM releases the switch-over tests install:
# the real test COM servers as ZUDodi32.dll and REDero64.dll, and a stand-in
# post-migration program signed with the test signers. One folder per case
# under STATE_DIR/www/install/, next to make_install_releases.sh's.
# Usage: make_com_releases.sh STATE_DIR HOST_DIR HELPER_EXE
#   HOST_DIR   the built servers (ZUDodi32.dll i386, REDero64.dll AMD64)
#   HELPER_EXE the stand-in post-migration program (tests/post_command/helper.c)
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
publish="$here/../../tools/publish_release.py"
state="$(cd "$1" && pwd)"
host="$2"; helper="$3"
pki="$state/signing"
out="$state/www/install"
work="$state/com-payloads"
rm -rf "$work"
mkdir -p "$out" "$work"

# base DIR SEED: a complete COM payload; the seed changes the managed files.
base() {
  mkdir -p "$1/fonts"
  cp "$host/ZUDodi32.dll" "$host/REDero64.dll" "$1/"
  printf 'core assembly %s\r\n' "$2" > "$1/Quilmo.Core.dll"
  printf '<configuration><!-- %s --></configuration>\r\n' "$2" > "$1/Quilmo.Core.dll.config"
  printf 'library %s\r\n' "$2" > "$1/Library.dll"
  printf 'release %s\r\n' "$2" > "$1/readme.txt"
}

# helper DIR SIGNER ACTION: the post-migration program as the payload ships it.
helper() {
  if [ "$2" = unsigned ]; then
    cp "$helper" "$1/QMSetupHelper.exe"
  else
    osslsigncode sign -certs "$pki/$2.crt" -key "$pki/$2.key" -in "$helper" -out "$1/QMSetupHelper.exe" >/dev/null
  fi
  printf '%s' "$3" > "$1/helper-action.txt"
}

release() {  # release CASE VERSION [publisher options...]
  name="$1"; version="$2"; shift 2
  rm -rf "$out/$name"
  python3 "$publish" --payload "$work/$name" --version "$version" --cert "$pki/publisher.crt" \
    --key "$pki/publisher.key" --out "$out/$name" "$@" >/dev/null
}

for n in 1 2 3; do base "$work/com$n" "2026.7.$n"; release "com$n" "2026.7.$n"; done

base "$work/cmd_ok" 4; helper "$work/cmd_ok" publisher "exit 0"; release cmd_ok 2026.7.4 --cmd QMSetupHelper.exe
base "$work/cmd_fail" 5; helper "$work/cmd_fail" publisher "exit 1"; release cmd_fail 2026.7.5 --cmd QMSetupHelper.exe
base "$work/cmd_contoso" 6; helper "$work/cmd_contoso" contoso "exit 0"
release cmd_contoso 2026.7.6 --cmd QMSetupHelper.exe
base "$work/cmd_unsigned" 7; helper "$work/cmd_unsigned" unsigned "exit 0"
release cmd_unsigned 2026.7.7 --cmd QMSetupHelper.exe
base "$work/cmd_missing" 8; release cmd_missing 2026.7.8 --cmd QMSetupHelper.exe
# A command off the allow-list, although the file is there and signed.
base "$work/cmd_other" 16; helper "$work/cmd_other" publisher "exit 0"
mv "$work/cmd_other/QMSetupHelper.exe" "$work/cmd_other/Other.exe"; release cmd_other 2026.7.16 --cmd Other.exe

# Incomplete: the core configuration is not shipped.
base "$work/noconfig" 9; rm "$work/noconfig/Quilmo.Core.dll.config"; release noconfig 2026.7.9

# The servers swapped: each carries the other machine type.
base "$work/swapped" 10
cp "$host/REDero64.dll" "$work/swapped/ZUDodi32.dll"; cp "$host/ZUDodi32.dll" "$work/swapped/REDero64.dll"
release swapped 2026.7.10

# Only the 64-bit server is wrong (an i386 image): 32-bit Windows never looks at it.
base "$work/wrong64" 11; cp "$host/ZUDodi32.dll" "$work/wrong64/REDero64.dll"; release wrong64 2026.7.11

# Broken 32-bit servers: empty, cut inside the PE headers, PE offset beyond the file.
base "$work/empty32" 12; : > "$work/empty32/ZUDodi32.dll"; release empty32 2026.7.12
base "$work/cut32" 13; head -c 100 "$host/ZUDodi32.dll" > "$work/cut32/ZUDodi32.dll"; release cut32 2026.7.13
base "$work/far32" 14
python3 - "$host/ZUDodi32.dll" "$work/far32/ZUDodi32.dll" <<'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read()[:512])
struct.pack_into("<I", image, 60, 900000)
open(sys.argv[2], "wb").write(image)
PY
release far32 2026.7.14

# The older generation: three VSTO deployments and the library.
mkdir -p "$work/vsto"
for app in Word Excel Ppt; do
  for ext in vsto dll dll.manifest; do printf '%s %s\r\n' "$app" "$ext" > "$work/vsto/Quilmo2025.$app.$ext"; done
done
printf 'library\r\n' > "$work/vsto/Library.dll"
release vsto 2026.7.15

# With the prerequisite bootstrappers: the fake bootstrapper signed as
# Microsoft (tests/prereq/make_fake_bootstrappers.sh) under the names the
# installer knows.
bootstrapper="$state/prereq/bootstrapper-microsoft.exe"
if [ -f "$bootstrapper" ]; then
  base "$work/com_net48" 16; cp "$bootstrapper" "$work/com_net48/ndp48-web.exe"; release com_net48 2026.7.16
  base "$work/com_webview2" 17; cp "$bootstrapper" "$work/com_webview2/MicrosoftEdgeWebview2Setup.exe"
  release com_webview2 2026.7.17
  # The older generation with the VSTO runtime's address: the same
  # bootstrapper as vstor_redist.exe, served beside the files but not listed.
  cp -r "$work/vsto" "$work/vsto_runtime"
  release vsto_runtime 2026.7.18 --vsto "[host]files/[vision]/vstor_redist.exe"
  cp "$bootstrapper" "$out/vsto_runtime/files/2026.7.18/vstor_redist.exe"
fi
