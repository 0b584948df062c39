#!/usr/bin/env bash
# The downloader against a table of misbehaving servers (the fault server's
# /file faults), four-part and single-connection. Whatever the answer, a
# run that logs 下载成功 has the served file byte-exact in place; any other
# run leaves the older package as it was, shows no completion notice and
# logs what failed. Some rows must succeed, some must not; redirects with
# control bytes in their target must not put anything but the fixed header
# lines on the wire. Rows marked tls run against the fault server's TLS
# mode, with the test CA trusted.
source "$(dirname "$0")/lib.sh" "$@"

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=m$$-$RANDOM
REFUSED_PORT=$((BASE + 9))
FAULT_TLS_PORT=$((BASE + 13))
# A run ends by itself or is ended after this many seconds: one receive
# time-out of the client (60 s) fits.
RUN_LIMIT=75
at_exit 'rm -f "$WWW/$TAG"-*'
DONE=下载成功
NOTICE=自动更新信息

# A file replaced by one of the same size with the same Last-Modified is
# not in the table: nothing in the answers tells the two apart.
#
# fault: the fault server's fault, or refused (a port nobody listens on) or
#   url-crlf (no fault; the version file's URL line goes on with a raw CR LF
#   and "Host: evil.example").
# modes: 4 (the server honours ranges), 1 (mode=single: it ignores them).
# verdict: succeed (must end byte-exact), fail (must not succeed), either.
# options: size=N (pkg-N.bin, default 8388609: just over the size that the
#   client fetches through the probe's answer alone), on=W (the fault server's on=),
#   runs=N (up to N runs with one token, until one succeeds: the fault hits
#   the first download only), wire (every request carries only the fixed
#   header lines), tls (https, from the fault server's TLS mode: the faults
#   that TLS could hide or change), line=TEXT (a failed run logged a line
#   holding TEXT, then "：" and the row's server as host:port), token (the
#   fault hits the first download's requests only, as with runs=N: a retry
#   within the run gets the normal answer), retries=N[,M] (the run logged
#   exactly N retry lines in mode 4, M in mode 1), pinned (the version file
#   announces the package's SHA256 and SIZE), requests=N (the fault server
#   got N requests for the row), sized (the version file announces the
#   package's SIZE).
# The two rows that take longest (a minute's stall; a TLS hand-shake with
# a plain server, 30 s) lead, so that each half of the table gets one.
ROWS=$(cat <<'EOF'
stall                 4    succeed  tls  token retries=4
redirect-https        4    fail
none                  4 1  succeed  wire
long-header           4 1  succeed
split-length          4 1  succeed
long-header           4 1  succeed  on=segment
split-length          4 1  succeed  on=segment
x-content-length      4 1  succeed
fold-value            4 1  fail
none                  4 1  succeed  size=100
none                  4    succeed  size=1
chunked               4 1  succeed
chunked-ext           4 1  succeed
chunked-cut           4 1  succeed  token retries=4,1 line=段：连接中断或超时
close-delimited       1    succeed  sized
close-delimited       1    fail     line=下载服务器的应答无效
gzip                  4 1  either
multipart             4 1  either
no-content-range      4 1  either
range-end             4    either
range-total           4    fail
cl-twice-right-first  4 1  either
cl-twice-wrong-first  4 1  either
cl-abc                4 1  either
cl-empty              4 1  either
cl-plus               4 1  either
cl-minus              4 1  either
cl-twice-wrong-first  4 1  either   on=segment
cl-plus               4 1  either   on=segment
cl-minus              4 1  either   on=segment
fold-split            4 1  either
status-blanks         4 1  either
416-bare              4 1  fail
500                   4 1  fail
404                   4 1  fail
500                   4    succeed  on=segment token retries=4
404                   4    fail     on=segment retries=0
refused               4    fail
redirect-loop         4    fail
header-close          4 1  fail
endless-header        4    fail
loc-lf                4    either   wire
loc-cr                4    either   wire
loc-blank             4    either   wire
loc-nul               4    either   wire
loc-crlf              4    either   wire
url-crlf              4    either   wire
mirrors               4    succeed  pinned requests=5 retries=0
mirrors               4    succeed  line=各连接的应答来自不同的文件，改用一个连接下载整个文件
changed-same-older    4 1  succeed  runs=3
changed-size          4 1  either   runs=3
close-early           4 1  succeed  tls  token retries=3,1
no-close-notify       4 1  succeed  tls  token retries=4,1
range-total           4    fail     tls  on=segment line=段：服务器的应答与请求不符 retries=0
EOF
)

trust_test_ca || fail "the test CA could not be trusted"

# --- the checks ---------------------------------------------------------

# wire_ok PORT TAG: every request the fault server on PORT logged for TAG
# is "GET <printable path> HTTP/1.1" and the fixed header lines, each once;
# prints what is wrong and fails otherwise.
wire_ok() {
  curl -s --max-time 5 "http://127.0.0.1:$1/log?tag=$2&raw=1" | python3 -c '
import codecs, re, sys
port = sys.argv[1]
allowed = {"host", "accept", "pragma", "cache-control", "referer", "connection", "range"}
required = {"host", "accept", "pragma", "cache-control"}
bad = []
for line in sys.stdin.read().splitlines():
    raw = codecs.decode(line.split("\t")[4], "unicode_escape").encode("latin-1")
    problem = None
    head, end, rest = raw.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    names = [l.split(b":")[0].lower().decode("latin-1") for l in lines[1:]]
    if b"evil.example" in raw:
        problem = "evil.example"
    elif not end or rest:
        problem = "not one header ending in CR LF CR LF"
    elif not re.fullmatch(rb"GET /[\x21-\x7e]* HTTP/1\.1", lines[0]):
        problem = "request line"
    elif any(not re.fullmatch(rb"[A-Za-z-]+: [\x20-\x7e]*", l) for l in lines[1:]):
        problem = "a header line that is not Name: printable text"
    elif len(set(names)) != len(names) or not required <= set(names) <= allowed:
        problem = "header names %s" % names
    else:
        fields = {n: l.split(b": ", 1)[1] for n, l in zip(names, lines[1:])}
        if fields["host"] not in (b"127.0.0.1", b"127.0.0.1:" + port.encode()):
            problem = "Host"
        elif fields.get("connection", b"close") != b"close":
            problem = "Connection"
        elif not re.fullmatch(rb"bytes=\d+-\d*", fields.get("range", b"bytes=0-")):
            problem = "Range"
    if problem:
        bad.append("%s in %r" % (problem, raw))
for b in bad:
    print(b)
sys.exit(1 if bad else 0)
' "$1"
}

# The log lines a run added (from byte offset $2 of the log on), without
# their prefixes.
new_messages() { tail -c +"$(($2 + 1))" "$1/updatelog.txt" 2>/dev/null | iconv -f GBK -t UTF-8 | tr -d '\r' | cut -c14-; }

log_size() { stat -c %s "$1/updatelog.txt" 2>/dev/null || echo 0; }

# How often nginx served version file $1.
fetches() { awk -v p="GET /$1 " 'index($0, p) { n++ } END { print n + 0 }' "$VORN_TEST_SERVERS/nginx-access.log"; }

# run_once DIR VERSION_FILE: one run of the updater, ended once it has
# shown the completion notice (the pause after it only delays the last log
# line) or after RUN_LIMIT seconds. Sets RUN_LOG (the lines it added),
# RUN_ERR (its standard error, boxes included) and RUN_TIMED_OUT. A run
# that did not even fetch the version file met another updater's
# single-instance guard (another test on this machine): it is run again,
# for up to about 30 s.
run_once() {
  local dl=$1 ver=$2 before fetched pid i
  before=$(log_size "$dl")
  for _ in $(seq 1 60); do
    RUN_TIMED_OUT=0
    fetched=$(fetches "$ver")
    start_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" \
      </dev/null 2>"$dl.err"
    pid=$UPDATER_PID
    for i in $(seq 1 $((RUN_LIMIT * 10))); do
      process_alive "$pid" || break
      if new_messages "$dl" "$before" | grep -qx "$DONE" && notice_shown "$dl"; then
        sleep 0.3
        break
      fi
      sleep 0.1
    done
    process_alive "$pid" && [ "$i" = $((RUN_LIMIT * 10)) ] && RUN_TIMED_OUT=1
    kill_updater "$pid"
    RUN_LOG=$(new_messages "$dl" "$before")
    RUN_ERR=$(cat "$dl.err")
    [ -n "$RUN_LOG" ] || [ "$(fetches "$ver")" != "$fetched" ] && return
    sleep 0.5
  done
}

notice_shown() {
  if [ "$WIN32" = 1 ]; then
    ls "$LAST_BOX_DIR"/box-*.utf8 >/dev/null 2>&1
  else
    grep -q "$NOTICE" "$1.err"
  fi
}

# check_run WHAT DIR EXPECTED OLDER: (a) a run that logged 下载成功 left
# the package byte-exact; (b) any other left the older package, showed no
# notice and logged a line of its own. Returns 0 when it logged 下载成功.
check_run() {
  local what=$1 dl=$2 expected=$3 older=$4 shown
  shown="log: $(printf '%s' "$RUN_LOG" | tr '\n' '|')"
  [ "$RUN_TIMED_OUT" = 1 ] && fail "$what: still running after $RUN_LIMIT s; $shown"
  if printf '%s\n' "$RUN_LOG" | grep -qx "$DONE"; then
    same_bytes "$dl/pkg.bin" "$expected" && pass "$what: success, byte-exact" \
      || fail "$what: success logged, but the package differs ($(stat -c %s "$dl/pkg.bin" 2>/dev/null || echo no) of $(stat -c %s "$expected") bytes, $(cmp "$dl/pkg.bin" "$expected" 2>&1 | head -c 120)); $shown"
    return 0
  fi
  local ok=1
  same_bytes "$dl/pkg.bin" "$older" || { ok=0; fail "$what: failed, and the older package changed; $shown"; }
  printf '%s' "$RUN_ERR" | grep -q "$NOTICE" && { ok=0; fail "$what: failed, but the completion notice was shown; $shown"; }
  printf '%s\n' "$RUN_LOG" | grep -qvxE "$DONE|更新新版本|" \
    || { ok=0; fail "$what: failed without a line saying what failed; $shown"; }
  [ $ok = 1 ] && pass "$what: failure kept the older package ($shown)"
  return 1
}

# --- the harness checks itself ---------------------------------------------

# The wire check passes a plain request and catches an injected one.
good='GET /file/x?row=%s-wire HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\nRange: bytes=0-99\r\nConnection: close\r\n\r\n'
evil='GET /file/x?row=%s-evil&inj=a\nHost: evil.example HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: */*\r\nPragma: no-cache\r\nCache-Control: no-cache\r\n\r\n'
for raw in "$good" "$evil"; do
  (
    exec 3<>"/dev/tcp/127.0.0.1/$FAULT_PORT" || exit
    # shellcheck disable=SC2059
    printf "$raw" "$TAG-self" "$FAULT_PORT" >&3
    timeout 5 cat <&3 >/dev/null
  )
done
wire_ok "$FAULT_PORT" "$TAG-self-wire" >/dev/null && [ -n "$(curl -s "http://127.0.0.1:$FAULT_PORT/log?tag=$TAG-self-wire")" ] \
  && pass "harness: wire check passes a plain request" \
  || fail "harness: wire check refuses a plain request: $(wire_ok "$FAULT_PORT" "$TAG-self-wire")"
wire_ok "$FAULT_PORT" "$TAG-self-evil" >/dev/null && fail "harness: wire check misses an injected Host" \
  || pass "harness: wire check catches an injected Host"

# --- the rows ---------------------------------------------------------------

SUMMARY=()
n=0
while read -r fault rest; do
  [ -z "$fault" ] && continue
  n=$((n + 1))
  # VORN_MATRIX_ONLY=REGEX runs only the rows whose fault matches;
  # VORN_E2E_PART=K/N only every Nth row from the Kth on (ctest runs the
  # table in parts side by side).
  [[ "$fault" =~ ${VORN_MATRIX_ONLY:-.} ]] || continue
  part=${VORN_E2E_PART:-1/1}
  [ $(( (n - 1) % ${part#*/} )) = $(( ${part%/*} - 1 )) ] || continue
  modes=() verdict='' size=8388609 on='' runs=1 wire=0 tls=0 line='' token=0 retries='' pinned=0 requests='' sized=0
  for word in $rest; do
    case "$word" in
      tls) tls=1 ;;
      sized) sized=1 ;;
      line=*) line=${word#line=} ;;
      4|1) modes+=("$word") ;;
      succeed|fail|either) verdict=$word ;;
      size=*) size=${word#size=} ;;
      on=*) on=${word#on=} ;;
      runs=*) runs=${word#runs=} ;;
      wire) wire=1 ;;
      token) token=1 ;;
      retries=*) retries=${word#retries=} ;;
      pinned) pinned=1 ;;
      requests=*) requests=${word#requests=} ;;
    esac
  done
  for mode in "${modes[@]}"; do
    id="$TAG-r$n-$mode"
    what=$fault
    [ -n "$on" ] && what+=" on=$on"
    [ "$size" != 8388609 ] && what+=" size=$size"
    [ $pinned = 1 ] && what+=" pinned"
    [ "$runs" != 1 ] && what+=" runs=$runs"
    [ $tls = 1 ] && what+=" tls"
    [ $sized = 1 ] && what+=" sized"
    what+=" mode $mode"
    failures_before=$FAILURES
    dl="$WORK/$id"
    mkdir -p "$dl"
    printf 'older package of %s\n' "$id" >"$dl/pkg.bin"
    cp "$dl/pkg.bin" "$WORK/$id.older"

    port=$FAULT_PORT server_fault=$fault
    case "$fault" in refused|url-crlf) server_fault=none ;; esac
    if [ "$fault" = refused ]; then
      port=$REFUSED_PORT
      (exec 3<>"/dev/tcp/127.0.0.1/$REFUSED_PORT") 2>/dev/null && fail "$what: something listens on $REFUSED_PORT"
    fi
    scheme=http
    [ $tls = 1 ] && scheme=https port=$FAULT_TLS_PORT
    url="$scheme://127.0.0.1:$port/file/pkg-$size.bin?row=$id&fault=$server_fault"
    [ "$mode" = 1 ] && url="$url&mode=single"
    [ -n "$on" ] && url="$url&on=$on"
    [ "$runs" != 1 ] || [ $token = 1 ] && url="$url&token=$id"

    # The file the row must end with: the changed-* faults' second version.
    expected="$WORK/pkg-$size"
    case "$fault" in
      changed-*)
        expected="$WORK/$id.expected"
        curl -s --max-time 10 -o "$expected" "http://127.0.0.1:$FAULT_PORT/file/pkg-$size.bin?fault=$fault&version=2&row=expect-$id"
        ;;
      *) [ -f "$expected" ] || expected_package "$size" >"$expected" ;;
    esac
    checks=''
    if [ $pinned = 1 ]; then
      checks=$(printf 'SHA256=%s\r\nSIZE=%s\r\nx' \
        "$(sha256sum "$expected" | cut -d' ' -f1)" "$(stat -c %s "$expected")")
      checks=${checks%x}
    elif [ $sized = 1 ]; then
      checks=$(printf 'SIZE=%s\r\nx' "$(stat -c %s "$expected")")
      checks=${checks%x}
    fi
    if [ "$fault" = url-crlf ]; then
      printf '%sVER=2.0\r\nURL=%s&inj=a\r\nHost: evil.example\r\n' "$checks" "$url" >"$WWW/$id.txt"
    else
      printf '%sVER=2.0\r\nURL=%s\r\n' "$checks" "$url" >"$WWW/$id.txt"
    fi

    t0=$(date +%s%N)
    succeeded=0
    for k in $(seq 1 "$runs"); do
      run_once "$dl" "$id.txt"
      label=$what
      [ "$runs" != 1 ] && label="$what, run $k"
      if check_run "$label" "$dl" "$expected" "$WORK/$id.older"; then succeeded=1; break; fi
    done
    ms=$((($(date +%s%N) - t0) / 1000000))
    outcome=failed
    [ $succeeded = 1 ] && outcome=succeeded
    case "$verdict" in
      succeed)
        if [ $succeeded = 1 ] && same_bytes "$dl/pkg.bin" "$expected"; then
          pass "$what: must succeed byte-exact: it did"
        else
          fail "$what: must succeed byte-exact, but it $outcome; log: $(log_messages "$dl" | tr '\n' '|')"
        fi
        ;;
      fail)
        if [ $succeeded = 0 ]; then pass "$what: must not succeed: it did not"; else
          fail "$what: must not succeed, but it did; log: $(log_messages "$dl" | tr '\n' '|')"
        fi
        ;;
    esac
    if [ -n "$requests" ]; then
      got=$(curl -s --max-time 5 "http://127.0.0.1:$FAULT_PORT/log?tag=$id" | grep -c .)
      [ "$got" = "$requests" ] && pass "$what: $got requests" \
        || fail "$what: $got requests, not $requests"
    fi
    if [ -n "$line" ]; then
      # The server's reason, where one follows, is the system's own text.
      want="$line：127.0.0.1:$port"
      printf '%s\n' "$RUN_LOG" | grep -qF -- "$want" && pass "$what: logged $want" \
        || fail "$what: no line with $want; log: $(printf '%s' "$RUN_LOG" | tr '\n' '|')"
    fi
    if [ -n "$retries" ]; then
      want=${retries%,*}
      [ "$mode" = 1 ] && want=${retries#*,}
      got=$(printf '%s\n' "$RUN_LOG" | grep -c "秒后重试（第")
      [ "$got" = "$want" ] && pass "$what: $got retry lines" \
        || fail "$what: $got retry lines, not $want; log: $(printf '%s' "$RUN_LOG" | tr '\n' '|')"
    fi
    if [ $wire = 1 ]; then
      for p in "$FAULT_PORT" "$((FAULT_PORT + 1))"; do
        if problems=$(wire_ok "$p" "$id"); then
          pass "$what: only the fixed header lines went to port $p"
        else
          fail "$what: requests to port $p: $problems"
        fi
      done
    fi
    # The harness's own checks, on the good row: the comparison tells a
    # changed byte, and the package really replaced the older one.
    if [ "$fault/$size/$mode" = none/8388609/4 ] && [ $succeeded = 1 ]; then
      python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[40000] ^= 1
open(sys.argv[2], "wb").write(d)' "$dl/pkg.bin" "$WORK/flipped"
      ! same_bytes "$WORK/flipped" "$expected" && ! same_bytes "$dl/pkg.bin" "$WORK/$id.older" \
        && pass "harness: byte-exact and older-package checks tell files apart" \
        || fail "harness: the file checks do not tell files apart"
    fi
    verdict_ok=ok
    [ "$FAILURES" -gt "$failures_before" ] && verdict_ok=FAIL
    SUMMARY+=("$(printf '%-38s %-7s %-9s %-4s %6d ms' "$what" "$verdict" "$outcome" "$verdict_ok" "$ms")")
  done
done <<<"$ROWS"

echo
printf '%-38s %-7s %-9s %-4s %9s\n' row verdict outcome ok time
printf '%s\n' "${SUMMARY[@]}"
finish
