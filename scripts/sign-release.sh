#!/bin/sh
# Writes the version file of a release, signed with the release key.
#   sign-release.sh PACKAGE URL VERSION PRIVATE_KEY > version.txt
# The file has CR LF line ends and these lines, in this order:
#   SHA256=<package digest, 64 lower-case hex digits>
#   SIZE=<package size in bytes>
#   SIG=<ECDSA P-256 signature r||s, 128 lower-case hex digits>
#   VER=<VERSION>
#   URL=<URL>
# The signature covers the SHA-256 of the signed text: every other line,
# in order, each ended by a single LF ("SHA256=...\nSIZE=...\nVER=...\n
# URL=...\n").
set -eu
export LC_ALL=C

die() {
  echo "sign-release.sh: $*" >&2
  exit 1
}

if [ $# -ne 4 ]; then
  echo "usage: sign-release.sh PACKAGE URL VERSION PRIVATE_KEY" \
    "> version.txt" >&2
  exit 2
fi
package=$1 url=$2 version=$3 key=$4

[ -f "$package" ] && [ -r "$package" ] || die "$package: no readable file"
[ -r "$key" ] || die "$key: no readable key"
# A value is one line of the file: no line end nor any other control byte
# may get into it.
for value in "$url" "$version"; do
  [ -n "$value" ] || die "empty URL or VERSION"
  case $value in
    *[[:cntrl:]]*) die "control byte in URL or VERSION" ;;
  esac
done

hex() { od -An -v -tx1 | tr -d ' \n'; }

sha=$(openssl dgst -sha256 -binary < "$package" | hex)
size=$(wc -c < "$package" | tr -d ' ')
[ ${#sha} -eq 64 ] || die "cannot hash $package"

signed_text() {
  printf 'SHA256=%s\nSIZE=%s\nVER=%s\nURL=%s\n' \
    "$sha" "$size" "$version" "$url"
}

# openssl signs into a DER ECDSA-Sig-Value; asn1parse prints its two
# INTEGERs, r and s, in upper-case hex without leading zero bytes.
sig=
for n in $(signed_text | openssl dgst -sha256 -sign "$key" |
               openssl asn1parse -inform DER |
               sed -n 's/.*prim: INTEGER *://p' | tr 'A-F' 'a-f'); do
  [ ${#n} -le 64 ] || die "unexpected signature"
  sig=$sig$(printf '%64s' "$n" | tr ' ' 0)
done
case $sig in
  *[!0-9a-f]*) die "unexpected signature" ;;
esac
[ ${#sig} -eq 128 ] || die "signing failed"

printf 'SHA256=%s\r\nSIZE=%s\r\nSIG=%s\r\nVER=%s\r\nURL=%s\r\n' \
  "$sha" "$size" "$sig" "$version" "$url"
