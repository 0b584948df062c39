#!/usr/bin/env bash
# What a download costs the server: the bytes nginx sends for one run of
# each tool (every answer of that run: headers and bodies, the probe's
# answer as far as it went before the tool closed it, the client's version
# file), next to the package's size.
# A benchmark, not a test: no number fails anything. A downloaded file that
# differs from the served one is reported loudly and makes the exit status 3.
#
#   bench/bytes_sent.sh [options] [LABEL=PATH ...]
#
# Each LABEL=PATH is a Linux build of the client (default
# vornupdate=build/linux/vornupdate); the peers are axel -n 4 and aria2c
# -x4 -s4 (-k1M), as throughput.sh runs them.
#
# nginx is throughput.sh's (bench/lib.sh nginx_conf: sendfile, keep-alive,
# unthrottled, on 127.0.0.1:PORT), its access log one line per answer with
# $bytes_sent (all it wrote to the socket: the header and as much of the
# body as went out before the connection ended), $status, the Range asked
# and $request. Every run asks its own query string (?run=N, which nginx
# ignores when serving), so its lines are told from the others'; after a
# run ends the script waits until the log has been quiet for 0.5 s (an
# answer whose connection the tool cut is logged when nginx sees the cut).
# The client gets a version file (VER and URL) from the same nginx; its
# bytes are listed apart from the package's. Every run starts from the same
# page cache: sync, caches dropped where allowed, the served file read once.
#
# Per run it prints: tool, package size, the requests and connections of
# the package, the bytes of the first package answer (the client's and
# axel's probe; aria2c's first segment), the package's bytes in all, the
# version file's, and the package's bytes over its size.
#
# Options (environment variable in brackets):
#   --sizes "5 64 1024"   package sizes in MiB [SIZES]
#   --rounds N            runs per tool and size, default 1 [ROUNDS]
#   --peers "axel aria2c" the other downloaders ("curl" too for a
#                         one-connection reference); "" for none [PEERS]
#   --port N              nginx's port on 127.0.0.1, default 19670 [BENCH_PORT]
#   --raw FILE            also keep every run as TSV [RAW]
#   --log-dir DIR         keep each run's access log lines there [LOG_DIR]
#   --no-install          do not apt-get install missing peers
#
# One served file and one download exist at a time: for 1 GiB, about 2 GiB
# in $TMPDIR (a size with too little free space is skipped).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

. "$root/bench/lib.sh"

SIZES=${SIZES-5 64 1024}
ROUNDS=${ROUNDS:-1}
PEERS=${PEERS-axel aria2c}
PORT=${BENCH_PORT:-19670}
RAW=${RAW:-}
LOG_DIR=${LOG_DIR:-}
INSTALL=1
CLIENTS=()

while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) SIZES=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --peers) PEERS=$2; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --raw) RAW=$2; shift 2 ;;
    --log-dir) LOG_DIR=$2; shift 2 ;;
    --no-install) INSTALL=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *=*) CLIENTS+=("$1"); shift ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ ${#CLIENTS[@]} -gt 0 ] || CLIENTS=("vornupdate=$root/build/linux/vornupdate")
case "$ROUNDS" in ''|*[!0-9]*|0) echo "rounds must be a positive number" >&2; exit 2 ;; esac

find_nginx || exit 1
TOOLS=()  # kind:label:path
add_clients "${CLIENTS[@]}"
find_peers "$PEERS"
for p in ${PEER_PATHS[@]+"${PEER_PATHS[@]}"}; do TOOLS+=("peer:$p"); done
[ ${#TOOLS[@]} -gt 0 ] || { say "nothing to measure"; exit 1; }
[ -n "$LOG_DIR" ] && mkdir -p "$LOG_DIR"

# ---- work directory, nginx -------------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-bytes-sent.XXXXXX") || exit 1
www=$work/www
mkdir -p "$www" "$work/dl" "$work/nginx-temp"
results=$work/results.tsv
: >"$results"
NGINX_PID=
cleanup() {
  stop_pid "$NGINX_PID"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ACCESS=$work/nginx-access.log
# One line per answer: connection, its request number, status, bytes
# sent (header and body), the Range asked, the request line.
NGINX_LOG_FORMAT='$connection\t$connection_requests\t$status\t$bytes_sent\t$http_range\t$request'
nginx_conf "$work" "$www" "$PORT"
start_nginx "$work" "$www" "$PORT" || exit 1
write_run_helper "$work/run.py"

# ---- runs ------------------------------------------------------------------

PKG=bench.bin
WRONG=0
RUN=0

# log_lines TAG: the access log lines of one run, once the log has been
# quiet for 0.5 s (at most 10 s).
log_lines() {
  local last=-1 now
  for _ in $(seq 1 100); do
    now=$(stat -c %s "$ACCESS")
    [ "$now" = "$last" ] && break
    last=$now
    sleep 0.5
  done
  grep -F "run=$1 " "$ACCESS"
}

# run_one KIND LABEL PATH MIB ROUND
run_one() {
  local kind=$1 label=$2 path=$3 mib=$4 round=$5
  RUN=$((RUN + 1))
  local tag="r$RUN" dl="$work/dl/run$RUN" limit=$((60 + mib / 5))
  local url="http://127.0.0.1:$PORT/$PKG?run=$tag"
  local run=(python3 "$work/run.py" --timeout "$limit" --stderr "$work/stderr.out")
  rm -rf "$dl"
  if [ "$kind" = client ]; then
    printf 'VER=2.0\r\nURL=%s\r\n' "$url" >"$www/ver.txt"
    client_cmd "$path" "http://127.0.0.1:$PORT/ver.txt?run=$tag" "$dl" "$PKG"
    run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX" --grace 30)
  else
    peer_cmd "$label" "$path" "$url" "$dl" "$PKG"
  fi
  same_page_cache "$www/$PKG"
  local line wall rc state check
  line=$("${run[@]}" -- "${CMD[@]}")
  read -r wall rc state <<<"$line"
  check=$(check_file "$dl/$PKG" "$www/$PKG")
  rm -rf "$dl" "$dl.xdg"
  if [ "$check" = DIFFERS ] || { [ "$check" = missing ] && { [ "$state" = ok ] || [ "$state" = ended ]; }; }; then
    WRONG=$((WRONG + 1))
    say "!!!!!! WRONG DOWNLOAD: $label, $mib MiB, round $round: the file is $check !!!!!!"
  fi
  if [ "$state" != ok ] && [ "$state" != ended ]; then
    say "  $label: run $state (exit status $rc); its stderr:"
    tail -n 3 "$work/stderr.out" >&2 2>/dev/null
  fi
  local lines
  lines=$(log_lines "$tag")
  [ -n "$LOG_DIR" ] && printf '%s\n' "$lines" >"$LOG_DIR/$label-$mib-MiB-$round.log"
  # requests conns first_bytes pkg_bytes ver_bytes ver_requests
  local sums
  sums=$(printf '%s\n' "$lines" | awk -F '\t' '
    $6 ~ /^GET \/ver\.txt/ { vb += $4; vn++; next }
    $6 ~ /^(GET|HEAD) \/'"$PKG"'/ {
      # The log is in the order the answers ended; the first asked is on
      # the lowest connection (nginx numbers them as they come), first.
      if (!n || $1 < fc || ($1 == fc && $2 < fr)) { fc = $1; fr = $2; first = $4 }
      n++; pb += $4; conn[$1] = 1
    }
    END { printf "%d %d %d %d %d %d\n", n, length(conn), first, pb, vb, vn }')
  local n conns first pkg_bytes ver_bytes ver_n
  read -r n conns first pkg_bytes ver_bytes ver_n <<<"$sums"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$mib" "$round" "$wall" "$state" "$check" \
    "$n" "$conns" "$first" "$pkg_bytes" "$ver_bytes" "$ver_n" >>"$results"
  say "$(printf '  %-12s %5d MiB round %d: %d requests on %d connections, first answer %d B, package %d B = %.4f x size, version file %d B; %.3f s, %s, %s' \
    "$label" "$mib" "$round" "$n" "$conns" "$first" "$pkg_bytes" \
    "$(awk -v b="$pkg_bytes" -v m="$mib" 'BEGIN { print b / (m * 1048576) }')" "$ver_bytes" "$wall" "$state" "$check")"
}

say "tools: $(printf '%s\n' "${TOOLS[@]}" | cut -d: -f2 | paste -sd, | sed 's/,/, /g'); sizes: $SIZES MiB; $ROUNDS run(s) each; nginx on 127.0.0.1:$PORT"
n=${#TOOLS[@]}
for mib in $SIZES; do
  need=$((mib * 2 + 200))
  avail=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
  if [ "$avail" -lt "$need" ]; then
    say "skipping $mib MiB: $avail MiB free in $work, $need needed"; continue
  fi
  make_file "$mib" "$www/$PKG"
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

[ -n "$RAW" ] && { printf 'tool\tmib\tround\twall_s\tstate\tfile\trequests\tconnections\tfirst_answer_bytes\tpackage_bytes\tversion_file_bytes\tversion_file_requests\n'; cat "$results"; } >"$RAW"

# ---- report ----------------------------------------------------------------

python3 - "$results" <<'EOF'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
print()
print("Bytes nginx sent per run (headers and bodies); x size = the package's bytes over its size;")
print("first = the first package answer (the client's and axel's probe, aria2c's first segment)")
print("%-12s %8s %5s %5s %5s %14s %14s %10s %8s %8s  %s" % (
    "tool", "size MiB", "run", "reqs", "conns", "first B", "package B", "x size",
    "ver B", "wall s", "state, file"))
for r in rows:
    mib = int(r[1])
    print("%-12s %8d %5s %5s %5s %14s %14s %10.4f %8s %8s  %s, %s" % (
        r[0], mib, r[2], r[6], r[7], r[8], r[9], int(r[9]) / (mib * 1048576.0),
        r[10] if r[11] != "0" else "-", r[3], r[4], r[5]))
EOF

finish_wrong
