#!/usr/bin/env bash
# A download directory on a full disk: a 1 MiB tmpfs for a 3 MiB package.
# The run fails without touching the older package; the segment that could
# not write names the part file and 磁盘空间不足; as the log sits on the same
# full disk, its lines reach a person all the same (standard error on Linux,
# the fallback log in the temporary directory under Windows). With room
# made, the next run finishes byte-exact and fetches only what was missing.
# Needs a tmpfs mount (root); exits 77 (skipped) where none can be made.
source "$(dirname "$0")/lib.sh" "$@"

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=$$-$RANDOM
size=3145728
expected_package "$size" >"$WORK/expected"

disk="$WORK/disk"
mkdir -p "$disk"
if ! mount -t tmpfs -o size=1m,mode=0700 tmpfs "$disk" 2>/dev/null; then
  echo "skipped: no tmpfs can be mounted here"
  exit 77
fi
at_exit "umount '$disk'"
dl="$disk/dl"
mkdir -p "$dl"
echo "installed package" >"$dl/pkg.bin"

ver="e2e-$TAG-full.txt"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/pkg-%d.bin?full-%s\r\n' \
  "$NGINX_PORT" "$size" "$TAG" >"$WWW/$ver"

# Where the lines the log could not take go: standard error on Linux, the
# fallback log of the wine prefix's temporary directory under wine.
fallback() {
  if [ "$WIN32" = 1 ]; then
    find "$WINEPREFIX/drive_c" -path '*vornupdate/updatelog.txt' -exec cat {} + 2>/dev/null |
      iconv -f GBK -t UTF-8
  else
    cat "$WORK/full.err"
  fi
}
if [ "$WIN32" = 1 ]; then
  find "$WINEPREFIX/drive_c" -path '*vornupdate/updatelog.txt' -delete 2>/dev/null
fi

run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" \
  2>"$WORK/full.err"
rc=$?
[ "$rc" = 1 ] && pass "full disk: exit 1" || fail "full disk: exit $rc"
[ "$(cat "$dl/pkg.bin")" = "installed package" ] && pass "full disk: older package kept" \
  || fail "full disk: the older package changed"
part="$(native_path "$dl")$(sep)pkg.bin.part"
fallback | grep -qF "段：无法写入下载文件：$part：磁盘空间不足" \
  && pass "full disk: the segment's line names the part file and the full disk" \
  || fail "full disk: no segment line with the part file; fallback: $(fallback | tr '\n' '|')"
fallback | grep -qF "下载失败" && pass "full disk: the failure reached a person" \
  || fail "full disk: no failure line in the fallback"
fallback | grep -qF "无法写入更新日志：$(native_path "$dl")$(sep)updatelog.txt：磁盘空间不足" \
  && pass "full disk: the fallback says why the log did not take the lines" \
  || fail "full disk: no line about the log; fallback: $(fallback | tr '\n' '|')"
[ -f "$dl/pkg.bin.plan" ] && pass "full disk: plan kept" || fail "full disk: no plan"
kept=$(plan_bytes "$dl/pkg.bin.plan")

# Room again: the next run resumes from what reached the disk.
mount -o remount,size=16m "$disk" || fail "remount"
mark=$(wc -l <"$VORN_TEST_SERVERS/nginx-access.log")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" \
  2>"$WORK/room.err"
rc=$?
[ "$rc" = 0 ] && pass "room again: exit 0" || fail "room again: exit $rc; log: $(log_messages "$dl" | tr '\n' '|')"
same_bytes "$dl/pkg.bin" "$WORK/expected" && pass "room again: byte-exact" \
  || fail "room again: package wrong"
fetched=$(segment_bytes_since "$mark" "/pkg-$size.bin?full-$TAG")
[ "$kept" -gt 0 ] && [ "$fetched" -le $((size - kept)) ] \
  && pass "room again: fetched $fetched bytes, $kept were kept" \
  || fail "room again: fetched $fetched bytes with $kept kept"
[ -z "$(partial_files "$dl")" ] && pass "room again: nothing left beside the package" \
  || fail "room again: left $(partial_files "$dl")"

finish
