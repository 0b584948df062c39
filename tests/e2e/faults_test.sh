#!/usr/bin/env bash
# Segment answers that real servers rarely give, from the fault server: each
# either still yields a byte-exact package, or fails the download without
# touching the package and lets the next run resume.
source "$(dirname "$0")/lib.sh" "$@"

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=$$-$RANDOM
# Over 8 MiB: four connections, the third one's range from 4194304.
size=8388609
expected_package "$size" >"$WORK/expected"

run_case() {  # fault dir -> runs once, sets RC and SECONDS_TAKEN
  local fault=$1 dl=$2
  local ver="e2e-$TAG-$fault.txt"
  printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/file/pkg-%d.bin?fault=%s&token=%s%s\r\n' \
    "$FAULT_PORT" "$size" "$fault" "$TAG-$fault" "${AT:+&at=$AT}${ON:+&on=$ON}" >"$WWW/$ver"
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

# A wrong answer fails its segment and is not asked again: "下载失败", the old
# package untouched, no notice; the next run fetches what is missing. (The
# probe's answer is right: a whole file there is the package of a server
# without ranges.)
fault=ignore-range
dl="$WORK/$fault"
mkdir -p "$dl"
echo "installed package" >"$dl/pkg.bin"
ON=segment run_case "$fault" "$dl"
[ "$(cat "$dl/pkg.bin")" = "installed package" ] && pass "$fault: package untouched" \
  || fail "$fault: package changed"
[ "$(log_messages "$dl" | tail -n 1)" = "下载失败" ] && ! log_messages "$dl" | grep -q "秒后重试" \
  && pass "$fault: failure logged, no retry" || fail "$fault: log $(log_messages "$dl")"
grep -q "自动更新信息" "$dl.err" && fail "$fault: notice shown for a failed download" \
  || pass "$fault: no notice"
[ -f "$dl/pkg.bin.plan" ] && pass "$fault: plan kept" || fail "$fault: no plan file"
ON=segment run_case "$fault" "$dl"
cmp -s "$dl/pkg.bin" "$WORK/expected" && pass "$fault: resumed byte-exact" \
  || fail "$fault: second run package wrong"
[ -z "$(partial_files "$dl")" ] && pass "$fault: part files gone" || fail "$fault: part files left"

# One connection cut (close-early) or slower than 1 KiB/s for a minute
# (trickle: a byte every 2 s, no receive ever times out) is asked again
# within the run for the bytes it lacks: one retry line that names the
# segment and the reason, and the package byte-exact in the same run.
for fault in close-early trickle; do
  dl="$WORK/$fault"
  mkdir -p "$dl"
  echo "installed package" >"$dl/pkg.bin"
  AT=4194304 run_case "$fault" "$dl"
  cmp -s "$dl/pkg.bin" "$WORK/expected" && pass "$fault: byte-exact in one run ($SECONDS_TAKEN s)" \
    || fail "$fault: package wrong or missing; log $(log_messages "$dl" | tr '\n' '|')"
  retries=$(log_messages "$dl" | grep "秒后重试")
  case "$fault" in close-early) reason="" ;; trickle) reason="：连接超时" ;; esac
  [ "$(printf '%s\n' "$retries" | grep -c .)" = 1 ] \
    && printf '%s' "$retries" | grep -qF "第3段：连接中断或超时：127.0.0.1:$FAULT_PORT$reason" \
    && printf '%s' "$retries" | grep -qF "，1秒后重试（第1次）" \
    && pass "$fault: one retry line: $retries" || fail "$fault: retry lines: $(log_messages "$dl" | tr '\n' '|')"
  # Nothing that segment 3 had received (the first half of its 2 MiB) was
  # asked for again, by its retry or by a connection that took over part
  # of it.
  again=$(ranges_requested "$fault" | sed -n 's/^bytes=\([0-9]*\)-\([0-9]*\)$/\1 \2/p' \
    | awk '$2 >= 4194304 && $1 <= 6291455 { n++; if (n > 1 && $1 < 5242880) print }')
  [ -z "$again" ] && [ "$(ranges_requested "$fault" | grep -c '^bytes=4194304-')" = 1 ] \
    && pass "$fault: no received byte asked for again" \
    || fail "$fault: asked again: $(ranges_requested "$fault" | tr '\n' ' ')"
done
[ "$SECONDS_TAKEN" -le 75 ] && pass "trickle: retried at the low-speed bound" \
  || fail "trickle: took $SECONDS_TAKEN s"

# One slow connection among fast ones (slow-lane: every connection at
# 8 MiB/s, the one that reads the probe's answer at 512 KiB/s). A package
# this small starts as the probe's answer alone; the connections standing
# by take over what the slow one's range still needs, the package is
# byte-exact, and the slow connection carries less than a quarter.
lane_size=3145728
expected_package "$lane_size" >"$WORK/expected-lane"
dl="$WORK/slow-lane"
mkdir -p "$dl"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/file/pkg-%d.bin?fault=slow-lane&lane=first&slow=524288&token=%s\r\n' \
  "$FAULT_PORT" "$lane_size" "$TAG-lane" >"$WWW/e2e-$TAG-lane.txt"
run_updater "http://127.0.0.1:$NGINX_PORT/e2e-$TAG-lane.txt" "1.0" "$(native_path "$dl")" "pkg.bin" "" "Title" 2>"$dl.err"
cmp -s "$dl/pkg.bin" "$WORK/expected-lane" && pass "slow lane: byte-exact" \
  || fail "slow lane: package wrong or missing; log $(log_messages "$dl" | tr '\n' '|')"
lanes=$(curl -s --max-time 5 "http://127.0.0.1:$FAULT_PORT/lanes?token=$TAG-lane")
# The connection paced at the slow rate (the server hands the slowness on
# when a first connection closes early, and marks it so).
slow=$(printf '%s\n' "$lanes" | awk -F '\t' '$4 == 524288 {print $6}')
[ -n "$slow" ] && [ "$(printf '%s\n' "$slow" | awk -v q=$((lane_size / 4)) '$1 >= q' | wc -l)" = 0 ] \
  && pass "slow lane: the slow connection carried $slow bytes, less than its quarter" \
  || fail "slow lane: connections: $(printf '%s' "$lanes" | tr '\t\n' ' |')"

rm -f "$WWW"/e2e-$TAG-*
finish
