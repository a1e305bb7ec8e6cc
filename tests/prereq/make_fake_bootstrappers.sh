#!/bin/sh
# Signs, at test time, the fake prerequisite bootstrapper with the signing PKI
# of make_signing_pki.sh (nothing here is ever committed).
# Usage: make_fake_bootstrappers.sh OUT_DIR PKI_DIR FAKE_EXE
#
#   bootstrapper-microsoft.exe   signed as CN=Microsoft Corporation under the test root
#   bootstrapper-contoso.exe     signed as CN=Contoso Ltd under the same root
#   bootstrapper-unsigned.exe    the program as built
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
out="$1"; pki="$2"; fake="$3"
"$here/../server/make_signing_pki.sh" "$pki"
mkdir -p "$out"
cp "$fake" "$out/bootstrapper-unsigned.exe"
for signer in microsoft contoso; do
  rm -f "$out/bootstrapper-$signer.exe"
  osslsigncode sign -certs "$pki/$signer.crt" -key "$pki/$signer.key" -in "$fake" \
    -out "$out/bootstrapper-$signer.exe" >/dev/null
done
