#!/usr/bin/env bash
# Where the client's time goes on one download from nginx on loopback:
# the system calls it makes (strace -c), the sizes of its socket and file
# reads and writes per thread, and, when perf can sample here, the CPU
# samples per thread and per kind of system call with the top symbols.
# A profile, not a test.
#
#   bench/profile.sh [--size MiB (256)] [--port N (19600, uses N..N+3)] [binary]
#
# The binary defaults to build/linux/vornupdate (build it RelWithDebInfo for
# symbols). Installs strace when missing and allowed. Everything lives in a
# temporary directory that is removed at the end.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
size=256 port=${BENCH_PORT:-19600} bin=$root/build/linux/vornupdate
while [ $# -gt 0 ]; do
  case "$1" in
    --size) size=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) bin=$1; shift ;;
  esac
done
[ -x "$bin" ] || { echo "no binary $bin" >&2; exit 1; }
if ! command -v strace >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install -y -q strace >/dev/null 2>&1
fi
command -v strace >/dev/null 2>&1 || { echo "strace is missing" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vorn-profile.XXXXXX") || exit 1
trap 'bash "$root/scripts/test-servers.sh" stop "$work/srv" "$port"; rm -rf "$work"' EXIT
bash "$root/scripts/test-servers.sh" start "$work/srv" "$port" >/dev/null || exit 1
www=$work/srv/www
head -c $((size * 1048576)) /dev/urandom >"$www/big.bin"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/big.bin\r\n' "$port" >"$www/ver-big.txt"
line=";http://127.0.0.1:$port/ver-big.txt;1.0;$work/dl;big.bin;;Profile"

run() {  # TOOL...: one download under TOOL, checked, then removed
  rm -rf "$work/dl"
  timeout 600 env -u DISPLAY "$@" "$bin" "$line" 2>/dev/null
  cmp -s "$work/dl/big.bin" "$www/big.bin" || echo "!!! the download under $1 is not byte-exact" >&2
}

echo "== $size MiB, $(basename "$bin"): system calls (strace -c -f; futex time is threads waiting)"
run strace -c -f -o "$work/strace-c.txt"
sed -n '1,12p' "$work/strace-c.txt"

echo
echo "== sizes of reads and writes, per thread (strace -ff)"
mkdir "$work/tr"
run strace -ff -e trace=read,write,recvfrom,recvmsg,pread64,pwrite64,readv,writev,copy_file_range,sendfile \
  -o "$work/tr/t"
python3 - "$work/tr" <<'EOF'
import collections, glob, os, re, sys
call = re.compile(r'(\w+)\((\d+), (?:".*?"(?:\.\.\.)?|\S+), (\d+)[,)].*= (-?\d+)')
files = sorted(glob.glob(os.path.join(sys.argv[1], "t.*")), key=lambda f: int(f.rsplit(".", 1)[1]))
for n, f in enumerate(files):
    sizes = collections.defaultdict(collections.Counter)
    total = collections.Counter()
    for line in open(f, errors="replace"):
        m = call.match(line)
        if m:
            sizes[m.group(1)][int(m.group(3))] += 1
            total[m.group(1)] += max(0, int(m.group(4)))
    print("thread %d%s" % (n, " (main)" if n == 0 else ""))
    for sc, c in sizes.items():
        calls = sum(c.values())
        print("  %-9s %8d calls, %11d bytes, %7.0f bytes/call; asked for: %s" % (
            sc, calls, total[sc], total[sc] / calls,
            ", ".join("%d x%d" % (size, k) for size, k in c.most_common(3))))
EOF

echo
if perf stat -e cpu-clock true >/dev/null 2>&1; then
  echo "== CPU samples (perf record -e cpu-clock -F 2000 -g)"
  run perf record -q -e cpu-clock -F 2000 -g -o "$work/perf.data"
  perf script -i "$work/perf.data" -F tid,ip,sym 2>/dev/null | python3 -c '
import collections, sys
kinds = (("ksys_write", "write"), ("recvfrom", "recv"), ("ksys_read", "read"),
         ("unlinkat", "unlink"), ("net_rx_action", "softirq (net)"), ("do_syscall_64", "syscall entry/exit"))
count = collections.Counter(); leaf = collections.Counter(); tid = None; syms = []
def flush():
    if tid is None or not syms: return
    chain = " ".join(syms)
    kind = next((name for key, name in kinds if key in chain), "user code / libc")
    count[(tid, kind)] += 1; leaf[syms[0]] += 1
for line in sys.stdin:
    if not line.strip(): flush(); tid = None; syms = []; continue
    parts = line.split()
    if tid is None: tid = int(parts[0]); continue
    syms.append(parts[-1])
flush()
total = sum(count.values()); main = min(t for t, _ in count)
by = collections.Counter()
for (t, k), n in count.items(): by[("main" if t == main else "other threads", k)] += n
for (t, k), n in by.most_common(): print("  %-14s %-20s %5.1f%%  %5.2f s" % (t, k, 100.0 * n / total, n / 2000.0))
print("  total %.2f s CPU (%d samples)" % (total / 2000.0, total))
print("  top leaf symbols:")
for s, n in leaf.most_common(8): print("    %5.1f%%  %s" % (100.0 * n / total, s))'
else
  echo "(perf cannot sample here: no CPU profile)"
fi
