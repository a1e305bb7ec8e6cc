#!/bin/sh
# Makes, at test time, the files the Authenticode tests verify (nothing here
# is ever committed): copies of one small program, signed by the signers of
# make_signing_pki.sh.
# Usage: make_signed_files.sh OUT_DIR PKI_DIR SUBJECT_EXE
#
#   unsigned.exe          the program as built
#   signed-NAME.exe       signed with NAME.crt, for NAME in publisher,
#                         selfsigned, renamed, otherkey_cs, microsoft, contoso
#   tampered.exe          signed-publisher.exe with one byte of code changed
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
out="$1"; pki="$2"; subject="$3"
"$here/../server/make_signing_pki.sh" "$pki"
mkdir -p "$out"
cp "$subject" "$out/unsigned.exe"

# sign CERT KEY
sign() {
  rm -f "$out/signed-$1.exe"
  osslsigncode sign -certs "$pki/$1.crt" -key "$pki/$2.key" -in "$subject" -out "$out/signed-$1.exe" >/dev/null
}
sign publisher publisher
sign selfsigned publisher
sign renamed publisher
sign otherkey_cs otherkey
sign microsoft microsoft
sign contoso contoso

# The changed byte lies in the first code section, which the signed image
# hash covers, so only the hash comparison can catch it.
python3 - "$out/signed-publisher.exe" "$out/tampered.exe" <<'PY'
import struct, sys
image = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", image, 0x3C)[0]
sections, optional_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
table = pe + 24 + optional_size
for i in range(sections):
    raw_size, raw_start = struct.unpack_from("<II", image, table + 40 * i + 16)
    characteristics = struct.unpack_from("<I", image, table + 40 * i + 36)[0]
    if characteristics & 0x20 and raw_size > 0:  # IMAGE_SCN_CNT_CODE
        image[raw_start + raw_size // 2] ^= 0xFF
        open(sys.argv[2], "wb").write(image)
        sys.exit(0)
sys.exit("no code section in " + sys.argv[1])
PY
