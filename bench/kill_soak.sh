#!/usr/bin/env bash
# Kill-and-resume soak of the real binary (Linux build): DOWNLOADS times, a
# package of 3 MiB of random bytes comes from nginx's throttled /slow/
# location (200 KiB/s per connection); each download's runs are SIGKILLed
# at random moments 1 to 4 times, restarted after each kill, and then one
# run completes. Reports how many packages ended byte-exact and how many
# bytes nginx served beyond the package size (what was fetched twice, the
# probes' bytes included). A soak, not a test: it fails only when a package
# is wrong.
#
#   bench/kill_soak.sh [build dir] [downloads]
#
# SOAK_SEED=N seeds the random choices; SOAK_VERBOSE=1 also prints the
# bytes nginx served for each request of a download, in order;
# SOAK_PORT_BASE (default 19804) is the first of the four ports of its
# servers.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
downloads=${2:-5}
base=${SOAK_PORT_BASE:-19804}
RANDOM=${SOAK_SEED:-$$}
size=$((3 * 1024 * 1024))
rate=$((4 * 200 * 1024))  # four connections at nginx's limit_rate
run_limit=120             # seconds before a run that hangs is ended
servers=$(mktemp -d /tmp/vorn-soak.XXXXXX)
trap '"$root/scripts/test-servers.sh" stop "$servers" "$base"; rm -rf "$servers"' EXIT
"$root/scripts/test-servers.sh" start "$servers" "$base" >/dev/null || exit 1
access=$servers/nginx-access.log

alive() { kill -0 "$1" 2>/dev/null && [ "$(ps -o stat= -p "$1" 2>/dev/null | cut -c1)" != Z ]; }
fetches() { grep -c "GET /soak-$1.txt " "$access"; }
have() {  # bytes the plan in download dir $1 counts as on disk
  set -- "$1/pkg.bin.plan"
  python3 "$root/scripts/plan-bytes.py" "$1"
}

# start K DIR: starts the updater for download K; pid in PID. A start that
# did not fetch the version file met another updater's single-instance
# guard (another test on this machine) and is repeated, for up to 30 s.
start() {
  local before
  for _ in $(seq 1 60); do
    before=$(fetches "$1")
    "$build/vornupdate" ";http://127.0.0.1:$base/soak-$1.txt;1.0;$2;pkg.bin;;Soak" 2>>"$2.err" &
    PID=$!
    for _ in $(seq 1 40); do
      [ "$(fetches "$1")" != "$before" ] && return 0
      alive "$PID" || break
      sleep 0.05
    done
    wait "$PID" 2>/dev/null
    [ "$(fetches "$1")" != "$before" ] && return 0
    sleep 0.5
  done
  echo "download $1: the updater never started" >&2
  return 1
}

exact=0 total_kills=0 total_extra=0 t_start=$(date +%s)
for k in $(seq 1 "$downloads"); do
  head -c "$size" /dev/urandom >"$servers/www/soak-$k.bin"
  printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/slow/soak-%d.bin\r\n' "$base" "$k" >"$servers/www/soak-$k.txt"
  dl=$servers/dl-$k
  mark=$(wc -l <"$access")
  planned=$((1 + RANDOM % 4)) kills=0 runs=0 done=0
  while [ $done = 0 ] && [ $runs -lt 12 ]; do
    runs=$((runs + 1))
    logged=$(stat -c %s "$dl/updatelog.txt" 2>/dev/null || echo 0)
    start "$k" "$dl" || break
    if [ $kills -lt $planned ]; then
      # A moment within what is left to fetch at the throttled rate, from
      # the very start (probe, plan) to just before the end (finishing the
      # package).
      left=$((size - $(have "$dl")))
      ms=$((50 + (RANDOM * 32768 + RANDOM) % (left * 1000 / rate + 1)))
      sleep "$(printf '%d.%03d' $((ms / 1000)) $((ms % 1000)))"
      if alive "$PID"; then
        kill -9 "$PID"
        wait "$PID" 2>/dev/null
        kills=$((kills + 1))
        printf '  download %d: killed after %d ms with %d of %d bytes\n' "$k" "$ms" "$(have "$dl")" "$size"
        continue
      fi
    fi
    for _ in $(seq 1 $((run_limit * 10))); do alive "$PID" || break; sleep 0.1; done
    alive "$PID" && { echo "  download $k: a run hung; killed" >&2; kill -9 "$PID"; }
    wait "$PID" 2>/dev/null
    tail -c +$((logged + 1)) "$dl/updatelog.txt" 2>/dev/null | iconv -f GBK -t UTF-8 | grep -q "下载成功" && done=1
  done
  sleep 1  # nginx logs a connection when it closes
  served=$(tail -n +"$((mark + 1))" "$access" | awk -v p="/slow/soak-$k.bin" '$7 == p { s += $10 } END { print s + 0 }')
  extra=$((served - size))
  total_kills=$((total_kills + kills)) total_extra=$((total_extra + extra))
  if cmp -s "$dl/pkg.bin" "$servers/www/soak-$k.bin"; then
    exact=$((exact + 1)) verdict=byte-exact
  else
    verdict="WRONG ($(stat -c %s "$dl/pkg.bin" 2>/dev/null || echo no) bytes; log: $(iconv -f GBK -t UTF-8 "$dl/updatelog.txt" 2>/dev/null | tr -d '\r' | cut -c14- | tr '\n' '|'))"
  fi
  [ -n "${SOAK_VERBOSE:-}" ] && echo "  served: $(tail -n +"$((mark + 1))" "$access" | awk -v p="/slow/soak-$k.bin" '$7 == p { printf "%s ", $10 }')"
  printf 'download %d: %d kills, %d runs, %s, %d bytes served beyond the package\n' "$k" "$kills" "$runs" "$verdict" "$extra"
  rm -f "$servers/www/soak-$k.bin"
done
printf '%d of %d byte-exact; %d kills; %d bytes fetched twice in all (%d per download); %d s\n' \
  "$exact" "$downloads" "$total_kills" "$total_extra" $((total_extra / downloads)) $(($(date +%s) - t_start))
[ "$exact" = "$downloads" ]
