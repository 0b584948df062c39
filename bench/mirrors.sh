#!/usr/bin/env bash
# Several sources, one of them dead: the client's package served by its URL
# and a live mirror, with a third source that is dead, against the URL
# alone. A dead source is set aside for the rest of the run and the others
# take its ranges; the goal is the time of one live source alone, or
# within 1.2 times of it.
# A benchmark, not a test: no number fails anything. A downloaded file that
# differs from the served one is reported loudly and makes the exit status 3.
#
#   bench/mirrors.sh [options] [LABEL=PATH ...]
#
# Each LABEL=PATH is a Linux build of the client (default
# vornupdate=build/linux/vornupdate). There are no peers: the other tools
# read no version file and take no mirrors.
#
# nginx (bench/lib.sh nginx_conf) serves the package on 127.0.0.1:PORT with
# every connection paced to RATE (nginx limit_rate), under two paths: the
# URL's (/a/) and a mirror's (/b/). The version file (same nginx) announces
# SHA256 and SIZE, which the client needs before it uses any mirror. The
# cases:
#   alone     URL only: the reference
#   live      URL and the live mirror
#   refused   URL, the live mirror and a mirror on a port where nobody
#             listens (PORT + 1): the connection is refused at once
#   silent    URL, the live mirror and a mirror that accepts connections
#             and never answers (a Python listener on PORT + 2): the client
#             waits for its answer as for any server's
# The client is timed from its start until 下载成功 appears in its
# updatelog.txt (polled every 3 ms), as throughput.sh times it. Every run
# starts from the same page cache; within a round every case runs once,
# the order rotating from round to round.
#
# Options (environment variable in brackets):
#   --rounds N        rounds, default 3 [ROUNDS]
#   --size MiB        the package, default 64 [SIZE_MIB]
#   --rate MiB/s      each connection's pace, default 8 [RATE_MIB]
#   --cases "alone live refused silent"   [CASES]
#   --port N          nginx's port, default 19680; PORT + 1 and + 2 are
#                     the dead mirrors' [BENCH_PORT]
#   --timeout S       limit of one run, default 120 [RUN_TIMEOUT]
#   --raw FILE        also keep every run as TSV [RAW]
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

. "$root/bench/lib.sh"

ROUNDS=${ROUNDS:-3}
SIZE_MIB=${SIZE_MIB:-64}
RATE_MIB=${RATE_MIB:-8}
CASES=${CASES:-alone live refused silent}
PORT=${BENCH_PORT:-19680}
RUN_TIMEOUT=${RUN_TIMEOUT:-120}
RAW=${RAW:-}
CLIENTS=()

while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS=$2; shift 2 ;;
    --size) SIZE_MIB=$2; shift 2 ;;
    --rate) RATE_MIB=$2; shift 2 ;;
    --cases) CASES=$2; shift 2 ;;
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
for c in $CASES; do
  case "$c" in alone|live|refused|silent) ;; *) echo "unknown case $c" >&2; exit 2 ;; esac
done

find_nginx || exit 1
TOOLS=()  # client:label:path
add_clients "${CLIENTS[@]}"
[ ${#TOOLS[@]} -gt 0 ] || { say "nothing to measure"; exit 1; }

# ---- work directory, nginx, the silent listener ----------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-mirrors.XXXXXX") || exit 1
www=$work/www
mkdir -p "$www" "$work/dl" "$work/nginx-temp"
results=$work/results.tsv
: >"$results"
NGINX_PID=
SILENT_PID=
cleanup() {
  stop_pid "$NGINX_PID" "$SILENT_PID"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PKG=bench.bin
make_file "$SIZE_MIB" "$www/$PKG"
SHA=$(sha256sum "$www/$PKG" | cut -d' ' -f1)
SIZE=$((SIZE_MIB * 1048576))
RATE=$(awk -v r="$RATE_MIB" 'BEGIN { printf "%d", r * 1048576 }')
nginx_conf "$work" "$www" "$PORT" "$(printf '%s\n' \
  "    location /a/ { alias $www/; limit_rate $RATE; }" \
  "    location /b/ { alias $www/; limit_rate $RATE; }")"
start_nginx "$work" "$www" "$PORT" || exit 1
# Accepts every connection and reads what comes, answering nothing.
python3 - "$((PORT + 2))" <<'EOF' >"$work/silent.out" 2>&1 &
import socket, sys, threading
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(64)
def hold(c):
    while c.recv(65536):
        pass
while True:
    c, _ = s.accept()
    threading.Thread(target=hold, args=(c,), daemon=True).start()
EOF
SILENT_PID=$!
write_run_helper "$work/run.py"

# ---- runs ------------------------------------------------------------------

WRONG=0
RUN=0
A="http://127.0.0.1:$PORT/a/$PKG"
B="http://127.0.0.1:$PORT/b/$PKG"

# mirrors CASE: the MIRROR lines of a case.
mirrors() {
  case "$1" in
    alone) ;;
    live) printf 'MIRROR=%s\r\n' "$B" ;;
    refused) printf 'MIRROR=%s\r\n' "$B" "http://127.0.0.1:$((PORT + 1))/$PKG" ;;
    silent) printf 'MIRROR=%s\r\n' "$B" "http://127.0.0.1:$((PORT + 2))/$PKG" ;;
  esac
}

# run_one LABEL PATH CASE ROUND
run_one() {
  local label=$1 path=$2 case=$3 round=$4
  RUN=$((RUN + 1))
  local dl="$work/dl/run$RUN" ver="ver-$RUN.txt"
  { printf 'SHA256=%s\r\nSIZE=%s\r\n' "$SHA" "$SIZE"; mirrors "$case"
    printf 'VER=2.0\r\nURL=%s?run=%s\r\n' "$A" "$RUN"; } >"$www/$ver"
  rm -rf "$dl"
  client_cmd "$path" "http://127.0.0.1:$PORT/$ver" "$dl" "$PKG"
  local run=(python3 "$work/run.py" --timeout "$RUN_TIMEOUT" --stderr "$work/stderr.out"
    --log "$dl/updatelog.txt" --marker "$SUCCESS_HEX" --grace 30)
  same_page_cache "$www/$PKG"
  local line wall rc state check aside
  line=$("${run[@]}" -- "${CMD[@]}")
  read -r wall rc state <<<"$line"
  check=$(check_file "$dl/$PKG" "$www/$PKG")
  # The lines that set a source aside (下载源出错).
  aside=$(iconv -f GBK -t UTF-8 "$dl/updatelog.txt" 2>/dev/null | grep -c '下载源出错')
  if [ "$check" = DIFFERS ] || { [ "$check" = missing ] && { [ "$state" = ok ] || [ "$state" = ended ]; }; }; then
    WRONG=$((WRONG + 1))
    say "!!!!!! WRONG DOWNLOAD: $label, $case, round $round: the file is $check !!!!!!"
  fi
  if [ "$state" != ok ] && [ "$state" != ended ]; then
    say "  $label: run $state (exit status $rc); its log:"
    iconv -f GBK -t UTF-8 "$dl/updatelog.txt" 2>/dev/null | tail -n 3 >&2
  fi
  rm -rf "$dl" "$dl.xdg" "$www/$ver"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$case" "$round" "$wall" "$state" "$check" "$aside" >>"$results"
  say "$(printf '  %-12s %-8s round %d: %7.3f s, %s, %s, %d source(s) set aside' \
    "$label" "$case" "$round" "$wall" "$state" "$check" "$aside")"
}

RUNS=()
for c in $CASES; do
  for t in "${TOOLS[@]}"; do RUNS+=("$t:$c"); done
done
n=${#RUNS[@]}
say "== $SIZE_MIB MiB, every connection at $RATE_MIB MiB/s; cases: $CASES; $ROUNDS round(s); nginx on 127.0.0.1:$PORT"
for round in $(seq 1 "$ROUNDS"); do
  for i in $(seq 0 $((n - 1))); do
    r=${RUNS[$(( (i + round - 1) % n ))]}
    rest=${r#client:}
    label=${rest%%:*} rest=${rest#*:}
    run_one "$label" "${rest%:*}" "${rest##*:}" "$round"
  done
done

[ -n "$RAW" ] && { printf 'tool\tcase\tround\twall_s\tstate\tfile\tset_aside\n'; cat "$results"; } >"$RAW"

# ---- report ----------------------------------------------------------------

python3 - "$results" "$SIZE_MIB" "$RATE_MIB" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
keys = []
for r in rows:
    if (r[0], r[1]) not in keys:
        keys.append((r[0], r[1]))
def median(tool, case):
    good = [float(r[3]) for r in rows if r[0] == tool and r[1] == case
            and r[4] in ("ok", "ended") and r[5] == "exact"]
    return statistics.median(good) if good else None
print()
print("%s MiB, every connection at %s MiB/s; wall s of every run in round order" % (sys.argv[2], sys.argv[3]))
print("(a failed run in brackets); x alone = median over the median of the URL alone")
print("%-12s %-8s %-30s %8s %8s %6s" % ("tool", "case", "runs", "median", "x alone", "aside"))
for tool, case in keys:
    sel = [r for r in rows if r[0] == tool and r[1] == case]
    cells = ["%.3f" % float(r[3]) if r[4] in ("ok", "ended") and r[5] == "exact"
             else "[%s %s]" % (r[4], r[3]) for r in sel]
    med, ref = median(tool, case), median(tool, "alone")
    print("%-12s %-8s %-30s %8s %8s %6s" % (
        tool, case, " ".join(cells), "%.3f" % med if med else "-",
        "%.2f" % (med / ref) if med and ref else "-", "/".join(r[6] for r in sel)))
EOF

finish_wrong
