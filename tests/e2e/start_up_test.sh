#!/usr/bin/env bash
# Start-up for real: no arguments, the single-instance guard, a run that
# finds the installed version already announced, and the exit status of
# each (0 up to date, 1 a failed download, 2 a malformed version file, 6 a
# bad command line, 7 another instance running).
source "$(dirname "$0")/lib.sh" "$@"

# No arguments: ends at once, creates nothing and says so in its status.
mkdir "$WORK/empty" && cd "$WORK/empty"
start=$(date +%s%N)
if [ "$WIN32" = 1 ]; then "$ROOT/scripts/wine-run.sh" "$VORN_BIN"; else "$VORN_BIN"; fi
rc=$?
[ $rc -eq 6 ] && pass "no arguments: exit 6" || fail "no arguments: exit $rc"
[ -z "$(ls -A "$WORK/empty")" ] && pass "no arguments: nothing created" || fail "no arguments created files"
cd "$WORK"

# Same version: exactly one line, "已经是最新版本", after the prefix.
dl="$WORK/same"
run_updater "http://127.0.0.1:$NGINX_PORT/ver-same.txt" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
rc=$?
[ $rc -eq 0 ] && pass "same version: exit 0" || fail "same version: exit $rc"
expected=$(printf '\xd2\xd1\xbe\xad\xca\xc7\xd7\xee\xd0\xc2\xb0\xe6\xb1\xbe\r\n')
actual=$(cut -b14- "$dl/updatelog.txt")
lines=$(wc -l <"$dl/updatelog.txt")
if [ "$lines" -eq 1 ] && [ "$actual" = "$expected" ]; then
  pass "same version: one GBK line"
else
  fail "same version log: $(log_utf8 "$dl")"
fi
[ "$(head -c 13 "$dl/updatelog.txt" | grep -cE '^[ 1][0-9]-[ 123][0-9] [ 12][0-9]:[ 1-5][0-9]  $')" = 1 ] \
  && pass "prefix shape" || fail "prefix: $(head -c 13 "$dl/updatelog.txt" | od -c | head -2)"

# A malformed version file: the format line, nothing else.
dl="$WORK/bad"
run_updater "http://127.0.0.1:$NGINX_PORT/ver-bad.txt" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
rc=$?
[ $rc -eq 2 ] && pass "malformed version file: exit 2" || fail "malformed version file: exit $rc"
[ "$(log_messages "$dl")" = "更新文件格式有错 " ] && pass "malformed version file" \
  || fail "malformed: $(log_messages "$dl")"

# A package the server does not have: the download fails, and the line
# names the server that refused.
WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
missing="exit-$$-$RANDOM"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%s/%s.bin\r\n' "$NGINX_PORT" "$missing" >"$WWW/$missing.txt"
at_exit "rm -f '$WWW/$missing.txt'"
dl="$WORK/failed"
run_updater "http://127.0.0.1:$NGINX_PORT/$missing.txt" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
rc=$?
[ $rc -eq 1 ] && pass "failed download: exit 1" || fail "failed download: exit $rc"
[ "$(log_messages "$dl")" = "下载服务器拒绝了请求，状态码 404：127.0.0.1:$NGINX_PORT" ] && pass "failed download: log" \
  || fail "failed download: $(log_messages "$dl")"

# A download directory that another user may write to (no sticky bit):
# refused on standard error, exit 4, and nothing is written into it.
if [ "$WIN32" = 0 ]; then
  dl="$WORK/open"
  mkdir "$dl" && chown 65534:65534 "$dl" && chmod 777 "$dl"
  run_updater_as_other "http://127.0.0.1:$NGINX_PORT/ver-same.txt" "1.0" "$dl" "pkg.bin" "" "Title" \
    2>"$WORK/open.err"
  rc=$?
  [ $rc -eq 4 ] && pass "open download directory: exit 4" || fail "open download directory: exit $rc"
  grep -qF "其他用户可以写入下载目录" "$WORK/open.err" && pass "open download directory: said on standard error" \
    || fail "open download directory: standard error: $(cat "$WORK/open.err")"
  [ -z "$(ls -A "$dl")" ] && pass "open download directory: nothing written" \
    || fail "open download directory holds: $(ls -A "$dl")"
fi

# Single instance: while one run waits on a server that never answers, a
# second start ends at once and silently; after the first ends, a start runs.
first="$WORK/first"
start_updater "http://127.0.0.1:$FAULT_PORT/silent" "1.0" "$(native_path "$first")" "pkg.bin" "" "Title"
first_pid=$UPDATER_PID
for _ in $(seq 1 100); do [ -d "$first" ] && break; sleep 0.1; done
sleep 1
second="$WORK/second"
t0=$(date +%s)
run_updater "http://127.0.0.1:$NGINX_PORT/ver-same.txt" "1.0" "$(native_path "$second")" "pkg.bin" "" "Title"
rc=$?
t1=$(date +%s)
[ $rc -eq 7 ] && pass "second instance: exit 7" || fail "second instance: exit $rc"
[ ! -e "$second" ] && pass "second instance ended silently" || fail "second instance ran"
[ $((t1 - t0)) -le 15 ] && pass "second instance ended at once" || fail "second instance took $((t1 - t0)) s"
# Under wine the pid is the Windows program's own: the kill ends it, and
# its mutex goes with it.
kill_updater "$first_pid"
third="$WORK/third"
run_updater "http://127.0.0.1:$NGINX_PORT/ver-same.txt" "1.0" "$(native_path "$third")" "pkg.bin" "" "Title"
[ "$(log_messages "$third")" = "已经是最新版本" ] && pass "new start after the first ended" \
  || fail "third run: $(log_messages "$third")"

finish
