# Shared helpers of the end-to-end tests, which run the real vornupdate
# binary against the local test servers (scripts/test-servers.sh).
#
# Each test script is called as: script <vornupdate binary> <build dir>
# with VORN_TEST_PORT_BASE set, and VORN_WIN32=1 when the binary is the
# Windows build, which then runs under wine.
set -u

VORN_BIN=$1
BUILD_DIR=$2
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BASE=${VORN_TEST_PORT_BASE:?VORN_TEST_PORT_BASE must be set}
NGINX_PORT=$BASE
PYTHON_PORT=$((BASE + 1))
FAULT_PORT=$((BASE + 2))
WIN32=${VORN_WIN32:-0}
[ "$WIN32" = "ON" ] || [ "$WIN32" = "1" ] && WIN32=1 || WIN32=0
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vorn-e2e.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
FAILURES=0

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

pass() { echo "ok: $*"; }

# The path the binary sees for a directory of ours: unchanged on Linux,
# Z:\... under wine.
native_path() {
  if [ "$WIN32" = 1 ]; then
    printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
  else
    printf '%s' "$1"
  fi
}

# The path separator the binary builds its names with.
sep() { if [ "$WIN32" = 1 ]; then printf '\\'; else printf '/'; fi; }

# run_updater FIELDS... : the six fields after the program path, joined by
# ';' into the one argument the host passes. Waits for the process.
run_updater() {
  local IFS=';'
  local line=";$*"
  if [ "$WIN32" = 1 ]; then
    "$ROOT/scripts/wine-run.sh" "$VORN_BIN" "$line"
  else
    "$VORN_BIN" "$line"
  fi
}

# Starts the updater in the background; its pid in UPDATER_PID.
start_updater() {
  local IFS=';'
  local line=";$*"
  if [ "$WIN32" = 1 ]; then
    "$ROOT/scripts/wine-run.sh" "$VORN_BIN" "$line" &
  else
    "$VORN_BIN" "$line" &
  fi
  UPDATER_PID=$!
}

# The log of a download directory as UTF-8 text, prefixes included.
log_utf8() { iconv -f GBK -t UTF-8 "$1/updatelog.txt" 2>/dev/null; }

# The messages of the log, one per line, without the 13-byte prefixes.
log_messages() { log_utf8 "$1" | tr -d '\r' | cut -c14-; }

# The bytes the servers serve as pkg-N.bin.
expected_package() {
  python3 -c "
import sys
n = int(sys.argv[1])
sys.stdout.buffer.write(bytes(((i * 131 + i // 251) & 0xFF) for i in range(n)))
" "$1"
}

same_bytes() { cmp -s "$1" "$2"; }

# Waits up to $2 seconds for file $1 to contain text $3 (GBK-decoded).
wait_for_log() {
  local dir=$1 seconds=$2 text=$3 i
  for i in $(seq 1 $((seconds * 20))); do
    log_utf8 "$dir" | grep -qF "$text" && return 0
    sleep 0.05
  done
  return 1
}

finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed" >&2
    exit 1
  fi
  exit 0
}
