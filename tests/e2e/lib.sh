# Shared helpers of the end-to-end tests, which run the real vornupdate
# binary against the local test servers (scripts/test-servers.sh).
#
# Each test script is called as: script <vornupdate binary> <build dir>
# with VORN_TEST_PORT_BASE set, and VORN_WIN32=1 when the binary is the
# Windows build, which then runs under wine.
#
# Under wine the whole script runs on one virtual display (one xvfb-run,
# started here), so that every Windows program of the test (the updater,
# a host dialog, the box dismisser) shares one desktop. The completion
# notice and the warnings are real modal boxes there; run_updater and
# start_updater dismiss them as a user would and print each box's text to
# standard error as "[caption] text", as the Linux build itself does.
set -u

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WIN32=${VORN_WIN32:-0}
[ "$WIN32" = "ON" ] || [ "$WIN32" = "1" ] && WIN32=1 || WIN32=0

if [ "$WIN32" = 1 ]; then
  # A wine prefix of the end-to-end tests of this port base alone: the
  # prefix's server holds the single-instance mutex and the desktop, which
  # another build's tests (another base) running at the same time must not
  # share; ctest runs this base's scripts one at a time. Made on first use
  # (about 12 s).
  export WINEPREFIX=${VORN_E2E_WINEPREFIX:-${TMPDIR:-/tmp}/vorn-wine-$(id -u)-e2e-${VORN_TEST_PORT_BASE:-0}}
fi

if [ "$WIN32" = 1 ] && [ "${1:-}" != "@bin" ]; then
  # Run again with the binary's path in the environment only: a script's
  # own command line then never names vornupdate.exe, so looking for the
  # Windows program by name (pgrep -f) finds the program alone.
  export VORN_E2E_BIN=$1 VORN_E2E_ROOT=$ROOT
  shift
  if [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
    # Before the display goes, the wine server must wind down (its desktop
    # process holds the display).
    exec xvfb-run -a bash -c '
      bash "$0" @bin "$@"; rc=$?
      "$VORN_E2E_ROOT/scripts/wine-run.sh" --wind-down
      exit $rc' "$0" "$@"
  fi
  exec bash "$0" @bin "$@"
fi

if [ "${1:-}" = "@bin" ]; then VORN_BIN=$VORN_E2E_BIN; else VORN_BIN=$1; fi
# The script's wine prefix is made (copied) before anything of the script
# looks into it or writes its registry.
if [ "$WIN32" = 1 ]; then
  "$ROOT/scripts/wine-run.sh" || { echo "no wine prefix at $WINEPREFIX" >&2; exit 1; }
fi
BUILD_DIR=$2
BASE=${VORN_TEST_PORT_BASE:?VORN_TEST_PORT_BASE must be set}
NGINX_PORT=$BASE
PYTHON_PORT=$((BASE + 1))
FAULT_PORT=$((BASE + 2))
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vorn-e2e.XXXXXX")
# The single-instance guard is per user, in the runtime directory: a
# script's own directory keeps clients of other test runs on this machine
# (another build, another checkout) from taking each other's guard.
export XDG_RUNTIME_DIR=$WORK/run
mkdir -m 0700 "$XDG_RUNTIME_DIR"
FAILURES=0
# Commands run when the script ends (at_exit CMD), before $WORK goes.
AT_EXIT=()
trap '_lib_exit' EXIT

# The Windows build's helper programs (tests/host) and the caption of the
# updater's boxes: the executable's name without extension.
HOST_TOOLS=${VORN_HOST_TOOLS:-$BUILD_DIR/tests}
BOX_CAPTION=$(basename "$VORN_BIN")
BOX_CAPTION=${BOX_CAPTION%.*}
BOX_RUNS=0
# The directory where the box dismisser of the latest run_updater or
# start_updater records the boxes (box-N.ansi, box-N.utf8, boxes.txt).
LAST_BOX_DIR=

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}

pass() { echo "ok: $*"; }

at_exit() { AT_EXIT+=("$1"); }

_lib_exit() {
  local cmd d
  for cmd in "${AT_EXIT[@]}"; do eval "$cmd"; done
  # Box dismissers still running end when their directory goes.
  for d in "$WORK"/boxes-*; do [ -d "$d" ] && : >"$d/stop"; done
  sleep 0.2
  rm -rf "$WORK"
}

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

# Whether pid $1 is a live process (a zombie not yet reaped counts as gone).
process_alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  case "$state" in Z*|"") return 1 ;; esac
  return 0
}

# Starts the box dismisser for one updater run (Windows build only); its
# pid in BOX_PID (empty when there is none) and its directory in
# LAST_BOX_DIR.
_start_box_watch() {
  local IFS=$' \t\n'
  BOX_PID=
  BOX_RUNS=$((BOX_RUNS + 1))
  LAST_BOX_DIR="$WORK/boxes-$BOX_RUNS"
  mkdir -p "$LAST_BOX_DIR"
  if [ ! -f "$HOST_TOOLS/dismiss_box.exe" ]; then
    echo "warning: no $HOST_TOOLS/dismiss_box.exe: boxes are not dismissed" >&2
    return
  fi
  "$ROOT/scripts/wine-run.sh" "$HOST_TOOLS/dismiss_box.exe" "$BOX_CAPTION" \
    "$(native_path "$LAST_BOX_DIR")" 900 >/dev/null 2>&1 &
  BOX_PID=$!
}

# Ends the box dismisser $1 (recording into $2) once the updater has ended,
# and prints the boxes it met.
_end_box_watch() {
  local IFS=$' \t\n'
  local pid=$1 dir=$2 n
  if [ -n "$pid" ]; then
    : >"$dir/stop"
    for _ in $(seq 1 100); do process_alive "$pid" || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  for n in $(seq 1 100); do
    [ -f "$dir/box-$n.utf8" ] || break
    printf '[%s] %s\n' "$BOX_CAPTION" "$(cat "$dir/box-$n.utf8")" >&2
  done
}

# start_host TITLE RECORD_FILE: the host dialog (test_host.exe, Windows
# build only), up before the updater looks for it; its pid in HOST_PID.
# Fails when it is not ready within 60 s (a first start of wine can take
# half a minute).
start_host() {
  "$ROOT/scripts/wine-run.sh" "$HOST_TOOLS/test_host.exe" "$1" "$(native_path "$2")" 40 &
  HOST_PID=$!
  for _ in $(seq 1 1200); do [ -e "$2.ready" ] && return 0; sleep 0.05; done
  return 1
}

# end_host PID: waits up to 2 s for the host to end on its command, then
# ends it; returns the host's exit status (0 after the command).
end_host() {
  for _ in $(seq 1 40); do process_alive "$1" || break; sleep 0.05; done
  kill -9 "$1" 2>/dev/null
  wait "$1"
}

# run_updater FIELDS... : the six fields after the program path, joined by
# ';' into the one argument the host passes. Waits for the process and
# returns its exit status.
run_updater() {
  local IFS=';'
  local line=";$*"
  if [ "$WIN32" = 1 ]; then
    local rc
    _start_box_watch
    "$ROOT/scripts/wine-run.sh" "$VORN_BIN" "$line"
    rc=$?
    _end_box_watch "$BOX_PID" "$LAST_BOX_DIR"
    return $rc
  else
    "$VORN_BIN" "$line"
  fi
}

# run_updater_as_other FIELDS... : run_updater as another user (uid and
# gid 65534, through setpriv; Linux build only, the tests run as root),
# with a runtime directory of its own for the single-instance guard. The
# work directory is opened for it to pass through.
run_updater_as_other() {
  local IFS=';'
  local line=";$*"
  chmod 711 "$WORK"
  OTHER_RUNTIME="$WORK/other-runtime"
  mkdir -p "$OTHER_RUNTIME" && chown 65534:65534 "$OTHER_RUNTIME" && chmod 700 "$OTHER_RUNTIME"
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    env XDG_RUNTIME_DIR="$OTHER_RUNTIME" "$VORN_BIN" "$line"
}

# run_updater_within SECONDS FIELDS... : run_updater, ended by SIGKILL
# after SECONDS (then the status is 137).
run_updater_within() {
  local seconds=$1 pid rc i
  shift
  start_updater "$@"
  pid=$UPDATER_PID
  for i in $(seq 1 $((seconds * 10))); do
    process_alive "$pid" || break
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null
  wait "$pid"
  rc=$?
  [ -n "${UPDATER_WATCH_PID:-}" ] && wait "$UPDATER_WATCH_PID" 2>/dev/null
  return $rc
}

# Starts the updater in the background; its pid in UPDATER_PID (under wine
# the Windows program's own, so kill -9 ends it). Under wine the boxes of
# the run are dismissed by a watcher (pid UPDATER_WATCH_PID) that ends
# with the updater.
start_updater() {
  local IFS=';'
  local line=";$*"
  if [ "$WIN32" = 1 ]; then
    _start_box_watch
    "$ROOT/scripts/wine-run.sh" "$VORN_BIN" "$line" &
    UPDATER_PID=$!
    local updater=$UPDATER_PID box=$BOX_PID dir=$LAST_BOX_DIR
    (
      IFS=$' \t\n'
      while process_alive "$updater"; do sleep 0.1; done
      _end_box_watch "$box" "$dir"
    ) &
    UPDATER_WATCH_PID=$!
  else
    "$VORN_BIN" "$line" &
    UPDATER_PID=$!
    UPDATER_WATCH_PID=
  fi
}

# Ends an updater started by start_updater (SIGKILL) and waits for it and
# for the box watcher of the latest start_updater.
kill_updater() {
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  [ -n "${UPDATER_WATCH_PID:-}" ] && wait "$UPDATER_WATCH_PID" 2>/dev/null
  return 0
}

# trust_test_ca: the updater runs of this script trust the servers' test
# CA (scripts/test-servers.sh makes it anew at every start). On Linux that
# is SSL_CERT_FILE and SSL_CERT_DIR, which replace the machine's own
# values; under wine the CA goes into the current user's root store of
# this script's own prefix (tests/host/trust_root.cc) and is taken out
# again when the script ends. Fails when it cannot be trusted.
trust_test_ca() {
  local tls=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/tls
  if [ "$WIN32" != 1 ]; then
    export SSL_CERT_FILE=$tls/ca.pem SSL_CERT_DIR=$tls
    return 0
  fi
  "$ROOT/scripts/wine-run.sh" "$HOST_TOOLS/trust_root.exe" "$(native_path "$tls/ca.der")" || return 1
  # The store keeps each certificate under its SHA-1 thumbprint.
  TRUSTED_CA_KEY="HKCU\Software\Microsoft\SystemCertificates\Root\Certificates\$(
    openssl x509 -in "$tls/ca.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')"
  at_exit 'WINEDEBUG=-all "${WINE:-/usr/lib/wine/wine64}" reg delete "$TRUSTED_CA_KEY" /f >/dev/null 2>&1'
}

# The log of a download directory as UTF-8 text, prefixes included.
log_utf8() { iconv -f GBK -t UTF-8 "$1/updatelog.txt" 2>/dev/null; }

# The messages of the log, one per line, without the 13-byte prefixes.
log_messages() { log_utf8 "$1" | tr -d '\r' | cut -c14-; }

# A failure line ends with "：", its object (a path, host:port or the URL)
# and, where there is one, "：" and the reason: words of the updater's own
# for the common kinds, else the system's text, which differs between the
# backends (OpenSSL and Schannel, strerror and FormatMessage). An expected
# line that ends in $SYSTEM_REASON stands for its text before the marker,
# then "：" and a reason of one character or more, whatever it says.
SYSTEM_REASON='：<system reason>'

# lines_match WANT GOT: GOT has as many lines as WANT and each is the same,
# except that a WANT line ending in $SYSTEM_REASON leaves the reason open
# (its fixed text and object still compared byte for byte).
lines_match() {
  local -a want got
  local i w
  mapfile -t want <<<"$1"
  mapfile -t got <<<"$2"
  [ "${#want[@]}" -eq "${#got[@]}" ] || return 1
  for i in "${!want[@]}"; do
    w=${want[$i]}
    if [[ "$w" == *"$SYSTEM_REASON" ]]; then
      [[ "${got[$i]}" == "${w%"$SYSTEM_REASON"}："?* ]] || return 1
    else
      [ "${got[$i]}" = "$w" ] || return 1
    fi
  done
  return 0
}

# The bytes the servers serve as pkg-N.bin.
expected_package() {
  python3 -c "
import sys
n = int(sys.argv[1])
sys.stdout.buffer.write(bytes(((i * 131 + i // 251) & 0xFF) for i in range(n)))
" "$1"
}

same_bytes() { cmp -s "$1" "$2"; }

# The files a download keeps between runs in directory $1 (part file, plan,
# an older client's record and segment files), one per line.
partial_files() { ls "$1" 2>/dev/null | grep -E '\.(part|plan|down)' || true; }

# Waits up to $2 seconds until the plan $1 counts some bytes on disk.
wait_for_plan() {
  local i
  for i in $(seq 1 $(($2 * 20))); do
    [ "$(plan_bytes "$1")" -gt 0 ] && return 0
    sleep 0.05
  done
  return 1
}

# The bytes the plan file $1 counts as on disk: over its four ranges, the
# start minus the range's first byte.
plan_bytes() {
  python3 "$ROOT/scripts/plan-bytes.py" "$1"
}

# The body bytes nginx sent since line $1 of its access log for path $2
# exactly (other scripts may fetch the same file under another path at the
# same time), the probes (Range bytes=100-) left out.
# requested_since MARK PATH: the bytes of the union of the closed ranges
# asked for PATH after access-log line MARK (the probe's open range aside).
# A connection cut short where another took over its range asked for bytes
# it never read: the union counts every byte asked for once.
requested_since() {
  tail -n +"$(($1 + 1))" "$VORN_TEST_SERVERS/nginx-access.log" |
    awk -v p="$2" '$7 == p {print $NF}' | python3 -c '
import re, sys
spans = sorted((int(a), int(b)) for a, b in re.findall(r"bytes=(\d+)-(\d+)", sys.stdin.read()))
total, reach = 0, 0
for a, b in spans:
    a = max(a, reach)
    if b >= a:
        total += b - a + 1
        reach = b + 1
print(total)'
}

segment_bytes_since() {
  tail -n +"$(($1 + 1))" "$VORN_TEST_SERVERS/nginx-access.log" |
    awk -v p="$2" '$7 == p && $NF != "\"bytes=100-\"" { s += $10 } END { printf "%.0f\n", s }'
}

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
