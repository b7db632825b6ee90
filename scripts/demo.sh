#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Signs a sample font with a freshly made, throw-away CA, code-signing
# certificate and PVK key, all kept under build/demo/.
set -euo pipefail
BUILD_DIR=${BUILD_DIR:-build}
DEMO="$BUILD_DIR/demo"
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
rm -rf "$DEMO"
mkdir -p "$DEMO"
cd "$DEMO"

cat > demo.cnf <<'CNF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = Fontseal Demo Publisher
O = Fontseal Demo Foundry
[signer]
basicConstraints = CA:FALSE
keyUsage = digitalSignature
extendedKeyUsage = codeSigning, 1.3.6.1.4.1.311.2.1.21
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF

openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 7 \
    -subj "/CN=Fontseal Demo CA (throw-away)" -extensions ca -config demo.cnf 2>/dev/null
openssl req -new -newkey rsa:2048 -nodes -keyout publisher.key -out publisher.csr \
    -config demo.cnf 2>/dev/null
openssl x509 -req -in publisher.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 7 \
    -extfile demo.cnf -extensions signer -out publisher.pem 2>/dev/null
# The bundle carries the publisher's certificate and its issuer.
openssl crl2pkcs7 -nocrl -certfile publisher.pem -certfile ca.pem -outform DER -out publisher.p7b
umask 077
head -c 18 /dev/urandom | base64 > password.txt
openssl rsa -provider legacy -provider default -in publisher.key -outform PVK \
    -passout file:password.txt -out publisher.pvk 2>/dev/null
rm -f publisher.key publisher.csr

cd - >/dev/null
"$BUILD_DIR/fontseal" sign --cert "$DEMO/publisher.p7b" --key "$DEMO/publisher.pvk" \
    --password-file "$DEMO/password.txt" --program-name "Fontseal demo" \
    --info-url "https://example.com/fonts" "$FONT" "$DEMO/DejaVuSans-signed.ttf"

dsig_size=$(/usr/bin/python3 - "$DEMO/DejaVuSans-signed.ttf" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
n = struct.unpack(">H", data[4:6])[0]
for i in range(n):
    tag, _, off, length = struct.unpack(">4sIII", data[12 + 16 * i:28 + 16 * i])
    if tag == b"DSIG":
        print(length)
PY
)
echo
echo "Signed a font with a throw-away certificate:"
echo "  input:        $FONT"
echo "  output:       $(cd "$DEMO" && pwd)/DejaVuSans-signed.ttf"
echo "  certificate:  $(openssl x509 -in "$DEMO/publisher.pem" -noout -subject | sed 's/^subject=//')"
echo "  issued by:    $(openssl x509 -in "$DEMO/publisher.pem" -noout -issuer | sed 's/^issuer=//')"
echo "  digest:       SHA-256"
echo "  DSIG table:   $dsig_size bytes"

# The signed font, checked by the verifier against the demo's own root.
echo
"$BUILD_DIR/fontseal" verify --ca-file "$DEMO/ca.pem" "$DEMO/DejaVuSans-signed.ttf"

# Where to go from here.
echo
echo "Next: sign your own fonts with the key and certificates your CA delivered, e.g."
echo "  $BUILD_DIR/fontseal store import --key foundry.pfx      (prints its THUMBPRINT)"
echo "  $BUILD_DIR/fontseal sign --store THUMBPRINT --timestamp-rfc3161 URL --out-dir signed *.ttf"
echo "  ('$BUILD_DIR/fontseal sign --help' lists every option; 'man fontseal' explains them)"
