#!/usr/bin/env bash
# What a broken IPv6 path costs: a host name with an IPv6 address whose
# connects are never answered and a working IPv4 one. The client races a
# name's addresses (the families taking turns, each connect 250 ms after the
# one before), so it should lose about a quarter of a second per burst of
# connections, as curl does (curl waits 200 ms before its second family).
# A benchmark, not a test: no number fails anything. A downloaded file that
# differs from the served one is reported loudly and makes the exit status 3.
#
#   bench/broken_ipv6.sh [options]
#
# The setup, all of it private to the run:
#   - nginx, bound to 127.0.0.1:PORT only, serves one incompressible file
#     (16 MiB by default) and the client's version files;
#   - on [::1]:PORT, a python3 listener that never accepts: its backlog is
#     0, and the script connects to it until a new connect no longer
#     completes at once, so the queue is full and any further SYN to
#     [::1]:PORT is dropped (checked: a probe connect gets no answer);
#   - the host name: "localhost" when `getent ahosts localhost` lists ::1
#     before 127.0.0.1. Where it does not (this VM's /etc/hosts gives
#     localhost 127.0.0.1 alone), the whole script runs again in a mount
#     namespace of its own (`unshare -m`; `unshare -r -m` when not root),
#     where a copy of /etc/hosts with "::1 vorn-bench-v6" and
#     "127.0.0.1 vorn-bench-v6" added is bound over /etc/hosts. Nothing
#     outside that namespace sees it; the machine's /etc/hosts is not
#     touched. Without unshare the script stops and says so.
#
# Tools, each run once per round (the order rotating from round to round),
# each against the same file twice: at http://NAME:PORT/ (broken IPv6) and
# at http://127.0.0.1:PORT/ (the baseline):
#   - the client (build/linux/vornupdate): a version file at that host and a
#     package URL at that host; wall time from its start until 下载成功
#     appears in its updatelog.txt (polled every 3 ms, as throughput.sh
#     does); each run gets a download directory and an XDG_RUNTIME_DIR of
#     its own (so no other run's single-instance guard meets it);
#   - curl -s -o FILE URL: the whole command;
#   - with --wine, the Win32 build under wine (a private prefix, a virtual
#     display, its completion box dismissed by tests/dismiss_box.exe, as in
#     throughput.sh --wine).
# The added seconds are the broken run's wall time minus the baseline's:
# per round (the two runs of one round) and between the medians.
# Every run starts from the same page cache: sync, caches dropped where
# allowed (/proc/sys/vm/drop_caches), the served file read once.
#
# Options (environment variable in brackets):
#   --rounds N         rounds, default 5 [ROUNDS]
#   --size MiB         the file's size, default 16 [SIZE_MIB]
#   --port N           nginx on 127.0.0.1:N, the silent listener on
#                      [::1]:N, default 19640 [BENCH_PORT]
#   --client PATH      the Linux build, default build/linux/vornupdate
#                      ("" for none) [CLIENT]
#   --no-curl          leave curl out
#   --wine             also the Win32 build under wine
#   --wine-client PATH that build, default build/win32/vornupdate.exe
#                      (turns --wine on) [WINE_CLIENT]
#   --timeout S        limit of one run in seconds, default 60 (120 under
#                      wine) [RUN_TIMEOUT]
#   --raw FILE         also keep every run as TSV [RAW]
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/bench/$(basename "$0")

. "$root/bench/lib.sh"

ROUNDS=${ROUNDS:-5}
SIZE_MIB=${SIZE_MIB:-16}
PORT=${BENCH_PORT:-19640}
CLIENT=${CLIENT-$root/build/linux/vornupdate}
WINE_CLIENT=${WINE_CLIENT:-}
WINE_ON=0
[ -n "$WINE_CLIENT" ] && WINE_ON=1
CURL_ON=1
RUN_TIMEOUT=${RUN_TIMEOUT:-}
RAW=${RAW:-}
ARGS=("$@")

while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) ROUNDS=$2; shift 2 ;;
    --size) SIZE_MIB=$2; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --client) CLIENT=$2; shift 2 ;;
    --no-curl) CURL_ON=0; shift ;;
    --wine) WINE_ON=1; shift ;;
    --wine-client) WINE_CLIENT=$2; WINE_ON=1; shift 2 ;;
    --timeout) RUN_TIMEOUT=$2; shift 2 ;;
    --raw) RAW=$2; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
case "$ROUNDS" in ''|*[!0-9]*|0) echo "rounds must be a positive number" >&2; exit 2 ;; esac
case "$SIZE_MIB" in ''|*[!0-9]*|0) echo "size must be a positive number of MiB" >&2; exit 2 ;; esac
[ "$WINE_ON" = 1 ] && [ -z "$WINE_CLIENT" ] && WINE_CLIENT=$root/build/win32/vornupdate.exe


# ---- the host name: ::1 first, then 127.0.0.1 -------------------------------

v6_first() {  # NAME: true when its first address is ::1 and 127.0.0.1 follows
  local list; list=$(getent ahosts "$1" | awk '$2 == "STREAM" { print $1 }')
  [ "$(printf '%s\n' "$list" | head -n 1)" = ::1 ] && printf '%s\n' "$list" | grep -qx 127.0.0.1
}

if [ -n "${VORN_V6_NAME:-}" ]; then
  NAME=$VORN_V6_NAME  # in the private namespace, the hosts file bound
elif v6_first localhost; then
  NAME=localhost
else
  NAME=vorn-bench-v6
  say "getent ahosts localhost: $(getent ahosts localhost | awk '$2 == "STREAM" { print $1 }' | paste -sd' ') (no ::1 first);"
  say "using $NAME from a private /etc/hosts in a mount namespace of this run"
  command -v unshare >/dev/null 2>&1 || { say "no unshare: cannot give the name a private hosts file; stopping"; exit 1; }
  hosts=$(mktemp "${TMPDIR:-/tmp}/vorn-v6-hosts.XXXXXX") || exit 1
  { cat /etc/hosts; printf '::1\t%s\n127.0.0.1\t%s\n' "$NAME" "$NAME"; } >"$hosts"
  chmod 644 "$hosts"
  ns=(unshare -m)
  [ "$(id -u)" = 0 ] || ns=(unshare -r -m)
  export VORN_V6_NAME=$NAME
  # The bind mount outlives the file's name, so the copy goes at once.
  exec "${ns[@]}" bash -c 'mount --bind "$1" /etc/hosts; rc=$?; rm -f "$1"; [ $rc = 0 ] || exit 1; shift; exec bash "$@"' \
    _ "$hosts" "$self" "${ARGS[@]}"
fi
if ! v6_first "$NAME"; then
  say "getent ahosts $NAME does not give ::1 first and then 127.0.0.1: $(getent ahosts "$NAME" | awk '$2 == "STREAM" { print $1 }' | paste -sd' ')"
  exit 1
fi

# The Win32 build's completion notice is a modal box: wine needs a display.
if [ "$WINE_ON" = 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${VORN_BENCH_XVFB:-}" ]; then
  if command -v xvfb-run >/dev/null 2>&1; then
    export VORN_BENCH_XVFB=1
    exec xvfb-run -a bash "$self" "${ARGS[@]}"
  fi
  say "no DISPLAY and no xvfb-run: the wine runs are skipped"
  WINE_ON=0
fi

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}

NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
[ -x "$NGINX" ] || { say "nginx is missing"; exit 1; }

TOOLS=()  # kind:label:path
if [ -n "$CLIENT" ]; then
  if [ -x "$CLIENT" ]; then TOOLS+=("client:vornupdate:$(cd "$(dirname "$CLIENT")" && pwd)/$(basename "$CLIENT")")
  else say "skipping the client: $CLIENT is not an executable"; fi
fi
if [ "$CURL_ON" = 1 ]; then
  if command -v curl >/dev/null 2>&1; then TOOLS+=("curl:curl:$(command -v curl)")
  else say "skipping curl: not installed"; fi
fi
if [ "$WINE_ON" = 1 ]; then
  if [ ! -f "$WINE_CLIENT" ] || [ ! -x "$WINE" ]; then
    say "skipping wine: $WINE_CLIENT or $WINE is missing"; WINE_ON=0
  else
    WINE_CLIENT=$(cd "$(dirname "$WINE_CLIENT")" && pwd)/$(basename "$WINE_CLIENT")
    TOOLS+=("wine:wine vornupdate.exe:$WINE_CLIENT")
  fi
fi
[ ${#TOOLS[@]} -gt 0 ] || { say "nothing to measure"; exit 1; }

# ---- work directory, nginx, the silent listener ------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-broken-ipv6.XXXXXX") || exit 1
www=$work/www
mkdir -p "$www" "$work/dl" "$work/nginx-temp"
results=$work/results.tsv
: >"$results"
NGINX_PID= HOLE_PID= WINE_SERVER_UP=0

cleanup() {
  local pid
  for pid in $NGINX_PID $HOLE_PID; do
    kill "$pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  [ "$WINE_SERVER_UP" = 1 ] && WINEPREFIX=$WINEPREFIX timeout 20 "$WINESERVER" -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

PKG=bench.bin
openssl enc -aes-128-ctr -nosalt -pass pass:vorn-v6-$SIZE_MIB -pbkdf2 </dev/zero 2>/dev/null |
  head -c $((SIZE_MIB * 1048576)) >"$www/$PKG"
[ "$(stat -c %s "$www/$PKG")" = $((SIZE_MIB * 1048576)) ] ||
  head -c $((SIZE_MIB * 1048576)) /dev/urandom >"$www/$PKG"
# One version file per host: the package URL names the same host.
printf 'VER=2.0\r\nURL=http://%s:%s/%s\r\n' "$NAME" "$PORT" "$PKG" >"$www/ver-name.txt"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%s/%s\r\n' "$PORT" "$PKG" >"$www/ver-v4.txt"

nginx_conf "$work" "$www" "$PORT"
"$NGINX" -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log" </dev/null >"$work/nginx.out" 2>&1 &
NGINX_PID=$!
up=0
for _ in $(seq 1 100); do
  curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$PORT/ver-v4.txt" && { up=1; break; }
  kill -0 "$NGINX_PID" 2>/dev/null || break
  sleep 0.1
done
if [ "$up" != 1 ]; then
  say "nginx did not come up on 127.0.0.1:$PORT:"; cat "$work/nginx-error.log" "$work/nginx.out" >&2 2>/dev/null
  exit 1
fi

# The silent listener: backlog 0, never accepts. It fills its own queue
# (connects until one does not complete within 0.3 s), checks that a
# further connect gets no answer within 1 s, writes "ready" and then holds
# everything open until it is ended.
cat >"$work/hole.py" <<'EOF'
import select, socket, sys, time
port, ready = int(sys.argv[1]), sys.argv[2]
listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("::1", port))
listener.listen(0)
held = []
for _ in range(64):
    c = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    c.setblocking(False)
    try:
        c.connect(("::1", port))
    except BlockingIOError:
        pass
    held.append(c)
    _, done, _ = select.select([], [c], [], 0.3)
    if not done:
        break
else:
    sys.exit("the queue of [::1]:%d did not fill" % port)
probe = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
probe.settimeout(1.0)
try:
    probe.connect(("::1", port))
    sys.exit("a connect to [::1]:%d was answered" % port)
except socket.timeout:
    pass
except OSError as e:
    sys.exit("a connect to [::1]:%d failed at once (%s), not silently" % (port, e))
probe.close()
with open(ready, "w") as f:
    f.write("ready %d\n" % len(held))
while True:
    time.sleep(3600)
EOF
python3 "$work/hole.py" "$PORT" "$work/hole.ready" 2>"$work/hole.err" &
HOLE_PID=$!
for _ in $(seq 1 100); do
  [ -s "$work/hole.ready" ] && break
  kill -0 "$HOLE_PID" 2>/dev/null || break
  sleep 0.1
done
if [ ! -s "$work/hole.ready" ]; then
  say "the silent listener on [::1]:$PORT did not come up:"; cat "$work/hole.err" >&2
  exit 1
fi
# The same from outside: curl at [::1] must time out, not be refused.
curl -s -g -o /dev/null --connect-timeout 1 "http://[::1]:$PORT/ver-v4.txt"
rc=$?
if [ "$rc" != 28 ]; then
  say "curl at [::1]:$PORT ended with status $rc, not a connect time-out (28): the IPv6 path is not silent"
  exit 1
fi
say "host name $NAME: $(getent ahosts "$NAME" | awk '$2 == "STREAM" { print $1 }' | paste -sd' '); nginx on 127.0.0.1:$PORT; [::1]:$PORT silent (queue full after $(cut -d' ' -f2 "$work/hole.ready") connects)"

if [ "$WINE_ON" = 1 ]; then
  export WINEPREFIX=${BENCH_WINEPREFIX:-${TMPDIR:-/tmp}/vorn-bench-v6-wine-$(id -u)}
  export WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d'
  say "wine prefix $WINEPREFIX (made on first use)"
  VORN_WINE_NO_XVFB=1 timeout 180 bash "$root/scripts/wine-run.sh"
  timeout 20 "$WINESERVER" -p600 >/dev/null 2>&1
  WINE_SERVER_UP=1
  DISMISS=${WINE_DISMISS:-$(dirname "$WINE_CLIENT")/tests/dismiss_box.exe}
  # Unmeasured: the first program of a fresh server brings up wine's own
  # services.
  if [ -f "$DISMISS" ]; then
    timeout 60 "$WINE" "$DISMISS" none "$(wine_path "$work")" 1 >/dev/null 2>&1
  else
    say "no $DISMISS: each wine run is ended 1 s after its success line, with the notice box open"
    DISMISS=
    timeout 60 "$WINE" cmd /c exit >/dev/null 2>&1
  fi
fi

# The run helper (bench/lib.sh): runs a command in its own session; with
# --log, the wall time is until the marker bytes appear in that file (the
# process is then given --grace seconds to end, else ended); without, until
# it ends. Prints: wall exit_status state (ok, ended, failed, nolog,
# timeout).
write_run_helper "$work/run.py"

# ---- runs ------------------------------------------------------------------

WRONG=0

# run_one KIND LABEL PATH HOST ROUND: HOST is the name or 127.0.0.1
run_one() {
  local kind=$1 label=$2 path=$3 host=$4 round=$5
  local dl="$work/dl/run-$RANDOM$RANDOM" out="" line box_pid="" box_dir=""
  local variant=baseline ver=ver-v4.txt limit=${RUN_TIMEOUT:-60}
  [ "$host" != 127.0.0.1 ] && variant=broken ver=ver-name.txt
  [ "$kind" = wine ] && [ -z "$RUN_TIMEOUT" ] && limit=120
  local run=(python3 "$work/run.py" --timeout "$limit" --stderr "$work/stderr.out")
  local cmd=()
  case "$kind" in
    client)
      out=$dl/$PKG
      local xdg=$work/xdg-$RANDOM$RANDOM
      mkdir -m 700 "$xdg"
      run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX" --grace 30)
      # No display: the notice goes to standard error, not to a box.
      cmd=(env -u DISPLAY "XDG_RUNTIME_DIR=$xdg" "$path" ";http://$host:$PORT/$ver;1.0;$dl;$PKG;;Bench") ;;
    wine)
      out=$dl/$PKG
      if [ -n "$DISMISS" ]; then run+=(--grace 30); else run+=(--grace 1); fi
      run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX")
      cmd=("$WINE" "$path" ";http://$host:$PORT/$ver;1.0;$(wine_path "$dl");$PKG;;Bench") ;;
    curl)
      out=$dl/$PKG
      cmd=("$path" -s -o "$out" "http://$host:$PORT/$PKG") ;;
  esac
  rm -rf "$dl"; [ "$kind" = curl ] && mkdir -p "$dl"
  # The same page cache for every run (not timed).
  same_page_cache "$www/$PKG"
  if [ "$kind" = wine ] && [ -n "$DISMISS" ]; then
    box_dir="$work/boxes-$RANDOM"; mkdir -p "$box_dir"
    "$WINE" "$DISMISS" vornupdate "$(wine_path "$box_dir")" "$limit" 1 >/dev/null 2>&1 &
    box_pid=$!
  fi
  line=$("${run[@]}" -- "${cmd[@]}")
  if [ -n "$box_pid" ]; then
    : >"$box_dir/stop"
    for _ in $(seq 1 100); do kill -0 "$box_pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$box_pid" 2>/dev/null; wait "$box_pid" 2>/dev/null
    rm -rf "$box_dir"
  fi
  local check=missing
  if [ -f "$out" ]; then
    if cmp -s "$out" "$www/$PKG"; then check=exact; else check=DIFFERS; fi
  fi
  local wall rc state
  read -r wall rc state <<<"$line"
  if [ "$check" = DIFFERS ] || { [ "$check" = missing ] && { [ "$state" = ok ] || [ "$state" = ended ]; }; }; then
    WRONG=$((WRONG + 1))
    say "!!!!!! WRONG DOWNLOAD: $label, $variant, round $round: the file is $check !!!!!!"
  fi
  if [ "$state" != ok ] && [ "$state" != ended ]; then
    say "  $label $variant: run $state (exit status $rc)"
    tail -n 3 "$work/stderr.out" >&2 2>/dev/null
    [ -f "$dl/updatelog.txt" ] && iconv -f GBK -t UTF-8 "$dl/updatelog.txt" 2>/dev/null | tail -n 4 >&2
  fi
  rm -rf "$dl"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$variant" "$round" "$wall" "$rc" "$state" "$check" >>"$results"
  say "$(printf '  %-18s %-8s round %d: %7.3f s, %s, %s' "$label" "$variant" "$round" "$wall" "$state" "$check")"
}

RUNS=()  # kind:label:path:host
for t in "${TOOLS[@]}"; do
  RUNS+=("$t:$NAME" "$t:127.0.0.1")
done
n=${#RUNS[@]}
say "== $SIZE_MIB MiB, broken IPv6 (http://$NAME:$PORT/) and baseline (http://127.0.0.1:$PORT/): $n runs x $ROUNDS rounds"
for round in $(seq 1 "$ROUNDS"); do
  for i in $(seq 0 $((n - 1))); do
    r=${RUNS[$(( (i + round - 1) % n ))]}
    kind=${r%%:*} rest=${r#*:}
    label=${rest%%:*} rest=${rest#*:}
    path=${rest%:*} host=${rest##*:}
    run_one "$kind" "$label" "$path" "$host" "$round"
  done
done

[ -n "$RAW" ] && { printf 'tool\tvariant\tround\twall_s\trc\tstate\tfile\n'; cat "$results"; } >"$RAW"

# ---- report ----------------------------------------------------------------

python3 - "$results" "$NAME" "$SIZE_MIB" <<'EOF'
import statistics, sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
name, mib = sys.argv[2], sys.argv[3]
tools = []
for r in rows:
    if r[0] not in tools:
        tools.append(r[0])
def good(r):
    return r[5] in ("ok", "ended") and r[6] == "exact"
def fmt(x):
    return "%.3f" % x if x is not None else "-"
print()
print("%s MiB; broken = http://%s/ (::1 silent, then 127.0.0.1), baseline = http://127.0.0.1/;" % (mib, name))
print("wall s of every run in round order (a failed run in brackets); added = broken - baseline")
for tool in tools:
    walls = {}
    for variant in ("broken", "baseline"):
        walls[variant] = {int(r[2]): (float(r[3]) if good(r) else None, r) for r in rows
                          if r[0] == tool and r[1] == variant}
    rounds = sorted(set(walls["broken"]) | set(walls["baseline"]))
    print()
    print("== %s" % tool)
    for variant in ("broken", "baseline"):
        cells = []
        for k in rounds:
            w, r = walls[variant].get(k, (None, None))
            cells.append(fmt(w) if w is not None else ("[%s %s]" % (r[5], r[3]) if r else "-"))
        print("%-9s %s" % (variant, "  ".join(cells)))
    added = []
    for k in rounds:
        b = walls["broken"].get(k, (None,))[0]
        a = walls["baseline"].get(k, (None,))[0]
        added.append(b - a if b is not None and a is not None else None)
    print("%-9s %s" % ("added", "  ".join(("%+.3f" % x) if x is not None else "-" for x in added)))
    mb = [w for w, _ in walls["broken"].values() if w is not None]
    ma = [w for w, _ in walls["baseline"].values() if w is not None]
    if mb and ma:
        print("medians: broken %.3f s (%d good), baseline %.3f s (%d good), added %+.3f s" % (
            statistics.median(mb), len(mb), statistics.median(ma), len(ma),
            statistics.median(mb) - statistics.median(ma)))
EOF

finish_wrong
