#!/usr/bin/env bash
# The whole road for real: version file, probe, transfer over four ranges
# (nginx) or one connection (Python's http.server), completion and launch;
# a plan of an older release dropped; a download killed part-way that
# resumes; an older client's download taken over; a disk with room for one
# copy of the package; a package past 4 GiB killed and resumed.
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
  [ -n "$(partial_files "$dl")" ] && fail "$what: part files left: $(ls "$dl")" || pass "$what: no part files left"
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
[ "$(log_messages "$dl")" = "$(printf '%s\n' "下载成功" "找不到update.exe文件：$(native_path "$dl")$(sep)pkg.bin" "更新新版本")" ] \
  && pass "execute with missing package" || fail "missing package log: $(log_messages "$dl")"

# A 2.0 download cut off, then 2.1 announced at another URL: the old plan
# is dropped with one line, and 2.1 comes whole, without any warning box.
ver=$(version_file stale-2.0 "http://127.0.0.1:$NGINX_PORT/slow/pkg-3145728.bin")
dl="$WORK/stale"
start_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
pid=$UPDATER_PID
wait_for_plan "$dl/pkg.bin.plan" 5
kill_updater "$pid"
[ -f "$dl/pkg.bin.plan" ] && pass "stale plan: 2.0 cut off with its plan on disk" \
  || fail "stale plan: no plan after the kill: $(ls "$dl")"
name="e2e-$TAG-stale-2.1.txt"
printf 'VER=2.1\r\nURL=http://127.0.0.1:%s/pkg-1003.bin' "$NGINX_PORT" >"$WWW/$name"
run_updater "http://127.0.0.1:$NGINX_PORT/$name" "2.0" "$(native_path "$dl")" "pkg.bin" "" "Title" 2>"$WORK/stale.err"
expected_package 1003 >"$WORK/expected-1003"
same_bytes "$dl/pkg.bin" "$WORK/expected-1003" && pass "stale plan: 2.1 byte-exact" \
  || fail "stale plan: package differs"
[ "$(log_messages "$dl")" = "$(printf '%s\n' "已删除另一个地址的未完成下载，开始下载新的升级包" "下载成功" "更新新版本")" ] \
  && pass "stale plan: log" || fail "stale plan: log: $(log_messages "$dl")"
grep -q "Maybe the download file" "$WORK/stale.err" && fail "stale plan: the old warning box" \
  || pass "stale plan: no warning box"
[ -n "$(partial_files "$dl")" ] && fail "stale plan: part files left: $(ls "$dl")" \
  || pass "stale plan: no part files left"

# Resume: a throttled four-part download killed with SIGKILL part-way,
# then run again: it completes byte-exact and fetches exactly the bytes the
# plan did not have.
size=3145728
ver=$(version_file slow "http://127.0.0.1:$NGINX_PORT/slow/pkg-$size.bin")
dl="$WORK/resume"
access="$VORN_TEST_SERVERS/nginx-access.log"
start_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
pid=$UPDATER_PID
wait_for_plan "$dl/pkg.bin.plan" 5
sleep 1
kill_updater "$pid"
have=$(plan_bytes "$dl/pkg.bin.plan")
if [ "$have" -gt 0 ] && [ "$have" -lt "$size" ] && [ ! -e "$dl/pkg.bin" ]; then
  pass "resume: killed part-way with $have of $size bytes"
else
  fail "resume: after the kill $have bytes, files: $(ls "$dl")"
fi
sleep 1  # let nginx log the cut connections
mark=$(wc -l <"$access")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
sleep 0.5
fetched=$(requested_since "$mark" "/slow/pkg-$size.bin")
check_download "resume" "$dl" "$size"
[ "$fetched" -eq $((size - have)) ] && pass "resume: second run asked for the $fetched missing bytes" \
  || fail "resume: second run asked for $fetched bytes, $((size - have)) were missing"

# An older client's download (its .down record and four segment files, each
# with the first half of its range): taken over, and only the missing halves
# are fetched.
dl="$WORK/older"
mkdir -p "$dl"
url="http://127.0.0.1:$NGINX_PORT/pkg-$size.bin"
expected_package "$size" >"$WORK/expected-$size"
python3 - "$dl/pkg.bin" "$(native_path "$dl")$(sep)pkg.bin" "$url" \
  "$(stat -c %Y "$WWW/pkg-$size.bin")" "$WORK/expected-$size" <<'PY'
import struct, sys
path, save, url, mtime, expected = sys.argv[1:]
data = open(expected, "rb").read()
n = len(data); q = n // 4
ends = [q - 1, 2 * q - 1, 3 * q - 1, n - 1]
starts = [0, q, 2 * q, 3 * q]
halves = [(ends[i] - starts[i] + 1) // 2 for i in range(4)]
fields = struct.pack("<Iq", n, int(mtime))
for i in range(4):
    fields += struct.pack("<ii", starts[i] + halves[i], ends[i])
    open("%s.down%d" % (path, i), "wb").write(data[starts[i]:starts[i] + halves[i]])
open(path + ".down", "wb").write(url.encode() + b"\r\r\n" + save.encode() + b"\r\r\n" + fields)
PY
ver=$(version_file older "$url")
mark=$(wc -l <"$access")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
sleep 0.5
fetched=$(requested_since "$mark" "/pkg-$size.bin")
check_download "older client's layout" "$dl" "$size"
[ "$fetched" -eq $((size / 2)) ] && pass "older client's layout: asked only for the $fetched missing bytes" \
  || fail "older client's layout: asked for $fetched bytes, $((size / 2)) were missing"

# A disk with room for the package but not for two copies of it.
dl="$WORK/small"
mkdir -p "$dl"
if mount -t tmpfs -o size=4m tmpfs "$dl" 2>/dev/null; then
  at_exit "umount '$dl'"
  ver=$(version_file small "$url")
  run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
  check_download "4 MiB disk, 3 MiB package" "$dl" "$size"
else
  echo "skip: no tmpfs can be mounted here for the small-disk case"
fi

# A package past 4 GiB (sparse on the server, with random blocks at its
# start, across the 2 GiB and 4 GiB marks and at its end): killed once the
# part file holds bytes past 4 GiB, then resumed; it ends byte-exact and the
# second run fetches only what the plan lacked. The files go as soon as
# they are checked.
big="$WWW/e2e-$TAG-big.bin"
dl="$WORK/big"
size=$(( (5 << 30) + 3 ))
mkdir -p "$dl"
if [ "${VORN_E2E_SANITIZED:-0}" = 1 ]; then
  # Five gigabytes through the sanitizers' copies take minutes and find
  # nothing that the plain build's run and the offset tables do not.
  echo "skip: the package past 4 GiB runs in the plain build"
elif [ "$(df --output=avail -B1 "$dl" | tail -n 1)" -lt $(( 12 << 30 )) ]; then
  echo "skip: no room for the package past 4 GiB"
else
  at_exit "rm -f '$big'"
  truncate -s "$size" "$big"
  for at in 0 $(( (2 << 30) - (1 << 19) )) $(( (4 << 30) - (1 << 19) )) $(( size - (1 << 20) )); do
    head -c $((1 << 20)) /dev/urandom |
      dd of="$big" bs=1M conv=notrunc oflag=seek_bytes seek="$at" status=none
  done
  # The start of the range that ends the file, in the plan's slots.
  last_start() {
    python3 - "$1" <<'PY'
import struct, sys
try:
    data = open(sys.argv[1], "rb").read()
except OSError:
    data = b""
at = data.find(b"\r\r\n", data.find(b"\r\r\n") + 3) + 3
start = 0
if len(data) >= at + 24 and data[at:at + 4] == b"\xfe\xff\xff\xff":
    size, = struct.unpack("<q", data[at + 4:at + 12])
    count, = struct.unpack("<I", data[at + 20:at + 24])
    for k in range(count):
        first, end = struct.unpack("<2q", data[at + 24 + 16 * k:at + 40 + 16 * k])
        if end == size - 1:
            start = first
print(start)
PY
  }
  ver=$(version_file big "http://127.0.0.1:$NGINX_PORT/e2e-$TAG-big.bin")
  start_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
  pid=$UPDATER_PID
  for _ in $(seq 1 1200); do
    [ "$(last_start "$dl/pkg.bin.plan")" -gt $(( 4 << 30 )) ] && break
    process_alive "$pid" || break
    sleep 0.05
  done
  kill_updater "$pid"
  have=$(plan_bytes "$dl/pkg.bin.plan")
  if [ "$(last_start "$dl/pkg.bin.plan")" -gt $(( 4 << 30 )) ] && [ "$have" -lt "$size" ] &&
     [ ! -e "$dl/pkg.bin" ]; then
    pass "past 4 GiB: killed with $have of $size bytes, some past the 4 GiB mark"
  else
    fail "past 4 GiB: after the kill $have bytes, files: $(ls "$dl")"
  fi
  sleep 1  # let nginx log the cut connections
  mark=$(wc -l <"$access")
  run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title"
  sleep 0.5
  fetched=$(requested_since "$mark" "/e2e-$TAG-big.bin")
  cmp -s "$dl/pkg.bin" "$big" && pass "past 4 GiB: package byte-exact ($size bytes)" \
    || fail "past 4 GiB: package differs ($(stat -c %s "$dl/pkg.bin" 2>/dev/null) of $size bytes)"
  [ "$(log_messages "$dl")" = "$(ok_lines)" ] && pass "past 4 GiB: log" \
    || fail "past 4 GiB: log: $(log_messages "$dl")"
  [ "$fetched" -eq $((size - have)) ] && pass "past 4 GiB: second run asked for the $fetched missing bytes" \
    || fail "past 4 GiB: second run asked for $fetched bytes, $((size - have)) were missing"
  rm -rf "$big" "$dl"
fi

rm -f "$WWW"/e2e-$TAG-*
finish
