#!/bin/sh
# Publishes, with the release publishing tool, the small releases the trust
# tests fetch: one folder per case under STATE_DIR/www/trust/.
# Usage: make_trust_releases.sh STATE_DIR   (after make_signing_pki.sh STATE_DIR/signing)
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
publish="$here/../../tools/publish_release.py"
state="$(cd "$1" && pwd)"
pki="$state/signing"
out="$state/www/trust"
rm -rf "$out"
mkdir -p "$out" "$state/trust-payload/bin"
printf 'add-in core\n' > "$state/trust-payload/bin/core.dll"
printf 'read me\n' > "$state/trust-payload/readme.txt"

# release CASE CERT KEY [publisher options...]
release() {
  name="$1"; cert="$2"; key="$3"; shift 3
  python3 "$publish" --payload "$state/trust-payload" --version 1.0.0 --cert "$pki/$cert" --key "$pki/$key" \
    --out "$out/$name" "$@" >/dev/null
}
digest_sig() { ls "$out/$1/manifest-sigs/"*.sig; }

release good publisher.crt publisher.key
release noattr publisher.crt publisher.key --no-signed-attributes
release selfsigned selfsigned.crt publisher.key
release renamed renamed.crt publisher.key
release nocs otherkey_nocs.crt otherkey.key
release otherkey otherkey_cs.crt otherkey.key
release badcmd publisher.crt publisher.key --cmd "QMSetupHelper.exe /quiet"
release goodcmd publisher.crt publisher.key --cmd "qmsetuphelper.EXE"

# One byte of the manifest changed after signing (signature without signed
# attributes, so that every verifier compares the content itself).
cp -r "$out/noattr" "$out/tampered"
sed -i 's/"1\.0\.0"/"1.0.1"/' "$out/tampered/install.json"

# A present but wrong first signature: a valid signature of other bytes
# (without signed attributes: Wine checks the content only then).
release otherbytes publisher.crt publisher.key --no-signed-attributes --app-des "other bytes"
cp -r "$out/good" "$out/wrongfirst"
cp "$(digest_sig otherbytes)" "$(digest_sig wrongfirst)"

# No signature at all.
cp -r "$out/good" "$out/nosig"
rm -rf "$out/nosig/manifest-sigs" "$out/nosig/install.json.sig"

# Only the Base64 signature, in three spellings.
for variant in b64pem b64bom b64flat; do
  cp -r "$out/good" "$out/$variant"
  rm -rf "$out/$variant/manifest-sigs"
done
printf '\357\273\277' | cat - "$out/good/install.json.sig" > "$out/b64bom/install.json.sig"
grep -v -- '-----' "$out/good/install.json.sig" | tr -d '\n' > "$out/b64flat/install.json.sig"
