#!/bin/sh
# Publishes the releases the installation tests serve from the installer's
# own download port: one folder per case under STATE_DIR/www/install/.
# Usage: make_install_releases.sh STATE_DIR   (after make_signing_pki.sh STATE_DIR/signing)
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
publish="$here/../../tools/publish_release.py"
state="$(cd "$1" && pwd)"
pki="$state/signing"
out="$state/www/install"
work="$state/install-payloads"
rm -rf "$out" "$work"
mkdir -p "$out" "$work"

python3 "$here/make_install_payloads.py" "$work"

release() {  # release CASE VERSION [publisher options...]
  name="$1"; version="$2"; shift 2
  python3 "$publish" --payload "$work/$name" --version "$version" --cert "$pki/publisher.crt" \
    --key "$pki/publisher.key" --out "$out/$name" "$@" >/dev/null
}

# Signs a manifest made by hand (for content the publishing tool refuses).
sign_by_hand() {  # sign_by_hand CASE
  dir="$out/$1"
  mkdir -p "$dir/manifest-sigs"
  digest="$(sha256sum "$dir/install.json" | cut -c1-64)"
  openssl cms -sign -binary -md sha256 -nosmimecap -noattr -in "$dir/install.json" -signer "$pki/publisher.crt" \
    -inkey "$pki/publisher.key" -outform DER -out "$dir/manifest-sigs/$digest.sig"
}

release v1 2026.1.10
release v2 2026.2.1
release nine 2026.3.1
release ten 2026.3.2
release twelve 2026.3.3
release goodnames 2026.7.1

# One byte of the manifest changed after signing (no signed attributes, so
# that the verifier compares the content itself).
release tampered 2026.1.10 --no-signed-attributes
sed -i 's/"2026\.1\.10"/"2026.1.11"/' "$out/tampered/install.json"

cp -r "$out/v1" "$out/nosig"
rm -rf "$out/nosig/manifest-sigs" "$out/nosig/install.json.sig"

# Hand-made manifests, written by the payload script next to their files.
for case in unsafe empty dupes stress badversion $(cd "$work" && ls -d badname_*); do
  mkdir -p "$out/$case"
  cp -r "$work/$case/." "$out/$case/"
  sign_by_hand "$case"
done
