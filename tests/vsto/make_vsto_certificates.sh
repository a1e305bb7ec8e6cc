#!/bin/sh
# Makes, at test time, the certificates a VSTO deployment manifest embeds:
# a root, an intermediate CA under it, a code-signing certificate under the
# intermediate and a plain one (neither CA nor code signing), and a spare of
# each of the last two. Writes each as
# its base64 body with line breaks, as a manifest carries it (NAME.b64), and
# as DER (NAME.der). Nothing here is ever committed.
# Usage: make_vsto_certificates.sh OUT_DIR
set -eu
out="$1"
mkdir -p "$out"
cd "$out"
cat > ext.cnf <<'CNF'
[ca]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
[codesign]
basicConstraints = CA:false
extendedKeyUsage = codeSigning
[plain]
basicConstraints = CA:false
keyUsage = digitalSignature
CNF
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 -subj "/CN=Quilmo Test VSTO Root" \
  -addext "basicConstraints=critical,CA:true" 2>/dev/null
make() {  # name subject issuer extension
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "$2" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -days 2 -extfile ext.cnf \
    -extensions "$4" -out "$1.pem" 2>/dev/null
}
make intermediate "/CN=Quilmo Test VSTO Intermediate" root ca
make codesign "/CN=Quilmo Test VSTO Publisher" intermediate codesign
make plain "/CN=Quilmo Test VSTO Plain" intermediate plain
# Twins that no other test imports, for the cases that must import nothing.
make codesign_spare "/CN=Quilmo Test VSTO Publisher Spare" intermediate codesign
make plain_spare "/CN=Quilmo Test VSTO Plain Spare" intermediate plain
for name in intermediate codesign plain codesign_spare plain_spare; do
  openssl x509 -in "$name.pem" -outform DER -out "$name.der"
  sed '/-----/d' "$name.pem" > "$name.b64"
done
rm -f ./*.csr ./*.srl
