#!/bin/sh
# The publishing scripts end to end: make a key, sign a small package,
# check the version file byte for byte, and let openssl check the
# signature over the signed text with the public key as the client holds
# it (vornupdate.pub).
#   release_scripts_test.sh WORK_DIR
set -u
export LC_ALL=C
here=$(cd "$(dirname "$0")/.." && pwd)
work=$1
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The key: a private PEM only its owner may read, a 129-byte public file.
if ! sh "$here/scripts/make-key.sh" "$work/keys"; then
  echo "FAIL: make-key.sh" >&2
  exit 1
fi
key=$work/keys/release-key.pem
pub=$work/keys/vornupdate.pub
mode=$(ls -l "$key" | cut -c1-10)
[ "$mode" = "-rw-------" ] || fail "release-key.pem has mode $mode"
mode=$(ls -ld "$work/keys" | cut -c1-10)
[ "$mode" = "drwx------" ] || fail "the key directory has mode $mode"
[ "$(wc -c < "$pub" | tr -d ' ')" = 129 ] || fail "vornupdate.pub size"
grep -Eqx '[0-9a-f]{128}' "$pub" || fail "vornupdate.pub is not 128 hex"
xy=$(cat "$pub")

# A second run refuses either file and leaves both alone.
before=$(cat "$key" "$pub" | cksum)
sh "$here/scripts/make-key.sh" "$work/keys" 2>/dev/null &&
  fail "make-key.sh overwrote a key"
rm "$pub"
sh "$here/scripts/make-key.sh" "$work/keys" 2>/dev/null &&
  fail "make-key.sh overwrote release-key.pem"
printf '%s\n' "$xy" > "$pub"
[ "$(cat "$key" "$pub" | cksum)" = "$before" ] || fail "the key changed"

# A package with every byte value in it.
package=$work/pkg.exe
i=0
while [ $i -lt 256 ]; do
  printf "\\$(printf '%03o' $i)"
  i=$((i + 1))
done > "$package"
printf 'tail' >> "$package"
url='http://127.0.0.1:19000/a%20b/pkg.exe?x=1&y=2'
version='2.0.1-beta'
if ! sh "$here/scripts/sign-release.sh" "$package" "$url" "$version" "$key" \
     "$work/version.txt"; then
  echo "FAIL: sign-release.sh" >&2
  exit 1
fi

# Byte for byte, with the digest from coreutils rather than openssl.
sig=$(sed -n 's/^SIG=\(.*\)\r$/\1/p' "$work/version.txt")
echo "$sig" | grep -Eqx '[0-9a-f]{128}' || fail "SIG is not 128 hex: $sig"
sha=$(sha256sum "$package" | cut -d' ' -f1)
date=$(sed -n 's/^DATE=\(.*\)\r$/\1/p' "$work/version.txt")
echo "$date" | grep -Eqx '20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z' ||
  fail "DATE is not a UTC time: $date"
printf 'SHA256=%s\r\nSIZE=260\r\nDATE=%s\r\nSIG=%s\r\nVER=%s\r\nURL=%s\r\n' \
  "$sha" "$date" "$sig" "$version" "$url" > "$work/expected.txt"
cmp -s "$work/version.txt" "$work/expected.txt" ||
  fail "version.txt differs from expected.txt in $work"

# The signed text: the other lines, LF-ended.
grep -v '^SIG=' "$work/version.txt" | tr -d '\r' > "$work/signed.txt"
printf 'SHA256=%s\nSIZE=260\nDATE=%s\nVER=%s\nURL=%s\n' "$sha" "$date" "$version" "$url" |
  cmp -s - "$work/signed.txt" || fail "signed text"

# The public key back from X||Y, the signature back from r||s, in DER.
cat > "$work/pub.cnf" <<END
asn1=SEQUENCE:spki
[spki]
alg=SEQUENCE:alg
key=FORMAT:HEX,BITSTRING:04$xy
[alg]
type=OID:id-ecPublicKey
curve=OID:prime256v1
END
# sig.der from the r||s of the SIG line of version file $1.
signature_der() {
  r=$(sed -n 's/^SIG=\(.*\)\r$/\1/p' "$1" | cut -c1-64)
  s=$(sed -n 's/^SIG=\(.*\)\r$/\1/p' "$1" | cut -c65-128)
  cat > "$work/sig.cnf" <<END
asn1=SEQUENCE:sig
[sig]
r=INTEGER:0x$r
s=INTEGER:0x$s
END
  openssl asn1parse -genconf "$work/sig.cnf" -noout -out "$work/sig.der"
}
openssl asn1parse -genconf "$work/pub.cnf" -noout -out "$work/pub.der" &&
  signature_der "$work/version.txt" ||
  fail "building the DER key and signature"
verify() {
  openssl dgst -sha256 -verify "$work/pub.der" -keyform DER \
    -signature "$work/sig.der" "$1" >/dev/null 2>&1
}
verify "$work/signed.txt" || fail "openssl rejects the signature"
# The same lines with CR LF ends are not what was signed.
grep -v '^SIG=' "$work/version.txt" > "$work/signed-crlf.txt"
verify "$work/signed-crlf.txt" && fail "signature covers the CR LF text"

# Values that would break the one-line-per-field format are refused.
nl='
'
# Values the client would refuse are refused; a failed run leaves no file.
for bad in "1.0${nl}URL=http://evil/" "1.0$(printf '\r')" \
           "1.0$(printf '\t')x" "" "1.0 x"; do
  sh "$here/scripts/sign-release.sh" "$package" "$url" "$bad" "$key" \
    "$work/bad.txt" 2>/dev/null && fail "accepted VERSION '$bad'"
  sh "$here/scripts/sign-release.sh" "$package" "$bad" "$version" "$key" \
    "$work/bad.txt" 2>/dev/null && fail "accepted URL '$bad'"
done
sh "$here/scripts/sign-release.sh" "$package" "$url" "1.0URL" "$key" \
  "$work/bad.txt" 2>/dev/null && fail "accepted a VERSION holding URL"
sh "$here/scripts/sign-release.sh" "$package" "ftp://h/p" "$version" "$key" \
  "$work/bad.txt" 2>/dev/null && fail "accepted an ftp URL"
sh "$here/scripts/sign-release.sh" --expires 2027-01-01 "$package" "$url" \
  "$version" "$key" "$work/bad.txt" 2>/dev/null && fail "accepted a bad EXPIRES"
sh "$here/scripts/sign-release.sh" "$work/missing" "$url" "$version" "$key" \
  "$work/bad.txt" 2>/dev/null && fail "signed a missing package"
[ ! -e "$work/bad.txt" ] || fail "a failed run left bad.txt"
[ -z "$(ls "$work" | grep 'bad.txt.')" ] || fail "a failed run left a temp file"

# EXPIRES and ROLLBACK, signed between DATE and SIG; an existing version
# file is replaced whole.
sh "$here/scripts/sign-release.sh" --expires 2030-01-01T00:00:00Z --rollback \
  "$package" "$url" 1.9 "$key" "$work/version.txt" || fail "--expires --rollback"
tr -d '\r' < "$work/version.txt" | cut -d= -f1 | tr '\n' ' ' |
  grep -qx 'SHA256 SIZE DATE EXPIRES ROLLBACK SIG VER URL ' ||
  fail "line order: $(tr -d '\r' < "$work/version.txt" | cut -d= -f1 | tr '\n' ' ')"
grep -q '^EXPIRES=2030-01-01T00:00:00Z' "$work/version.txt" &&
  grep -q '^ROLLBACK=YES' "$work/version.txt" || fail "EXPIRES or ROLLBACK line"

# Mirrors, in the order given, between the freshness lines and SIG: the
# signed text as the client reads it (every line but SIG, LF-ended)
# verifies; a MIRROR line changed or added after signing does not.
m1='https://[::1]:8443/m1/pkg.exe'
m2='http://mirror.example/pkg.exe?x=1'
sh "$here/scripts/sign-release.sh" --mirror "$m1" --mirror "$m2" \
  "$package" "$url" "$version" "$key" "$work/mirrors.txt" || fail "--mirror"
tr -d '\r' < "$work/mirrors.txt" | cut -d= -f1 | tr '\n' ' ' |
  grep -qx 'SHA256 SIZE DATE MIRROR MIRROR SIG VER URL ' ||
  fail "line order with mirrors"
grep '^MIRROR=' "$work/mirrors.txt" > "$work/m.txt"
printf 'MIRROR=%s\r\nMIRROR=%s\r\n' "$m1" "$m2" | cmp -s - "$work/m.txt" ||
  fail "MIRROR lines"
grep -v '^SIG=' "$work/mirrors.txt" | tr -d '\r' > "$work/signed.txt"
signature_der "$work/mirrors.txt" || fail "building the mirrors' signature"
verify "$work/signed.txt" || fail "openssl rejects the signed mirrors"
sed 's|^MIRROR=http://mirror.example/|MIRROR=http://evil.example/|' \
  "$work/signed.txt" > "$work/tampered.txt"
! cmp -s "$work/signed.txt" "$work/tampered.txt" &&
  ! verify "$work/tampered.txt" || fail "a changed MIRROR line verifies"
sed "s|^SIG=.*|MIRROR=http://evil.example/p.exe\r\n&|" "$work/mirrors.txt" |
  grep -v '^SIG=' | tr -d '\r' > "$work/tampered.txt"
grep -c '^MIRROR=' "$work/tampered.txt" | grep -qx 3 &&
  ! verify "$work/tampered.txt" || fail "an added MIRROR line verifies"
# Mirrors the client would refuse (and with it the whole file), or an older
# client would misread, are refused.
for bad in "ftp://m/p.exe" "http://m" "http://m/a b" "http://u@m/p.exe" \
           "http://m:0/p.exe" "http://m:/p.exe" "http://m/URL/p.exe"; do
  sh "$here/scripts/sign-release.sh" --mirror "$bad" "$package" "$url" \
    "$version" "$key" "$work/bad.txt" 2>/dev/null &&
    fail "accepted MIRROR '$bad'"
done
[ ! -e "$work/bad.txt" ] || fail "a refused MIRROR left bad.txt"

[ $failures -eq 0 ] || exit 1
echo "release scripts: ok"
