#!/usr/bin/env bash
# Small packages over https: the client's whole road (its version file,
# then the package) next to curl doing the same two fetches, where setting
# up connections and TLS weighs as much as the bytes.
# A benchmark, not a test: no number fails anything. A downloaded file that
# differs from the served one is reported loudly and makes the exit status 3.
#
#   bench/small_https.sh [options] [LABEL=PATH ...]
#
# Each LABEL=PATH is a Linux build of the client (default
# vornupdate=build/linux/vornupdate).
#
# nginx is throughput.sh's (bench/lib.sh: sendfile, keep-alive, TLS 1.2 or
# 1.3 on PORT+1 with a certificate for 127.0.0.1 from a CA made for the
# run); it serves incompressible packages and a version file (VER and URL)
# over https. Tools, each run once per round, the order rotating:
#   - the client, its version file and package both at https://127.0.0.1:
#     PORT+1/, trusting the CA through SSL_CERT_FILE and SSL_CERT_DIR; wall
#     time from its start until 下载成功 appears in its updatelog.txt
#     (polled every 3 ms), as throughput.sh times it;
#   - "curl 1x": one curl with both URLs (the version file, then the
#     package; it may keep the connection for the second), --cacert;
#   - "curl 2x": two curl invocations one after the other (two connections,
#     two handshakes), timed together.
# Every run starts from the same page cache: sync, caches dropped where
# allowed, the served file read once. Every run is printed, then per size
# the medians and the client's over each curl's.
#
# Options (environment variable in brackets):
#   --sizes "1 16"   package sizes in MiB [SIZES]
#   --rounds N       rounds, default 5 [ROUNDS]
#   --port N         nginx's port on 127.0.0.1 (http, unused here), https on
#                    the next, default 19680 [BENCH_PORT]
#   --timeout S      limit of one run in seconds, default 60 [RUN_TIMEOUT]
#   --raw FILE       also keep every run as TSV [RAW]
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

. "$root/bench/lib.sh"

SIZES=${SIZES-1 16}
ROUNDS=${ROUNDS:-5}
PORT=${BENCH_PORT:-19680}
RUN_TIMEOUT=${RUN_TIMEOUT:-60}
RAW=${RAW:-}
CLIENTS=()

while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) SIZES=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --timeout) RUN_TIMEOUT=$2; shift 2 ;;
    --raw) RAW=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *=*) CLIENTS+=("$1"); shift ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ ${#CLIENTS[@]} -gt 0 ] || CLIENTS=("vornupdate=$root/build/linux/vornupdate")
case "$ROUNDS" in ''|*[!0-9]*|0) echo "rounds must be a positive number" >&2; exit 2 ;; esac

find_nginx || exit 1
CURL=$(command -v curl) || { say "curl is missing"; exit 1; }
TOOLS=()  # kind:label:path
add_clients "${CLIENTS[@]}"
TOOLS+=("curl1:curl 1x:$CURL" "curl2:curl 2x:$CURL")

# ---- work directory, nginx -------------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-small-https.XXXXXX") || exit 1
www=$work/www
mkdir -p "$www" "$work/dl" "$work/nginx-temp" "$work/tls"
TLS_PORT=$((PORT + 1))
results=$work/results.tsv
: >"$results"
NGINX_PID=
cleanup() {
  stop_pid "$NGINX_PID"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

make_tls "$work/tls" || { say "cannot make the https certificates"; exit 1; }
nginx_conf "$work" "$www" "$PORT" "" "$(nginx_tls_server "$TLS_PORT" "$work/tls" "$www")"
start_nginx "$work" "$www" "$PORT" "$TLS_PORT" "$work/tls/ca.pem" || exit 1
write_run_helper "$work/run.py"
BASE="https://127.0.0.1:$TLS_PORT"

# ---- runs ------------------------------------------------------------------

PKG=bench.bin
WRONG=0
RUN=0

# run_one KIND LABEL PATH MIB ROUND
run_one() {
  local kind=$1 label=$2 path=$3 mib=$4 round=$5
  RUN=$((RUN + 1))
  local dl="$work/dl/run$RUN"
  local run=(python3 "$work/run.py" --timeout "$RUN_TIMEOUT" --stderr "$work/stderr.out")
  local ca=$work/tls/ca.pem
  rm -rf "$dl"
  mkdir -p "$dl"
  case "$kind" in
    client)
      client_cmd "$path" "$BASE/ver.txt" "$dl" "$PKG" "$work/tls"
      run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX" --grace 30) ;;
    curl1)
      CMD=("$path" -s --cacert "$ca" -o "$dl/ver.txt" "$BASE/ver.txt" -o "$dl/$PKG" "$BASE/$PKG") ;;
    curl2)
      CMD=(sh -c '"$1" -s --cacert "$2" -o "$3/ver.txt" "$4/ver.txt" && "$1" -s --cacert "$2" -o "$3/$5" "$4/$5"'
           _ "$path" "$ca" "$dl" "$BASE" "$PKG") ;;
  esac
  same_page_cache "$www/$PKG"
  local line wall rc state check
  line=$("${run[@]}" -- "${CMD[@]}")
  read -r wall rc state <<<"$line"
  check=$(check_file "$dl/$PKG" "$www/$PKG")
  if [ "$kind" != client ] && ! cmp -s "$dl/ver.txt" "$www/ver.txt"; then check="$check, version file wrong"; fi
  rm -rf "$dl" "$dl.xdg"
  if [ "$check" != exact ] && { [ "$check" != missing ] || [ "$state" = ok ] || [ "$state" = ended ]; }; then
    WRONG=$((WRONG + 1))
    say "!!!!!! WRONG DOWNLOAD: $label, $mib MiB, round $round: the file is $check !!!!!!"
  fi
  if [ "$state" != ok ] && [ "$state" != ended ]; then
    say "  $label: run $state (exit status $rc); its stderr:"
    tail -n 3 "$work/stderr.out" >&2 2>/dev/null
  fi
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$mib" "$round" "$wall" "$rc" "$state" "$check" >>"$results"
  say "$(printf '  %-12s %3d MiB round %d: %7.3f s, %s, %s' "$label" "$mib" "$round" "$wall" "$state" "$check")"
}

say "tools: $(printf '%s\n' "${TOOLS[@]}" | cut -d: -f2 | paste -sd, | sed 's/,/, /g'); sizes: $SIZES MiB over https; $ROUNDS round(s); nginx https on 127.0.0.1:$TLS_PORT"
n=${#TOOLS[@]}
for mib in $SIZES; do
  make_file "$mib" "$www/$PKG"
  printf 'VER=2.0\r\nURL=%s/%s\r\n' "$BASE" "$PKG" >"$www/ver.txt"
  say "== $mib MiB"
  for round in $(seq 1 "$ROUNDS"); do
    for i in $(seq 0 $((n - 1))); do
      t=${TOOLS[$(( (i + round - 1) % n ))]}
      kind=${t%%:*} rest=${t#*:}
      run_one "$kind" "${rest%%:*}" "${rest#*:}" "$mib" "$round"
    done
  done
  rm -f "$www/$PKG"
done

[ -n "$RAW" ] && { printf 'tool\tmib\tround\twall_s\trc\tstate\tfile\n'; cat "$results"; } >"$RAW"

# ---- report ----------------------------------------------------------------

python3 - "$results" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
sizes, tools = [], []
for r in rows:
    if r[1] not in sizes:
        sizes.append(r[1])
    if r[0] not in tools:
        tools.append(r[0])
def good(r):
    return r[5] in ("ok", "ended") and r[6] == "exact"
print()
print("https, wall s of every run in round order (a failed run in brackets); the client's")
print("wall is from its start to its success line, version file and package both fetched")
for mib in sizes:
    med = {}
    print()
    print("== %s MiB" % mib)
    print("%-12s %-40s %8s %10s %10s" % ("tool", "runs", "median", "/curl 1x", "/curl 2x"))
    for tool in tools:
        sel = [r for r in rows if r[0] == tool and r[1] == mib]
        walls = [float(r[3]) for r in sel if good(r)]
        med[tool] = statistics.median(walls) if walls else None
    for tool in tools:
        sel = [r for r in rows if r[0] == tool and r[1] == mib]
        cells = ["%.3f" % float(r[3]) if good(r) else "[%s %s]" % (r[5], r[3]) for r in sel]
        m = med[tool]
        ratio = lambda base: "%.2f" % (m / med[base]) if m and med.get(base) else "-"
        print("%-12s %-40s %8s %10s %10s" % (tool, " ".join(cells), "%.3f" % m if m else "-",
                                             ratio("curl 1x"), ratio("curl 2x")))
EOF

finish_wrong
