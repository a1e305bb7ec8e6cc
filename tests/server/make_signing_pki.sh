#!/bin/sh
# Generates, at test time, the signers the trust tests need (nothing here is
# ever committed). Usage: make_signing_pki.sh DIR
#
#   ca.crt ca.der ca.key          "Quilmo Test Signing Root", to be put in the Root store
#   publisher.key publisher.crt   CN=奎墨软件有限公司, code signing, issued by the root
#   pin.txt                       SHA-256 of publisher.key's public key bits (the pin)
#   selfsigned.crt                same key and name, self-signed, in no store
#   otherkey.key                  another key for the right name:
#     otherkey_cs.crt             ... issued by the root, code signing
#     otherkey_nocs.crt           ... issued by the root, e-mail protection only
#   renamed.crt                   publisher.key under CN=Other Software Co, code signing
#   microsoft.key microsoft.crt   CN=Microsoft Corporation, code signing
#   contoso.key contoso.crt       CN=Contoso Ltd, code signing
# Every certificate is also written as <name>.der.
set -eu
dir="$1"
mkdir -p "$dir"
cd "$dir"
[ -f contoso.crt ] && [ -f pin.txt ] && exit 0

key() { openssl genrsa -out "$1" 2048 2>/dev/null; }

# issue NAME KEY SUBJECT EKU : a certificate issued by the test root.
issue() {
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$4" > "$1.ext"
  openssl req -new -utf8 -key "$2" -subj "$3" -out "$1.csr" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 \
    -extfile "$1.ext" -out "$1.crt" 2>/dev/null
  openssl x509 -in "$1.crt" -outform DER -out "$1.der"
  rm -f "$1.csr" "$1.ext"
}

key ca.key
openssl req -x509 -new -utf8 -key ca.key -days 30 -subj "/CN=Quilmo Test Signing Root" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -out ca.crt 2>/dev/null
openssl x509 -in ca.crt -outform DER -out ca.der

key publisher.key
issue publisher publisher.key "/CN=奎墨软件有限公司" codeSigning
openssl req -x509 -new -utf8 -key publisher.key -days 30 -subj "/CN=奎墨软件有限公司" \
  -addext "extendedKeyUsage=codeSigning" -out selfsigned.crt 2>/dev/null
openssl x509 -in selfsigned.crt -outform DER -out selfsigned.der
# The pin covers the key's bits as the certificate carries them (the
# RSAPublicKey inside the subject public key info).
openssl rsa -in publisher.key -RSAPublicKey_out -outform DER 2>/dev/null | sha256sum | cut -c1-64 > pin.txt

key otherkey.key
issue otherkey_cs otherkey.key "/CN=奎墨软件有限公司" codeSigning
issue otherkey_nocs otherkey.key "/CN=奎墨软件有限公司" emailProtection
issue renamed publisher.key "/CN=Other Software Co" codeSigning
key microsoft.key
issue microsoft microsoft.key "/C=US/O=Microsoft Corporation/CN=Microsoft Corporation" codeSigning
key contoso.key
issue contoso contoso.key "/CN=Contoso Ltd" codeSigning
rm -f ca.srl
