#!/bin/sh
# Test fixture of the signature checks: a fresh P-256 key and a signature
# made by the openssl command, in the form the client reads them.
#   crypto_fixture.sh DIR
# writes DIR/key.pub-hex (X||Y, 128 hex digits), DIR/message and
# DIR/sig-hex (r||s, 128 hex digits), each hex file without a line end.
set -eu
dir=$1
rm -rf "$dir"
mkdir -p "$dir"
umask 077

openssl ecparam -name prime256v1 -genkey -noout -out "$dir/key.pem"
# A message shaped like the signed text of a version file, with a byte
# above 0x7F so nothing in between may treat it as 7-bit text.
printf 'SHA256=%s\nSIZE=5\nVER=1.2\351\nURL=http://127.0.0.1/p.exe\n' \
  e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 \
  > "$dir/message"

hex() { od -An -v -tx1 | tr -d ' \n'; }

# The SubjectPublicKeyInfo ends with the uncompressed point 04||X||Y.
point=$(openssl ec -in "$dir/key.pem" -pubout -conv_form uncompressed \
          -outform DER 2>/dev/null | tail -c 65 | hex)
case $point in
  04*) ;;
  *) echo "crypto_fixture: unexpected public key encoding" >&2; exit 1 ;;
esac
printf '%s' "${point#04}" > "$dir/key.pub-hex"

# The DER ECDSA-Sig-Value holds r and s as INTEGERs; asn1parse prints
# them in upper-case hex without leading zero bytes.
openssl dgst -sha256 -sign "$dir/key.pem" -out "$dir/sig.der" "$dir/message"
rs=
for n in $(openssl asn1parse -inform DER -in "$dir/sig.der" |
             sed -n 's/.*prim: INTEGER *://p' | tr 'A-F' 'a-f'); do
  rs=$rs$(printf '%64s' "$n" | tr ' ' 0)
done
printf '%s' "$rs" > "$dir/sig-hex"

for f in key.pub-hex sig-hex; do
  if ! LC_ALL=C grep -Eqx '[0-9a-f]{128}' "$dir/$f"; then
    echo "crypto_fixture: $f is not 128 hex digits" >&2
    exit 1
  fi
done
