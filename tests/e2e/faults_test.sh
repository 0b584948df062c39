#!/usr/bin/env bash
# Segment answers that real servers rarely give, from the fault server: each
# either still yields a byte-exact package, or fails the download without
# touching the package and lets the next run resume.
source "$(dirname "$0")/lib.sh" "$@"

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=$$-$RANDOM
size=65536
expected_package "$size" >"$WORK/expected"

run_case() {  # fault dir -> runs once, sets RC and SECONDS_TAKEN
  local fault=$1 dl=$2
  local ver="e2e-$TAG-$fault.txt"
  printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/file/pkg-%d.bin?fault=%s&token=%s\r\n' \
    "$FAULT_PORT" "$size" "$fault" "$TAG-$fault" >"$WWW/$ver"
  local t0=$(date +%s)
  run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" 2>"$dl.err"
  SECONDS_TAKEN=$(( $(date +%s) - t0 ))
}

ranges_requested() {  # the Range headers the fault server saw for this tag
  curl -s "http://127.0.0.1:$FAULT_PORT/log?tag=$TAG" | awk -F '\t' -v f="$1" '$2 ~ "fault=" f {print $4}'
}

# Faults that a worker must get through: the package is byte-exact at once.
for fault in extra short-header; do
  dl="$WORK/$fault"
  run_case "$fault" "$dl"
  cmp -s "$dl/pkg.bin" "$WORK/expected" && pass "$fault: byte-exact" || fail "$fault: package wrong or missing"
  [ "$(log_messages "$dl")" = "$(printf '%s\n' 下载成功 更新新版本)" ] && pass "$fault: log" \
    || fail "$fault: log $(log_messages "$dl")"
  [ "$SECONDS_TAKEN" -lt 30 ] && pass "$fault: took $SECONDS_TAKEN s" || fail "$fault: took $SECONDS_TAKEN s"
done

# Faults that fail segments: "下载失败", the old package untouched, no notice;
# then the next run fetches only what is missing and completes.
# A trickle (a byte every 2 s: no receive ever times out) ends at the
# low-speed bound, one 60 s window, with the stall line.
for fault in ignore-range close-early trickle; do
  dl="$WORK/$fault"
  mkdir -p "$dl"
  echo "installed package" >"$dl/pkg.bin"
  run_case "$fault" "$dl"
  [ "$(cat "$dl/pkg.bin")" = "installed package" ] && pass "$fault: package untouched" \
    || fail "$fault: package changed"
  # A line that names the failed segment and its reason, then the failure.
  [ "$(log_messages "$dl" | tail -n 1)" = "下载失败" ] && [ "$(log_messages "$dl" | wc -l)" -ge 2 ] \
    && pass "$fault: failure logged" \
    || fail "$fault: log $(log_messages "$dl")"
  grep -q "自动更新信息" "$dl.err" && fail "$fault: notice shown for a failed download" \
    || pass "$fault: no notice"
  [ -f "$dl/pkg.bin.plan" ] && pass "$fault: plan kept" || fail "$fault: no plan file"
  echo "$fault: first run took $SECONDS_TAKEN s"
  if [ "$fault" = trickle ]; then
    log_messages "$dl" | grep -qF "段：连接中断或超时：127.0.0.1:$FAULT_PORT" && [ "$SECONDS_TAKEN" -le 75 ] \
      && pass "trickle: ended at the low-speed bound ($SECONDS_TAKEN s) with the stall line" \
      || fail "trickle: $SECONDS_TAKEN s, log $(log_messages "$dl" | tr '\n' '|')"
  fi

  run_case "$fault" "$dl"
  cmp -s "$dl/pkg.bin" "$WORK/expected" && pass "$fault: resumed byte-exact" \
    || fail "$fault: second run package wrong"
  [ "$(log_messages "$dl" | tail -n 2)" = "$(printf '%s\n' 下载成功 更新新版本)" ] \
    && pass "$fault: second run log" || fail "$fault: second run log $(log_messages "$dl")"
  [ -n "$(partial_files "$dl")" ] && fail "$fault: part files left" || pass "$fault: part files gone"
done

# After close-early, the second run asked only for the halves that were
# missing: ranges that start in the middle of segments 1 to 3.
second=$(ranges_requested close-early | grep -v '^bytes=100-$' | tail -n 3 | sort -t= -k2 -n | tr '\n' ' ')
[ "$second" = "bytes=24576-32767 bytes=40960-49151 bytes=57344-65535 " ] \
  && pass "close-early: resumed from the missing bytes" || fail "close-early: second run asked for: $second"

rm -f "$WWW"/e2e-$TAG-*
finish
