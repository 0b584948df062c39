#!/usr/bin/env bash
# A download directory on a full disk: a 1 MiB tmpfs, filled, for a 3 MiB
# package. The run fails before any byte of the package is fetched, without
# touching the older package, with a line that names the part file and
# 磁盘空间不足; as the log sits on the same full disk, its lines reach a
# person all the same (standard error on Linux, the fallback log in the
# temporary directory under Windows). With room made, the next run
# finishes byte-exact.
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
# Not a byte left, for the part file or the log.
dd if=/dev/zero of="$disk/filler" bs=64k status=none 2>/dev/null

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

mark=$(wc -l <"$VORN_TEST_SERVERS/nginx-access.log")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" \
  2>"$WORK/full.err"
rc=$?
sleep 0.5
[ "$rc" = 1 ] && pass "full disk: exit 1" || fail "full disk: exit $rc"
[ "$(cat "$dl/pkg.bin")" = "installed package" ] && pass "full disk: older package kept" \
  || fail "full disk: the older package changed"
part="$(native_path "$dl")$(sep)pkg.bin.part"
fallback | grep -qF "无法写入下载文件：$part：磁盘空间不足" && ! fallback | grep -qF "段：" \
  && pass "full disk: one line, before the transfer, names the part file and the full disk" \
  || fail "full disk: no line with the part file; fallback: $(fallback | tr '\n' '|')"
fetched=$(segment_bytes_since "$mark" "/pkg-$size.bin?full-$TAG")
[ "$fetched" = 0 ] && pass "full disk: no byte of the package fetched" \
  || fail "full disk: $fetched bytes fetched"
fallback | grep -qF "无法写入更新日志：$(native_path "$dl")$(sep)updatelog.txt：磁盘空间不足" \
  && pass "full disk: the fallback says why the log did not take the lines" \
  || fail "full disk: no line about the log; fallback: $(fallback | tr '\n' '|')"
[ -z "$(partial_files "$dl")" ] && pass "full disk: nothing left beside the package" \
  || fail "full disk: left $(partial_files "$dl")"

# Room again: the next run fetches the package.
rm -f "$disk/filler"
mount -o remount,size=16m "$disk" || fail "remount"
mark=$(wc -l <"$VORN_TEST_SERVERS/nginx-access.log")
run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" \
  2>"$WORK/room.err"
rc=$?
[ "$rc" = 0 ] && pass "room again: exit 0" || fail "room again: exit $rc; log: $(log_messages "$dl" | tr '\n' '|')"
same_bytes "$dl/pkg.bin" "$WORK/expected" && pass "room again: byte-exact" \
  || fail "room again: package wrong"
[ -z "$(partial_files "$dl")" ] && pass "room again: nothing left beside the package" \
  || fail "room again: left $(partial_files "$dl")"

finish
