#!/bin/sh
# Writes the version file of a release, signed with the release key.
#   sign-release.sh [--expires TIME] [--rollback] [--mirror MIRROR_URL]...
#                   PACKAGE URL VERSION PRIVATE_KEY OUTPUT
# TIME is UTC, YYYY-MM-DDTHH:MM:SSZ. Each --mirror names another http or
# https URL that serves the very same package bytes (repeat it for more);
# the client uses mirrors only with SHA256 and SIZE, which are always
# written here, and an older client skips the lines. OUTPUT is written
# through a temporary file beside it and a rename, so a failed run never
# leaves an empty or half-written version file. The file has CR LF line
# ends and these lines, in this order:
#   SHA256=<package digest, 64 lower-case hex digits>
#   SIZE=<package size in bytes>
#   DATE=<signing time, UTC>
#   EXPIRES=<TIME>            with --expires
#   ROLLBACK=YES              with --rollback (VERSION may be older than the
#                             one installed)
#   MIRROR=<MIRROR_URL>       one per --mirror, in the order given
#   SIG=<ECDSA P-256 signature r||s, 128 lower-case hex digits>
#   VER=<VERSION>
#   URL=<URL>
# The signature covers the SHA-256 of the signed text: every other line,
# in order, each ended by a single LF ("SHA256=...\nSIZE=...\nDATE=...\n
# MIRROR=...\nVER=...\nURL=...\n"), so a MIRROR line added or changed
# afterwards breaks the signature.
set -eu
export LC_ALL=C

die() {
  echo "sign-release.sh: $*" >&2
  exit 1
}
usage() {
  echo "usage: sign-release.sh [--expires YYYY-MM-DDTHH:MM:SSZ] [--rollback]" \
    "[--mirror URL]... PACKAGE URL VERSION PRIVATE_KEY OUTPUT" >&2
  exit 2
}

# A mirror is one line of the file before VER, and a client refuses the
# whole file for a MIRROR line it cannot read as an http or https URL: so
# only what it reads (a scheme, a host, a port of 1 to 65535 digits, a
# path; no blank, control byte or user@), and never the text VER or URL,
# which older releases of the client find anywhere in a line (as for
# VERSION below).
check_mirror() {
  case $1 in
    *[[:cntrl:]]* | *' '* | '') die "blank or control byte in MIRROR '$1'" ;;
    *VER* | *URL*) die "MIRROR '$1' holds the text VER or URL" ;;
    [Hh][Tt][Tt][Pp]://* | [Hh][Tt][Tt][Pp][Ss]://*) ;;
    *) die "MIRROR '$1' is not an http or https URL" ;;
  esac
  rest=${1#*://}
  authority=${rest%%/*}
  port=
  [ "$authority" != "$rest" ] || die "MIRROR '$1' has no path"
  case $authority in
    '' | *[@?#]*) die "MIRROR '$1' has no usable host" ;;
    \[*[!0-9A-Fa-f:.]*\]*) die "MIRROR '$1' has no usable host" ;;
    \[?*\]) ;;
    \[?*\]:*) port=${authority##*]:} ;;
    *[][]* | :*) die "MIRROR '$1' has no usable host" ;;
    *:*) port=${authority#*:} ;;
  esac
  case $authority in
    *:) die "MIRROR '$1' has a bad port" ;;
  esac
  if [ -n "$port" ]; then
    case $port in *[!0-9]*) die "MIRROR '$1' has a bad port" ;; esac
    [ ${#port} -le 5 ] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] ||
      die "MIRROR '$1' has a bad port"
  fi
}

nl='
'
expires= rollback= mirrors=
while [ $# -gt 0 ]; do
  case $1 in
    --expires) [ $# -ge 2 ] || usage; expires=$2; shift 2 ;;
    --mirror)
      [ $# -ge 2 ] || usage
      check_mirror "$2"
      mirrors=${mirrors:+$mirrors$nl}$2
      shift 2
      ;;
    --rollback) rollback=YES; shift ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -eq 5 ] || usage
package=$1 url=$2 version=$3 key=$4 output=$5

[ -f "$package" ] && [ -r "$package" ] || die "$package: no readable file"
[ -r "$key" ] || die "$key: no readable key"
# A value is one line of the file, and only what the client takes: no
# blank, no line end nor any other control byte; a version without the
# text URL (an older client finds that anywhere in a line); an http URL.
for value in "$url" "$version"; do
  [ -n "$value" ] || die "empty URL or VERSION"
  case $value in
    *[[:cntrl:]]* | *' '*) die "blank or control byte in URL or VERSION" ;;
  esac
done
case $version in *URL*) die "VERSION holds the text URL" ;; esac
case $url in [Hh][Tt][Tt][Pp]://?*) ;; *) die "URL is not an http URL" ;; esac
time_form='[0-9][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-5][0-9]Z'
if [ -n "$expires" ]; then
  case $expires in $time_form) ;; *) die "--expires wants YYYY-MM-DDTHH:MM:SSZ" ;; esac
fi

hex() { od -An -v -tx1 | tr -d ' \n'; }

sha=$(openssl dgst -sha256 -binary < "$package" | hex)
size=$(wc -c < "$package" | tr -d ' ')
[ ${#sha} -eq 64 ] || die "cannot hash $package"
date=$(date -u +%Y-%m-%dT%H:%M:%SZ)

# The check lines between SIZE and SIG, each followed by $1.
between_size_and_sig() {
  printf 'DATE=%s%b' "$date" "$1"
  [ -z "$expires" ] || printf 'EXPIRES=%s%b' "$expires" "$1"
  [ -z "$rollback" ] || printf 'ROLLBACK=YES%b' "$1"
  [ -z "$mirrors" ] || printf '%s\n' "$mirrors" | while IFS= read -r m; do
    printf 'MIRROR=%s%b' "$m" "$1"
  done
}

signed_text() {
  printf 'SHA256=%s\nSIZE=%s\n' "$sha" "$size"
  between_size_and_sig '\n'
  printf 'VER=%s\nURL=%s\n' "$version" "$url"
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

temp=$(mktemp "$output.XXXXXX") || die "$output: cannot write beside it"
trap 'rm -f "$temp"' EXIT
{
  printf 'SHA256=%s\r\nSIZE=%s\r\n' "$sha" "$size"
  between_size_and_sig '\r\n'
  printf 'SIG=%s\r\nVER=%s\r\nURL=%s\r\n' "$sig" "$version" "$url"
} > "$temp" || die "$output: cannot write"
chmod 644 "$temp"
mv -f "$temp" "$output" || die "$output: cannot rename into place"
trap - EXIT
