#!/usr/bin/env bash
# Download throughput and memory of the real binary on loopback: a package
# of SIZE_MB (default 64) over four ranges from nginx and over one
# connection from Python's http.server; prints seconds, MB/s and the peak
# resident memory of each run. A benchmark, not a test: nothing fails on a
# number.
#
#   bench/download_bench.sh [build dir] [size in MiB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/linux}
size_mb=${2:-64}
base=18700
servers=$(mktemp -d /tmp/vorn-bench.XXXXXX)
trap '"$root/scripts/test-servers.sh" stop "$servers" $base; rm -rf "$servers"' EXIT
"$root/scripts/test-servers.sh" start "$servers" $base >/dev/null
head -c $((size_mb * 1024 * 1024)) /dev/urandom >"$servers/www/bench.bin"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/bench.bin\r\n' $base >"$servers/www/bench-nginx.txt"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/bench.bin\r\n' $((base + 1)) >"$servers/www/bench-python.txt"

for server in nginx python; do
  dl="$servers/dl-$server"
  start=$(date +%s%N)
  /usr/bin/time -f '%M' -o "$servers/rss" "$build/vornupdate" \
    ";http://127.0.0.1:$base/bench-$server.txt;1.0;$dl;bench.bin;;Bench" 2>/dev/null
  ms=$(( ($(date +%s%N) - start) / 1000000 - 4000 ))  # less the 4 s pause after the notice
  cmp -s "$dl/bench.bin" "$servers/www/bench.bin" && ok=byte-exact || ok=DIFFERS
  awk -v s="$server" -v mb="$size_mb" -v ms="$ms" -v rss="$(cat "$servers/rss")" -v ok="$ok" \
    'BEGIN { printf "%-6s %d MiB in %.2f s = %.1f MiB/s, peak RSS %.1f MiB, %s\n", s, mb, ms / 1000, mb / (ms / 1000), rss / 1024, ok }'
done
