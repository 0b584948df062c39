#!/usr/bin/env bash
# The speed of the fast lanes: a package served by ranges with every
# connection at the same rate but one, which is 8 times slower. A tool that
# leaves the slow connection its fixed quarter waits for it; one that lets
# the fast connections take over the slow one's share comes near the ideal,
# the size over the sum of the rates (64 MiB at 3 x 8 + 1 MiB/s: 2.56 s).
# A benchmark, not a test: no number fails anything. A downloaded file that
# differs from the served one is reported loudly and makes the exit status 3.
#
#   bench/slow_lane.sh [options] [LABEL=PATH ...]
#
# Each LABEL=PATH is a Linux build of the client (default
# vornupdate=build/linux/vornupdate); the peers are axel -n 4 and aria2c
# -x4 -s4 (-k1M, as in throughput.sh), installed with apt-get if missing
# and allowed, else skipped.
#
# The server is the tests' fault server (tests/servers/fault_server.py) on
# 127.0.0.1:PORT, its fault slow-lane: every answer 206 (200 without a
# Range) on a kept-alive connection, each connection paced to RATE in
# 64 KiB pieces, one connection to SLOW. Which one is chosen by where that
# connection's first request starts (a probe's connection closed after its
# header passes the choice on, see the fault server):
#   first   the first segment's connection (its first request below size/4)
#   later   a later one (its first request in [size/2, 3*size/4))
# After each run the script asks the server what every connection carried
# and prints, beside the wall time, how many connections there were and
# what the slow one carried.
# The client gets a version file (VER and URL, from the same server) and
# is timed from its start until 下载成功 appears in its updatelog.txt
# (polled every 3 ms), as throughput.sh times it; a peer is timed for its
# whole command. Every run starts from the same page cache: sync, caches
# dropped where allowed (/proc/sys/vm/drop_caches), the served file read
# once. Within a round every tool runs once per lane, the order rotating
# from round to round.
#
# Options (environment variable in brackets):
#   --rounds N         rounds, default 3 [ROUNDS]
#   --size MiB         the package, default 64 [SIZE_MIB]
#   --rate MiB/s       every connection but one, default 8 [RATE_MIB]
#   --slow MiB/s       the slow connection, default RATE/8 [SLOW_MIB]
#   --lanes "first later"  which connection is slow [LANES]
#   --peers "axel aria2c"  the other downloaders; "" for none [PEERS]
#   --port N           the fault server's port, default 19660 [BENCH_PORT]
#   --timeout S        limit of one run, default 30 + size/slow [RUN_TIMEOUT]
#   --raw FILE         also keep every run as TSV [RAW]
#   --no-install       do not apt-get install missing peers
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

. "$root/bench/lib.sh"

ROUNDS=${ROUNDS:-3}
SIZE_MIB=${SIZE_MIB:-64}
RATE_MIB=${RATE_MIB:-8}
SLOW_MIB=${SLOW_MIB:-}
LANES=${LANES-first later}
PEERS=${PEERS-axel aria2c}
PORT=${BENCH_PORT:-19660}
RUN_TIMEOUT=${RUN_TIMEOUT:-}
RAW=${RAW:-}
INSTALL=1
CLIENTS=()

while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS=$2; shift 2 ;;
    --size) SIZE_MIB=$2; shift 2 ;;
    --rate) RATE_MIB=$2; shift 2 ;;
    --slow) SLOW_MIB=$2; shift 2 ;;
    --lanes) LANES=$2; shift 2 ;;
    --peers) PEERS=$2; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --timeout) RUN_TIMEOUT=$2; shift 2 ;;
    --raw) RAW=$2; shift 2 ;;
    --no-install) INSTALL=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *=*) CLIENTS+=("$1"); shift ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ ${#CLIENTS[@]} -gt 0 ] || CLIENTS=("vornupdate=$root/build/linux/vornupdate")
case "$ROUNDS" in ''|*[!0-9]*|0) echo "rounds must be a positive number" >&2; exit 2 ;; esac
for lane in $LANES; do
  case "$lane" in first|later) ;; *) echo "a lane is first or later, not $lane" >&2; exit 2 ;; esac
done
# Rates in bytes per second; MiB/s may have a fraction (0.5).
RATE=$(awk -v r="$RATE_MIB" 'BEGIN { printf "%d", r * 1048576 }')
SLOW=$(awk -v r="${SLOW_MIB:-$(awk -v r="$RATE_MIB" 'BEGIN { print r / 8 }')}" 'BEGIN { printf "%d", r * 1048576 }')
SIZE=$((SIZE_MIB * 1048576))
[ "$RATE" -gt 0 ] && [ "$SLOW" -gt 0 ] || { echo "rates must be above 0" >&2; exit 2; }
[ -n "$RUN_TIMEOUT" ] || RUN_TIMEOUT=$((30 + SIZE / SLOW))

TOOLS=()  # kind:label:path
add_clients "${CLIENTS[@]}"
find_peers "$PEERS"
for p in ${PEER_PATHS[@]+"${PEER_PATHS[@]}"}; do TOOLS+=("peer:$p"); done
[ ${#TOOLS[@]} -gt 0 ] || { say "nothing to measure"; exit 1; }

# ---- work directory, the fault server --------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-slow-lane.XXXXXX") || exit 1
www=$work/www
mkdir -p "$www" "$work/dl"
results=$work/results.tsv
: >"$results"
SERVER_PID=
cleanup() {
  stop_pid "$SERVER_PID"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PKG=bench.bin
make_file "$SIZE_MIB" "$www/$PKG"
python3 "$root/tests/servers/fault_server.py" --port "$PORT" --peer-port "$PORT" \
  --docroot "$www" >"$work/server.out" 2>&1 &
SERVER_PID=$!
echo ok >"$www/ping.txt"
up=0
for _ in $(seq 1 100); do
  curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$PORT/file/ping.txt" && { up=1; break; }
  kill -0 "$SERVER_PID" 2>/dev/null || break
  sleep 0.1
done
[ "$up" = 1 ] || { say "the fault server did not come up on 127.0.0.1:$PORT:"; cat "$work/server.out" >&2; exit 1; }
write_run_helper "$work/run.py"

# The ideal: every connection busy until the end, the whole at the sum of
# the rates of four connections.
IDEAL=$(awk -v s="$SIZE" -v r="$RATE" -v q="$SLOW" 'BEGIN { printf "%.3f", s / (3 * r + q) }')

# ---- runs ------------------------------------------------------------------

WRONG=0
RUN=0

# lanes_summary TOKEN: "CONNECTIONS SLOW_MIB" of one download: how many
# connections it made and what its slow lane carried (a probe's connection
# that handed the lane on counts as a connection, not as the lane).
lanes_summary() {
  curl -s --max-time 5 "http://127.0.0.1:$PORT/lanes?token=$1" | awk -F '\t' '
    $1 == "size" { next }
    { n++ }
    $3 == "slow" { slow += $6 }
    END { printf "%d %.1f\n", n, slow / 1048576 }'
}

# run_one KIND LABEL PATH LANE ROUND
run_one() {
  local kind=$1 label=$2 path=$3 lane=$4 round=$5
  RUN=$((RUN + 1))
  local token="run$RUN-$lane" dl="$work/dl/run$RUN"
  local url="http://127.0.0.1:$PORT/file/$PKG?fault=slow-lane&lane=$lane&rate=$RATE&slow=$SLOW&token=$token"
  local run=(python3 "$work/run.py" --timeout "$RUN_TIMEOUT" --stderr "$work/stderr.out")
  rm -rf "$dl"
  if [ "$kind" = client ]; then
    printf 'VER=2.0\r\nURL=%s\r\n' "$url" >"$www/ver-$token.txt"
    client_cmd "$path" "http://127.0.0.1:$PORT/file/ver-$token.txt" "$dl" "$PKG"
    run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX" --grace 30)
  else
    peer_cmd "$label" "$path" "$url" "$dl" "$PKG"
  fi
  same_page_cache "$www/$PKG"
  local line wall rc state check conns slow_mib
  line=$("${run[@]}" -- "${CMD[@]}")
  read -r wall rc state <<<"$line"
  check=$(check_file "$dl/$PKG" "$www/$PKG")
  read -r conns slow_mib <<<"$(lanes_summary "$token")"
  if [ "$check" = DIFFERS ] || { [ "$check" = missing ] && { [ "$state" = ok ] || [ "$state" = ended ]; }; }; then
    WRONG=$((WRONG + 1))
    say "!!!!!! WRONG DOWNLOAD: $label, lane $lane, round $round: the file is $check !!!!!!"
  fi
  if [ "$state" != ok ] && [ "$state" != ended ]; then
    say "  $label: run $state (exit status $rc); its stderr:"
    tail -n 3 "$work/stderr.out" >&2 2>/dev/null
  fi
  rm -rf "$dl" "$dl.xdg" "$www/ver-$token.txt"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$lane" "$round" "$wall" "$rc" "$state" \
    "$check" "$conns" "$slow_mib" >>"$results"
  say "$(printf '  %-12s lane %-5s round %d: %7.3f s, %5.2fx ideal, %d connections, slow lane carried %5.1f MiB, %s, %s' \
    "$label" "$lane" "$round" "$wall" "$(awk -v w="$wall" -v i="$IDEAL" 'BEGIN { print w / i }')" \
    "$conns" "$slow_mib" "$state" "$check")"
}

RUNS=()  # kind:label:path:lane
for lane in $LANES; do
  for t in "${TOOLS[@]}"; do RUNS+=("$t:$lane"); done
done
n=${#RUNS[@]}
say "== $SIZE_MIB MiB, connections at $RATE_MIB MiB/s but one at $(awk -v s="$SLOW" 'BEGIN { print s / 1048576 }') MiB/s (lanes: $LANES); ideal $IDEAL s; $ROUNDS round(s); fault server on 127.0.0.1:$PORT"
for round in $(seq 1 "$ROUNDS"); do
  for i in $(seq 0 $((n - 1))); do
    r=${RUNS[$(( (i + round - 1) % n ))]}
    kind=${r%%:*} rest=${r#*:}
    label=${rest%%:*} rest=${rest#*:}
    run_one "$kind" "$label" "${rest%:*}" "${rest##*:}" "$round"
  done
done

[ -n "$RAW" ] && { printf 'tool\tlane\tround\twall_s\trc\tstate\tfile\tconnections\tslow_lane_mib\n'; cat "$results"; } >"$RAW"

# ---- report ----------------------------------------------------------------

python3 - "$results" "$IDEAL" "$SIZE_MIB" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
ideal, mib = float(sys.argv[2]), sys.argv[3]
keys = []
for r in rows:
    if (r[0], r[1]) not in keys:
        keys.append((r[0], r[1]))
print()
print("%s MiB; ideal %.3f s (the size over the sum of the four connections' rates);" % (mib, ideal))
print("wall s of every run in round order (a failed run in brackets), x = wall / ideal")
print("%-12s %-6s %-30s %8s %7s %6s %10s" % ("tool", "lane", "runs", "median", "x ideal", "conns", "slow MiB"))
for tool, lane in keys:
    sel = [r for r in rows if r[0] == tool and r[1] == lane]
    good = [r for r in sel if r[5] in ("ok", "ended") and r[6] == "exact"]
    cells = ["%.3f" % float(r[3]) if r in good else "[%s %s]" % (r[5], r[3]) for r in sel]
    med = statistics.median(float(r[3]) for r in good) if good else None
    conns = "/".join(sorted(set(r[7] for r in sel)))
    slow = "/".join(r[8] for r in sel)
    print("%-12s %-6s %-30s %8s %7s %6s %10s" % (
        tool, lane, " ".join(cells), "%.3f" % med if med else "-",
        "%.2f" % (med / ideal) if med else "-", conns, slow))
EOF

finish_wrong
