#!/bin/sh
# Generates the throw-away certificates the tests use, at test time: a root
# CA and a server certificate for "localhost" signed by it.
# Usage: make_test_pki.sh DIR   (writes DIR/root.crt, root.der, server.crt, server.key)
set -eu
dir="$1"
mkdir -p "$dir"
cd "$dir"
[ -f server.crt ] && [ -f root.der ] && [ -f untrusted.crt ] && exit 0

openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Quilmo Test Root CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout root.key -out root.crt 2>/dev/null
openssl x509 -in root.crt -outform DER -out root.der

openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr 2>/dev/null
cat > server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost
EXT
openssl x509 -req -in server.csr -CA root.crt -CAkey root.key -CAcreateserial -days 30 \
  -extfile server.ext -out server.crt 2>/dev/null
rm -f server.csr root.srl

# A certificate for the same name from a root that no store trusts.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=localhost" \
  -addext "subjectAltName=DNS:localhost" -addext "extendedKeyUsage=serverAuth" \
  -keyout untrusted.key -out untrusted.crt 2>/dev/null
rm -f server.ext
