#!/usr/bin/env bash
# The whole road for real: version file, probe, transfer over four ranges
# (nginx) or one connection (Python's http.server), merge, completion and
# launch; the resume warning; and a download killed part-way that resumes.
source "$(dirname "$0")/lib.sh" "$@"

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=$$-$RANDOM

# Writes a version file into the docroot announcing 2.0 at URL $2; echoes
# its name.
version_file() {
  local name="e2e-$TAG-$1.txt"
  printf 'VER=2.0\r\nURL=%s' "$2" >"$WWW/$name"
  echo "$name"
}

ok_lines() {  # the log of a good download without launch problems
  printf '%s\n' "下载成功" "更新新版本"
}

check_download() {  # name dir size
  local what=$1 dl=$2 size=$3
  expected_package "$size" >"$WORK/expected-$size"
  same_bytes "$dl/pkg.bin" "$WORK/expected-$size" && pass "$what: package byte-exact ($size bytes)" \
    || fail "$what: package differs ($(stat -c %s "$dl/pkg.bin" 2>/dev/null) of $size bytes)"
  [ "$(log_messages "$dl")" = "$(ok_lines)" ] && pass "$what: log" || fail "$what: log: $(log_messages "$dl")"
  ls "$dl" | grep -q '\.down' && fail "$what: part files left: $(ls "$dl")" || pass "$what: no part files left"
}

# Four-part mode against nginx, and one connection against Python.
for size in 101 1003 3145728; do
  for server in nginx python; do
    port=$NGINX_PORT
    [ $server = python ] && port=$PYTHON_PORT
    ver=$(version_file "$server-$size" "http://127.0.0.1:$port/pkg-$size.bin")
    dl="$WORK/$server-$size"
    run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
    check_download "$server $size" "$dl" "$size"
  done
done

# Execute: a package that is a program runs (it leaves a marker).
if [ "$WIN32" = 0 ]; then
  # More than 100 bytes: the probe asks for the bytes from offset 100 on.
  { printf '#!/bin/sh\n# %s\n' "$(printf 'x%.0s' $(seq 1 120))"
    printf 'echo launched >"$(dirname "$0")/marker"\n'; } >"$WWW/e2e-$TAG-launch.sh"
  ver=$(version_file launch "http://127.0.0.1:$NGINX_PORT/e2e-$TAG-launch.sh")
  dl="$WORK/launch"
  run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "setup.sh" "Execute" "Title"
  for _ in $(seq 1 100); do [ -f "$dl/marker" ] && break; sleep 0.05; done
  [ "$(cat "$dl/marker" 2>/dev/null)" = launched ] && pass "execute: package started" \
    || fail "execute: no marker; log: $(log_messages "$dl")"
fi

# Execute with the package gone before the launch (removed during the
# pause after the notice): the missing-file line comes before the last one.
ver=$(version_file missing "http://127.0.0.1:$NGINX_PORT/pkg-1003.bin")
dl="$WORK/missing"
start_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "Execute" "Title"
pid=$UPDATER_PID
if wait_for_log "$dl" 20 "下载成功"; then rm -f "$dl/pkg.bin"; fi
wait "$pid"
[ "$(log_messages "$dl")" = "$(printf '%s\n' "下载成功" "找不到update.exe文件" "更新新版本")" ] \
  && pass "execute with missing package" || fail "missing package log: $(log_messages "$dl")"

# A record of another URL: the English warning, no download, record kept.
ver=$(version_file other "http://127.0.0.1:$NGINX_PORT/pkg-1003.bin")
dl="$WORK/other"
mkdir -p "$dl"
python3 - "$dl/pkg.bin.down" <<'PY'
import struct, sys
rec = b"http://127.0.0.1/another.bin\r\r\n" + b"pkg.bin\r\r\n"
rec += struct.pack("<Iq8i", 1003, 2000000000, 0, 249, 250, 499, 500, 749, 750, 1002)
open(sys.argv[1], "wb").write(rec)
PY
cp "$dl/pkg.bin.down" "$WORK/record-before"
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" 2>"$WORK/other.err"
# The box's text reaches stderr on both builds (under wine through the
# box watcher that dismisses it).
grep -qF "Maybe the download file is not you want,you can try to save as another file!" "$WORK/other.err" \
  && pass "other URL: warning shown" || fail "other URL: no warning: $(cat "$WORK/other.err")"
[ ! -e "$dl/pkg.bin" ] && [ -z "$(log_messages "$dl")" ] && pass "other URL: nothing downloaded" \
  || fail "other URL: $(ls "$dl"), log $(log_messages "$dl")"
same_bytes "$dl/pkg.bin.down" "$WORK/record-before" && pass "other URL: record untouched" \
  || fail "other URL: record changed"

# Resume: a throttled four-part download killed with SIGKILL part-way,
# then run again: it completes byte-exact and fetches less than the file.
size=3145728
ver=$(version_file slow "http://127.0.0.1:$NGINX_PORT/slow/pkg-$size.bin")
dl="$WORK/resume"
access="$VORN_TEST_SERVERS/nginx-access.log"
start_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
pid=$UPDATER_PID
for _ in $(seq 1 100); do [ -f "$dl/pkg.bin.down0" ] && break; sleep 0.05; done
sleep 1.5
kill_updater "$pid"
have=0
for i in 0 1 2 3; do have=$((have + $(stat -c %s "$dl/pkg.bin.down$i" 2>/dev/null || echo 0))); done
if [ "$have" -gt 0 ] && [ "$have" -lt "$size" ] && [ ! -e "$dl/pkg.bin" ]; then
  pass "resume: killed part-way with $have of $size bytes"
else
  fail "resume: after the kill $have bytes, files: $(ls "$dl")"
fi
sleep 1  # let nginx log the cut connections
mark=$(wc -l <"$access")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
sleep 0.5
fetched=$(tail -n +"$((mark + 1))" "$access" | grep "e2e-$TAG\|/slow/pkg-$size.bin" \
  | awk '$7 ~ /^\/slow\// {s += $10} END {print s + 0}')
check_download "resume" "$dl" "$size"
[ "$fetched" -lt "$size" ] && pass "resume: second run fetched $fetched bytes (< $size)" \
  || fail "resume: second run fetched $fetched bytes"

rm -f "$WWW"/e2e-$TAG-*
finish
