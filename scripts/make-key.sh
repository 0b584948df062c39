#!/bin/sh
# Makes the release signing key.
#   make-key.sh DIR
# makes DIR mode 700, then writes DIR/release-key.pem, the private P-256
# key (PEM, mode 600: keep it off the download server), and DIR/vornupdate.pub, the public key as the
# client holds it: X then Y, 128 lower-case hex digits and one LF. An
# existing key is never overwritten.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: make-key.sh DIR" >&2
  exit 2
fi
dir=$1
key=$dir/release-key.pem
pub=$dir/vornupdate.pub
# The directory first, and only its owner's: the private key is never in
# a directory others can read or change, not even for a moment.
mkdir -p "$dir"
chmod 700 "$dir"

for f in "$key" "$pub"; do
  if [ -e "$f" ] || [ -L "$f" ]; then
    echo "make-key.sh: $f exists; not overwriting a key" >&2
    exit 1
  fi
done
umask 077

# noclobber: the shell creates the files exclusively, so a key that appears
# meanwhile is not overwritten either.
set -C
openssl ecparam -name prime256v1 -genkey -noout > "$key"
chmod 600 "$key"

# The SubjectPublicKeyInfo ends with the uncompressed point 04||X||Y.
point=$(openssl ec -in "$key" -pubout -conv_form uncompressed -outform DER \
          2>/dev/null | tail -c 65 | od -An -v -tx1 | tr -d ' \n')
xy=${point#04}
if [ "$xy" = "$point" ] || [ ${#xy} -ne 128 ]; then
  echo "make-key.sh: unexpected public key encoding" >&2
  rm -f "$key"
  exit 1
fi
umask 022
printf '%s\n' "$xy" > "$pub"
