#!/usr/bin/env bash
# Download throughput, CPU time and peak memory of vornupdate next to curl,
# axel and aria2c, on loopback from a private nginx (sendfile, keep-alive),
# over http and over https (the same nginx with TLS, a certificate from a
# CA made for the run, which every tool is told to trust its own way).
# A benchmark, not a test: no number fails anything. A downloaded file that
# differs from the served one is reported loudly and makes the exit status 3.
#
#   bench/throughput.sh [options] [LABEL=PATH ...]
#
# Each LABEL=PATH is a Linux build of the client to measure (default:
# vornupdate=build/linux/vornupdate); give two to compare an old and a new
# build in the same run:
#   bench/throughput.sh before=/tmp/vorn-before/vornupdate after=build/linux/vornupdate
# A label that ends in "+sha256" gets a version file that announces the
# package's SHA256 and SIZE, so the cost of the digest shows beside a run
# without it:
#   bench/throughput.sh plain=build/linux/vornupdate plain+sha256=build/linux/vornupdate
#
# Options (environment variable in brackets):
#   --sizes "256 1024"   unthrottled file sizes in MiB [SIZES]
#   --throttled "32"     sizes in MiB served at 4 MiB/s per connection
#                        (nginx limit_rate 4m); "" for none [THROTTLED]
#   --https "256 1024"   sizes in MiB over https, unthrottled, Linux tools
#                        only; "" for none [HTTPS_SIZES]
#   --rounds N           rounds, default 3 [ROUNDS]; within a round every
#                        tool runs once, the order rotating from round to round
#   --peers "curl axel aria2c"  the other downloaders [PEERS]
#   --wine               also run the Win32 build under wine
#   --wine-client PATH   that build, default build/win32/vornupdate.exe
#                        (setting it turns --wine on) [WINE_CLIENT]
#   --wine-sha256        also the Win32 build with SHA256 and SIZE announced
#                        (label "+sha256"; turns --wine on) [WINE_SHA256=1]
#   --wine-sizes "..."   unthrottled sizes for wine, default: --sizes [WINE_SIZES]
#   --wine-throttled ".." throttled sizes for wine, default: --throttled
#                        [WINE_THROTTLED]
#   --port N             nginx's port on 127.0.0.1, default 19600; https on
#                        the next port [BENCH_PORT]
#   --timeout S          limit of one run in seconds, default 60 + size/5
#                        (size/1 when throttled; doubled under wine) [RUN_TIMEOUT]
#   --raw FILE           also keep every run's figures as TSV [RAW]
#   --no-install         do not apt-get install missing peers
#
# Per run it measures the wall time (for the client: from its start until
# the line 下载成功 appears in its updatelog.txt, polled every 3 ms, so the
# 4 s pause after the completion notice is not counted; for the peers: the
# whole command), the CPU time user + sys and the peak RSS (GNU time, over
# the whole process: the pause costs no CPU), and compares the downloaded
# file with the served one (cmp). Then it prints, per size, the medians and
# the ratios to curl; for throttled sizes also the speed-up over curl.
# Every run of every tool starts from the same page cache (not timed): what
# the runs before left for the disk is written out (sync), the caches are
# dropped where this user may (/proc/sys/vm/drop_caches), and the served
# file is read once, so it is in memory as nginx sends it. Each run's peak
# disk use is the most blocks its download directory held at once (sampled
# every 5 ms; a sparse file counts only what is written).
# Over https (TLS 1.2 or 1.3, as each tool and nginx agree) the test CA is
# trusted through SSL_CERT_FILE and SSL_CERT_DIR by the client and by axel
# (OpenSSL's default locations, which they use), through --cacert by curl
# and --ca-certificate by aria2c; no tool is told to skip the check.
#
# Files live in a temporary directory under $TMPDIR (default /tmp): one
# served file at a time and one download at a time, each deleted after its
# check. The wine
# prefix (made once, about 15 s) is kept for later runs in
# $BENCH_WINEPREFIX (default /tmp/vorn-bench-wine-<uid>).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)

. "$(dirname "$0")/lib.sh"

SIZES=${SIZES-256 1024}
THROTTLED=${THROTTLED-32}
HTTPS_SIZES=${HTTPS_SIZES-256 1024}
ROUNDS=${ROUNDS:-3}
PEERS=${PEERS-curl axel aria2c}
WINE_CLIENT=${WINE_CLIENT:-}
WINE_ON=0
WINE_SHA256=${WINE_SHA256:-0}
[ -n "$WINE_CLIENT" ] && WINE_ON=1
PORT=${BENCH_PORT:-19600}
RUN_TIMEOUT=${RUN_TIMEOUT:-}
RAW=${RAW:-}
INSTALL=1
CLIENTS=()
wine_sizes_set=${WINE_SIZES+1}
wine_throttled_set=${WINE_THROTTLED+1}

while [ $# -gt 0 ]; do
  case "$1" in
    --sizes) SIZES=$2; shift 2 ;;
    --throttled) THROTTLED=$2; shift 2 ;;
    --https) HTTPS_SIZES=$2; shift 2 ;;
    --rounds) ROUNDS=$2; shift 2 ;;
    --peers) PEERS=$2; shift 2 ;;
    --wine) WINE_ON=1; shift ;;
    --wine-client) WINE_CLIENT=$2; WINE_ON=1; shift 2 ;;
    --wine-sha256) WINE_SHA256=1; WINE_ON=1; shift ;;
    --wine-sizes) WINE_SIZES=$2; wine_sizes_set=1; shift 2 ;;
    --wine-throttled) WINE_THROTTLED=$2; wine_throttled_set=1; shift 2 ;;
    --port) PORT=$2; shift 2 ;;
    --timeout) RUN_TIMEOUT=$2; shift 2 ;;
    --raw) RAW=$2; shift 2 ;;
    --no-install) INSTALL=0; shift ;;
    -h|--help) usage; exit 0 ;;
    *=*) CLIENTS+=("$1"); shift ;;
    *) echo "unknown argument: $1 (see --help)" >&2; exit 2 ;;
  esac
done
[ -n "$wine_sizes_set" ] || WINE_SIZES=$SIZES
[ -n "$wine_throttled_set" ] || WINE_THROTTLED=$THROTTLED
[ ${#CLIENTS[@]} -gt 0 ] || CLIENTS=("vornupdate=$root/build/linux/vornupdate")
[ "$WINE_ON" = 1 ] && [ -z "$WINE_CLIENT" ] && WINE_CLIENT=$root/build/win32/vornupdate.exe
case "$ROUNDS" in ''|*[!0-9]*|0) echo "rounds must be a positive number" >&2; exit 2 ;; esac

WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}

# The Win32 build shows its completion notice as a modal box, which needs
# a display: under wine the whole run gets one virtual display.
if [ "$WINE_ON" = 1 ] && [ -z "${DISPLAY:-}" ] && [ -z "${VORN_BENCH_XVFB:-}" ]; then
  if command -v xvfb-run >/dev/null 2>&1; then
    export VORN_BENCH_XVFB=1 SIZES THROTTLED HTTPS_SIZES ROUNDS PEERS WINE_CLIENT WINE_SHA256 WINE_SIZES WINE_THROTTLED \
      BENCH_PORT=$PORT RUN_TIMEOUT RAW
    args=()
    [ "$INSTALL" = 0 ] && args+=(--no-install)
    exec xvfb-run -a bash "$0" "${args[@]}" "${CLIENTS[@]}"
  fi
  echo "no DISPLAY and no xvfb-run: the wine runs are skipped" >&2
  WINE_ON=0
fi

# ---- tools ---------------------------------------------------------------



[ -x /usr/bin/time ] || apt_install time
[ -x /usr/bin/time ] || { say "GNU time (/usr/bin/time) is missing"; exit 1; }
command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || apt_install nginx-light
NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
[ -x "$NGINX" ] || { say "nginx is missing"; exit 1; }

peer_package() { case "$1" in curl) echo curl ;; axel) echo axel ;; aria2c) echo aria2 ;; esac; }
TOOLS=()  # "kind:label:path" in run order
add_clients "${CLIENTS[@]}"
for peer in $PEERS; do
  pkg=$(peer_package "$peer")
  if [ -z "$pkg" ]; then say "skipping $peer: not a known peer (curl, axel, aria2c)"; continue; fi
  command -v "$peer" >/dev/null 2>&1 || apt_install "$pkg"
  if ! command -v "$peer" >/dev/null 2>&1; then say "skipping $peer: not installed"; continue; fi
  TOOLS+=("peer:$peer:$(command -v "$peer")")
done
if [ "$WINE_ON" = 1 ]; then
  if [ ! -f "$WINE_CLIENT" ]; then
    say "skipping wine: $WINE_CLIENT is missing"; WINE_ON=0
  elif [ ! -x "$WINE" ]; then
    say "skipping wine: $WINE is missing"; WINE_ON=0
  else
    WINE_CLIENT=$(cd "$(dirname "$WINE_CLIENT")" && pwd)/$(basename "$WINE_CLIENT")
    TOOLS+=("wine:wine $(basename "$WINE_CLIENT"):$WINE_CLIENT")
    [ "$WINE_SHA256" = 1 ] && TOOLS+=("wine:wine $(basename "$WINE_CLIENT")+sha256:$WINE_CLIENT")
  fi
fi
[ ${#TOOLS[@]} -gt 0 ] || { say "nothing to measure"; exit 1; }

# ---- work directory, nginx, wine -------------------------------------------

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-throughput.XXXXXX") || exit 1
www=$work/www
mkdir -p "$www" "$work/dl" "$work/nginx-temp" "$work/tls"
TLS_PORT=$((PORT + 1))
CA=$work/tls/ca.pem
results=$work/results.tsv
: >"$results"
NGINX_PID=
WINE_SERVER_UP=0

cleanup() {
  if [ -n "$NGINX_PID" ]; then
    kill "$NGINX_PID" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$NGINX_PID" 2>/dev/null
    wait "$NGINX_PID" 2>/dev/null
  fi
  # The private prefix's server and whatever still runs in it; then the
  # virtual display can go.
  [ "$WINE_SERVER_UP" = 1 ] && WINEPREFIX=$WINEPREFIX timeout 20 "$WINESERVER" -k >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A CA of this run and a certificate from it for 127.0.0.1 (no key kept
# after the run: they go with $work).
make_tls "$work/tls" || { say "cannot make the https certificates"; exit 1; }

nginx_conf "$work" "$www" "$PORT" "    location /slow/ {
      alias $www/;
      limit_rate 4m;
    }" "$(nginx_tls_server "$TLS_PORT" "$work/tls" "$www")"
"$NGINX" -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log" </dev/null >"$work/nginx.out" 2>&1 &
NGINX_PID=$!
echo ok >"$www/ping.txt"
up=0
for _ in $(seq 1 100); do
  if curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$PORT/ping.txt" 2>/dev/null ||
     (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; then up=1; break; fi
  kill -0 "$NGINX_PID" 2>/dev/null || break
  sleep 0.1
done
if [ "$up" = 1 ]; then
  up=0
  for _ in $(seq 1 50); do
    curl -s -o /dev/null --max-time 1 --cacert "$CA" "https://127.0.0.1:$TLS_PORT/ping.txt" && { up=1; break; }
    sleep 0.1
  done
fi
if [ "$up" != 1 ]; then
  say "nginx did not come up on 127.0.0.1:$PORT and $TLS_PORT:"; cat "$work/nginx-error.log" "$work/nginx.out" >&2 2>/dev/null
  exit 1
fi

if [ "$WINE_ON" = 1 ]; then
  export WINEPREFIX=${BENCH_WINEPREFIX:-${TMPDIR:-/tmp}/vorn-bench-wine-$(id -u)}
  export WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d'
  say "wine prefix $WINEPREFIX (made on first use)"
  # Made by the project's runner, which knows how; it runs nothing here.
  VORN_WINE_NO_XVFB=1 timeout 180 bash "$root/scripts/wine-run.sh"
  # One server for all the runs (it keeps the prefix's desktop and
  # services), ended at exit and by itself 10 minutes after the last program.
  timeout 20 "$WINESERVER" -p600 >/dev/null 2>&1
  WINE_SERVER_UP=1
  DISMISS=${WINE_DISMISS:-$(dirname "$WINE_CLIENT")/tests/dismiss_box.exe}
  # Unmeasured: the first program of a fresh server brings up wine's own
  # services (about 3 s), which no run should be charged with.
  if [ -f "$DISMISS" ]; then
    timeout 60 "$WINE" "$DISMISS" none "$(wine_path "$work")" 1 >/dev/null 2>&1
  else
    say "no $DISMISS: each wine run is ended 1 s after its success line, with the notice box open"
    DISMISS=
    timeout 60 "$WINE" cmd /c exit >/dev/null 2>&1
  fi
fi

# The run helper: starts a command under GNU time in its own session,
# measures its wall time (or, with --log, the time until the marker bytes
# appear in that file), ends it at the time limit, and prints
#   wall user sys rss_kib exit_status state
# state: ok; ended (killed after its success line, --grace passed);
# failed (ended non-zero or without the marker); nolog (no log appeared);
# timeout.
cat >"$work/run.py" <<'EOF'
import os, signal, subprocess, sys, time

argv = sys.argv[1:]
split = argv.index("--")
opts, cmd = argv[:split], argv[split + 1:]
o = dict(zip(opts[::2], opts[1::2]))
limit = float(o["--timeout"])
grace = float(o.get("--grace", "30"))
log = o.get("--log")
marker = bytes.fromhex(o["--marker"]) if "--marker" in o else None
timefile = o["--timefile"]
diskdir = o.get("--disk")
diskfile = o.get("--diskfile")

import threading
peak_disk = [0]
sampling = [True]
def sample_disk():
    while sampling[0]:
        used = 0
        for top, _, names in os.walk(diskdir or "/nonexistent"):
            for name in names:
                try:
                    used += os.lstat(os.path.join(top, name)).st_blocks * 512
                except OSError:
                    pass
        peak_disk[0] = max(peak_disk[0], used)
        time.sleep(0.005)
sampler = threading.Thread(target=sample_disk, daemon=True)
if diskdir:
    sampler.start()

def children(pid):
    kids = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                if int(fields[1]) == pid:
                    kids.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return kids

def end(p):
    # The measured process first, so that GNU time still reports it.
    for kid in children(p.pid):
        try:
            os.kill(kid, signal.SIGKILL)
        except OSError:
            pass
    try:
        p.wait(5)
    except subprocess.TimeoutExpired:
        pass
    # Then whatever is left of its session (helpers it started).
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except OSError:
        pass
    p.wait()

err = open(o.get("--stderr", os.devnull), "wb")
t0 = time.monotonic()
p = subprocess.Popen(["/usr/bin/time", "-f", "%e %U %S %M", "-o", timefile] + cmd,
                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                     start_new_session=True)
def on_signal(signum, frame):
    end(p)
    sys.exit(130)
signal.signal(signal.SIGTERM, on_signal)
signal.signal(signal.SIGINT, on_signal)

deadline = t0 + limit
state = None
wall = None
if log:
    seen_size = -1
    poll = float(o.get("--poll", "0.003"))
    while True:
        done = p.poll() is not None
        try:
            size = os.stat(log).st_size
        except OSError:
            size = -1
        if size != seen_size and size >= 0:
            seen_size = size
            try:
                with open(log, "rb") as f:
                    if marker in f.read():
                        wall = time.monotonic() - t0
                        break
            except OSError:
                pass
        if done:
            state = "failed" if seen_size >= 0 else "nolog"
            wall = time.monotonic() - t0
            break
        if time.monotonic() > deadline:
            state = "timeout"
            break
        time.sleep(poll)
    if state is None:
        try:
            p.wait(max(0.0, min(grace, deadline - time.monotonic())))
            state = "ok"
        except subprocess.TimeoutExpired:
            end(p)
            state = "ended"
else:
    try:
        p.wait(limit)
        wall = time.monotonic() - t0
    except subprocess.TimeoutExpired:
        state = "timeout"
if state == "timeout":
    end(p)
    wall = time.monotonic() - t0
rc = p.wait()
sampling[0] = False
if diskdir:
    sampler.join()
if diskfile:
    with open(diskfile, "w") as f:
        f.write("%d\n" % (peak_disk[0] // 1024))
if state is None:
    state = "ok" if rc == 0 else "failed"
user = sys_ = rss = "nan"
try:
    with open(timefile) as f:
        last = [line.split() for line in f if line.strip()][-1]
    _, user, sys_, rss = last[:4]
except (OSError, IndexError, ValueError):
    pass
print("%.4f %s %s %s %d %s" % (wall, user, sys_, rss, rc, state))
EOF

# ---- runs ------------------------------------------------------------------

WRONG=0
PKG=bench.bin


# version_file LABEL SIZE URL: the version file of a client's run; a label
# that ends in +sha256 gets the package's SHA256 and SIZE announced.
version_file() {
  if [[ $1 == *+sha256 ]]; then
    printf 'SHA256=%s\r\nSIZE=%s\r\nVER=2.0\r\nURL=%s\r\n' "$served_sha" \
      $(($2 * 1048576)) "$3" >"$www/ver.txt"
  else
    printf 'VER=2.0\r\nURL=%s\r\n' "$3" >"$www/ver.txt"
  fi
}

# run_one KIND LABEL PATH SECTION SIZE THROTTLED ROUND URLPATH SCHEME
run_one() {
  local kind=$1 label=$2 path=$3 section=$4 mib=$5 slow=$6 round=$7 urlpath=$8 scheme=$9
  local dl="$work/dl/run-$RANDOM$RANDOM" out limit line attempt tries=1 box_pid="" box_dir=""
  local url="http://127.0.0.1:$PORT$urlpath"
  # OpenSSL's default locations, for the client and axel: the test CA
  # alone (the machine's own values do not count).
  local trust=(env -u DISPLAY "SSL_CERT_FILE=$CA" "SSL_CERT_DIR=$work/tls")
  [ "$scheme" = https ] && url="https://127.0.0.1:$TLS_PORT$urlpath"
  if [ -n "$RUN_TIMEOUT" ]; then limit=$RUN_TIMEOUT
  elif [ "$slow" = 1 ]; then limit=$((60 + mib))
  else limit=$((60 + mib / 5)); fi
  [ "$kind" = wine ] && [ -z "$RUN_TIMEOUT" ] && limit=$((limit * 2))
  local run=(python3 "$work/run.py" --timeout "$limit" --timefile "$work/time.out" --stderr "$work/stderr.out"
             --disk "$dl" --diskfile "$work/disk.out")
  local cmd=()
  case "$kind:$label" in
    client:*)
      out=$dl/$PKG
      version_file "$label" "$mib" "$url"
      run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX" --grace 30)
      # No display: the notice goes to standard error, not to a zenity box.
      cmd=("${trust[@]}" "$path" ";http://127.0.0.1:$PORT/ver.txt;1.0;$dl;$PKG;;Bench")
      tries=3 ;;
    wine:*)
      out=$dl/$PKG
      version_file "$label" "$mib" "$url"
      if [ -n "$DISMISS" ]; then run+=(--grace 30); else run+=(--grace 1); fi
      run+=(--log "$dl/updatelog.txt" --marker "$SUCCESS_HEX")
      cmd=("$WINE" "$path" ";http://127.0.0.1:$PORT/ver.txt;1.0;$(wine_path "$dl");$PKG;;Bench")
      tries=3 ;;
    peer:curl)
      mkdir -p "$dl"; out=$dl/$PKG
      cmd=("$path" -s -o "$out" "$url")
      [ "$scheme" = https ] && cmd+=(--cacert "$CA") ;;
    peer:axel)
      mkdir -p "$dl"; out=$dl/$PKG
      cmd=("${trust[@]}" "$path" -n 4 -q -o "$out" "$url") ;;
    peer:aria2c)
      mkdir -p "$dl"; out=$dl/$PKG
      # -k1M: its default smallest piece (20 MiB) would give a 32 MiB file
      # two connections, not four.
      cmd=("$path" -x4 -s4 -k1M -q --allow-overwrite=true --file-allocation=none
           -d "$dl" -o "$PKG" "$url")
      [ "$scheme" = https ] && cmd+=("--ca-certificate=$CA") ;;
  esac
  for attempt in $(seq 1 $tries); do
    rm -rf "$dl"; [ "$kind" = peer ] && mkdir -p "$dl"
    # The same page cache for every run (not timed): nothing left to write
    # back, caches dropped where allowed, the served file read once.
    same_page_cache "$www/$PKG"
    if [ "$kind" = wine ] && [ -n "$DISMISS" ]; then
      box_dir="$work/boxes-$RANDOM"; mkdir -p "$box_dir"
      local caption; caption=$(basename "$path"); caption=${caption%.*}
      "$WINE" "$DISMISS" "$caption" "$(wine_path "$box_dir")" "$limit" 1 >/dev/null 2>&1 &
      box_pid=$!
    fi
    line=$("${run[@]}" -- "${cmd[@]}")
    if [ -n "$box_pid" ]; then
      : >"$box_dir/stop"
      for _ in $(seq 1 100); do kill -0 "$box_pid" 2>/dev/null || break; sleep 0.05; done
      kill -9 "$box_pid" 2>/dev/null; wait "$box_pid" 2>/dev/null; box_pid=
      rm -rf "$box_dir"
    fi
    # A client that left no log at all met another instance's guard.
    case "$line" in *" nolog") [ "$attempt" -lt "$tries" ] && { sleep 1; continue; } ;; esac
    break
  done
  local check=missing
  if [ -f "$out" ]; then
    if cmp -s "$out" "$www/$PKG"; then check=exact; else check=DIFFERS; fi
  fi
  local state=${line##* }
  if [ "$check" = DIFFERS ] || { [ "$check" = missing ] && { [ "$state" = ok ] || [ "$state" = ended ]; }; }; then
    WRONG=$((WRONG + 1))
    say "!!!!!! WRONG DOWNLOAD: $label, $section, round $round: the file is $check ($(stat -c %s "$out" 2>/dev/null || echo no) bytes of $((mib * 1048576))) !!!!!!"
  fi
  if [ "$state" != ok ] && [ "$state" != ended ]; then
    say "  $label: run $state (exit status $(echo "$line" | cut -d' ' -f5)); its stderr:"
    tail -n 3 "$work/stderr.out" >&2 2>/dev/null
  fi
  rm -rf "$dl"
  local disk; disk=$(cat "$work/disk.out" 2>/dev/null || echo nan)
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$section" "$mib" "$slow" "$kind" "$label" "$round" \
    "$(printf '%s' "$line" | tr ' ' '\t')" "$check" "$disk" >>"$results"
  local w u s r
  read -r w u s r _ <<<"$line"
  say "$(printf '  %-22s round %d: %7.3f s wall, %6s s CPU, %7s KiB RSS, %7s KiB peak disk, %s, %s' "$label" "$round" "$w" \
    "$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.2f", u + s }')" "$r" "$disk" "$state" "$check")"
}

in_list() { local x; for x in $2; do [ "$x" = "$1" ] && return 0; done; return 1; }

wanted="$SIZES $THROTTLED $HTTPS_SIZES"
[ "$WINE_ON" = 1 ] && wanted="$wanted $WINE_SIZES $WINE_THROTTLED"
# shellcheck disable=SC2086  # the lists are blank-separated numbers
all_sizes=$(printf '%s\n' $wanted | grep -E '^[0-9]+$' | sort -n | uniq)
say "tools: $(printf '%s\n' "${TOOLS[@]}" | cut -d: -f2 | paste -sd, | sed 's/,/, /g'); rounds: $ROUNDS; port $PORT; files in $work"
for mib in $all_sizes; do
  need=$((mib * 2 + 200))
  avail=$(df -Pm "$work" | awk 'NR == 2 { print $4 }')
  if [ "$avail" -lt "$need" ]; then
    say "skipping $mib MiB: $avail MiB free in $work, $need needed"; continue
  fi
  make_file "$mib" "$www/$PKG"
  served_sha=$(sha256sum <"$www/$PKG" | cut -d' ' -f1)
  for variant in plain slow https; do
    slow=0 scheme=http
    case "$variant" in
      plain) sizes=$SIZES wsizes=$WINE_SIZES urlpath=/$PKG section="$mib MiB" ;;
      slow) slow=1 sizes=$THROTTLED wsizes=$WINE_THROTTLED urlpath=/slow/$PKG section="$mib MiB throttled" ;;
      # The Win32 build is not run over https: its prefix would have to
      # trust the CA first.
      https) scheme=https sizes=$HTTPS_SIZES wsizes="" urlpath=/$PKG section="$mib MiB https" ;;
    esac
    in_list "$mib" "$sizes" || { [ "$WINE_ON" = 1 ] && in_list "$mib" "$wsizes"; } || continue
    tools=()
    for t in "${TOOLS[@]}"; do
      case "$t" in
        wine:*) in_list "$mib" "$wsizes" && tools+=("$t") ;;
        *) in_list "$mib" "$sizes" && tools+=("$t") ;;
      esac
    done
    n=${#tools[@]}
    say "== $section: ${n} tools x $ROUNDS rounds"
    for round in $(seq 1 "$ROUNDS"); do
      for i in $(seq 0 $((n - 1))); do
        t=${tools[$(( (i + round - 1) % n ))]}
        kind=${t%%:*} rest=${t#*:}
        run_one "$kind" "${rest%%:*}" "${rest#*:}" "$section" "$mib" "$slow" "$round" "$urlpath" "$scheme"
      done
    done
  done
  rm -f "$www/$PKG"
done

[ -n "$RAW" ] && { printf 'section\tmib\tthrottled\tkind\ttool\tround\twall_s\tuser_s\tsys_s\trss_kib\trc\tstate\tfile\tdisk_kib\n'; cat "$results"; } >"$RAW"

# ---- report ----------------------------------------------------------------

python3 - "$results" "$ROUNDS" <<'EOF'
import statistics, sys

rows = [line.rstrip("\n").split("\t") for line in open(sys.argv[1]) if line.strip()]
rounds = sys.argv[2]
sections = []
for r in rows:
    if r[0] not in sections:
        sections.append(r[0])

def med(xs):
    xs = [x for x in xs if x == x]
    return statistics.median(xs) if xs else float("nan")

def fmt(x, layout):
    return format(x, layout) if x == x else format("-", ">" + layout.split(".")[0])

print()
print("Medians over the good runs (file byte-exact, run ended normally); "
      "wall for the client = start to its success line; slowest = the slowest "
      "good run's wall; disk = the highest peak disk use of any good run.")
for section in sections:
    sec = [r for r in rows if r[0] == section]
    mib, slow = float(sec[0][1]), sec[0][2] == "1"
    stats = {}
    order = []
    for r in sec:
        key = (r[3], r[4])
        if key not in stats:
            stats[key] = []
            order.append(key)
        stats[key].append(r)
    table = {}
    for key in order:
        good = [r for r in stats[key] if r[11] in ("ok", "ended") and r[12] == "exact"]
        wall = med([float(r[6]) for r in good])
        cpu = med([float(r[7]) + float(r[8]) for r in good])
        rss = med([float(r[9]) / 1024 for r in good])
        slowest = max([float(r[6]) for r in good], default=float("nan"))
        disk = max([float(r[13]) / 1024 for r in good], default=float("nan"))
        table[key] = (len(good), len(stats[key]), wall, cpu, rss, slowest, disk)
    base = table.get(("peer", "curl"))
    head = "%-22s %5s %8s %8s %7s %8s %8s %9s  %9s %8s %8s %9s" % (
        "tool", "runs", "wall s", "MiB/s", "CPU s", "RSS MiB", "slowest", "disk MiB",
        "wall/curl", "CPU/curl", "RSS/curl", "slow/curl")
    if slow:
        head += "  speed-up"
    title = section + (" (4 MiB/s per connection)" if slow else "") + ", %s round(s)" % rounds
    native = [k for k in order if k[0] != "wine"]
    wine = [k for k in order if k[0] == "wine"]
    if native:
        print()
        print("== " + title)
        print(head)
        for key in native:
            good, total, wall, cpu, rss, slowest, disk = table[key]
            line = "%-22s %5s %8s %8s %7s %8s %8s %9s" % (
                key[1], "%d/%d" % (good, total), fmt(wall, "8.3f"), fmt(mib / wall if wall else float("nan"), "8.1f"),
                fmt(cpu, "7.2f"), fmt(rss, "8.1f"), fmt(slowest, "8.3f"), fmt(disk, "9.1f"))
            if base and base[0] and good:
                ratio = lambda a, b: a / b if b else float("nan")
                line += "  %9s %8s %8s %9s" % (fmt(ratio(wall, base[2]), "9.2f"),
                                               fmt(ratio(cpu, base[3]), "8.2f"), fmt(ratio(rss, base[4]), "8.2f"),
                                               fmt(ratio(slowest, base[5]), "9.2f"))
                if slow:
                    line += "  %7sx" % fmt(ratio(base[2], wall), "7.2f")
            print(line)
        if not base:
            print("(no curl figures: no ratios)")
    if wine:
        print()
        print("== " + title + ", under wine (not Windows: figures to note, not to judge)")
        print("%-22s %5s %8s %8s %7s %8s %8s %9s" % ("tool", "runs", "wall s", "MiB/s", "CPU s", "RSS MiB",
                                                     "slowest", "disk MiB"))
        for key in wine:
            good, total, wall, cpu, rss, slowest, disk = table[key]
            print("%-22s %5s %8s %8s %7s %8s %8s %9s" % (
                key[1], "%d/%d" % (good, total), fmt(wall, "8.3f"), fmt(mib / wall if wall else float("nan"), "8.1f"),
                fmt(cpu, "7.2f"), fmt(rss, "8.1f"), fmt(slowest, "8.3f"), fmt(disk, "9.1f")))
EOF

finish_wrong
