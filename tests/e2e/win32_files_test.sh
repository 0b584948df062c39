#!/usr/bin/env bash
# The package file on the real Win32 calls, under wine: a package held open
# by another program (as a running installer holds it) is not replaced, the
# log names it as in use, and once it is free the next run finishes from
# the bytes on disk.
source "$(dirname "$0")/lib.sh" "$@"

if [ "$WIN32" != 1 ]; then
  echo "skipped: Windows only"
  exit 0
fi

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=files-$$-$RANDOM
at_exit "rm -f '$WWW'/e2e-$TAG-*"
for tool in hold_file; do
  if [ ! -f "$HOST_TOOLS/$tool.exe" ]; then
    echo "FAIL: $HOST_TOOLS/$tool.exe is missing (build the test programs)" >&2
    exit 1
  fi
done

version_file() {  # NAME URL: a version file announcing 2.0 at URL
  local name="e2e-$TAG-$1.txt"
  printf 'VER=2.0\r\nURL=%s' "$2" >"$WWW/$name"
  echo "$name"
}

# A package held open: the first run fails with the line that names it,
# the held file keeps its bytes and the download's own files stay; the
# second run, the holder gone, fetches no body bytes again.
size=3145728
ver=$(version_file held "http://127.0.0.1:$NGINX_PORT/pkg-$size.bin")
dl="$WORK/held"
mkdir -p "$dl"
printf 'the installer still runs' >"$dl/pkg.bin"
"$ROOT/scripts/wine-run.sh" "$HOST_TOOLS/hold_file.exe" \
  "$(native_path "$dl/pkg.bin")" "$(native_path "$WORK/held.ready")" 120 &
holder=$!
for _ in $(seq 1 1200); do [ -e "$WORK/held.ready" ] && break; sleep 0.05; done
[ -e "$WORK/held.ready" ] || fail "held: the holder never opened the package"
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
# 无法替换升级包文件：<package>：文件正被其他程序使用
line="无法替换升级包文件：$(native_path "$dl")\\pkg.bin：文件正被其他程序使用"
log_messages "$dl" | grep -qxF "$line" && pass "held: the log names the package in use" \
  || fail "held: no line \"$line\"; log: $(log_messages "$dl")"
[ "$(cat "$dl/pkg.bin")" = "the installer still runs" ] && pass "held: the held package unchanged" \
  || fail "held: the held package was changed"
[ -n "$(partial_files "$dl")" ] && pass "held: part file and plan kept" \
  || fail "held: the download's files are gone: $(ls "$dl")"
rm -f "$WORK/held.ready"
wait "$holder"
sleep 1  # let nginx log the first run
access="$VORN_TEST_SERVERS/nginx-access.log"
mark=$(wc -l <"$access")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
sleep 0.5
fetched=$(segment_bytes_since "$mark" "/pkg-$size.bin")
expected_package "$size" >"$WORK/expected"
same_bytes "$dl/pkg.bin" "$WORK/expected" && pass "held, then free: package byte-exact" \
  || fail "held, then free: package differs ($(stat -c %s "$dl/pkg.bin") of $size bytes)"
[ "$(log_messages "$dl" | tail -n 2)" = "$(printf '%s\n' "下载成功" "更新新版本")" ] \
  && pass "held, then free: log" || fail "held, then free: log: $(log_messages "$dl")"
[ "$fetched" -eq 0 ] && pass "held, then free: no body bytes fetched again" \
  || fail "held, then free: $fetched body bytes fetched again"
[ -z "$(partial_files "$dl")" ] && pass "held, then free: no part files left" \
  || fail "held, then free: part files left: $(ls "$dl")"

finish
