#!/usr/bin/env bash
# The package checks for real: a key made and a release signed with the
# publishing scripts, a copy of the updater with the key file beside it,
# and nginx (four ranges) and Python's http.server (one connection):
#   - a good signed release is downloaded and started;
#   - mirrors that fail are set aside, each with a line, one that never
#     answers within seconds;
#   - a package changed on the server after signing is refused: the older
#     package stays, nothing is left to resume, no notice, no start;
#   - a key but a version file without SIG (even one that announces the
#     installed version), or with a bit flipped in any signed line or in
#     the signature, ends the run before the probe;
#   - a key file that is a directory stops the run;
#   - a wrong SIZE (no key) downloads nothing;
#   - a package swapped during the pause after the notice is not started;
#   - (Linux, as another user) links and a file planted by a third user in
#     a shared sticky directory are never written through.
# Under wine every run has the host dialog (test_host.exe) up: it records
# WM_COMMAND 32823 for the good releases and nothing for a refused one.
source "$(dirname "$0")/lib.sh" "$@"

WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=sig-$$-$RANDOM

# The updater copy that holds the key.
BIN_DIR="$WORK/bin"
mkdir -p "$BIN_DIR"
bash "$ROOT/scripts/make-key.sh" "$WORK/keys" >/dev/null || { echo "FAIL: make-key.sh" >&2; exit 1; }
KEYED_BIN="$BIN_DIR/$(basename "$VORN_BIN")"
cp "$VORN_BIN" "$KEYED_BIN"
cp "$WORK/keys/vornupdate.pub" "$BIN_DIR/$BOX_CAPTION.pub"

# The package: a program that leaves a marker beside itself when started.
if [ "$WIN32" = 1 ]; then
  PACKAGE_NAME=setup.exe
  cp "$HOST_TOOLS/marker_app.exe" "$WWW/$TAG.pkg"
  marker_of() { echo "$1/$PACKAGE_NAME.launched"; }
else
  PACKAGE_NAME=setup.sh
  { printf '#!/bin/sh\n# %s\n' "$(printf 'x%.0s' $(seq 1 120))"
    printf 'echo launched >"$0.launched"\n'; } >"$WWW/$TAG.pkg"
  chmod +x "$WWW/$TAG.pkg"
  marker_of() { echo "$1/$PACKAGE_NAME.launched"; }
fi
cp "$WWW/$TAG.pkg" "$WORK/good.pkg"
at_exit "rm -f '$WWW/$TAG'*"

# sign NAME URL [VERSION [OPTIONS...]]: a signed version file for the good
# package (or $SIGNED) into the docroot (VERSION 2.0 unless given).
sign() {
  local name=$1 url=$2 version=${3:-2.0}
  shift 2
  [ $# -gt 0 ] && shift
  bash "$ROOT/scripts/sign-release.sh" "$@" "${SIGNED:-$WORK/good.pkg}" "$url" "$version" \
    "$WORK/keys/release-key.pem" "$WWW/$TAG-$name.txt"
}

# check NAME DIR EXPECTED_LOG(lines) PACKAGE(good|old) STARTED(yes|no) ERR_FILE
check() {
  local what=$1 dl=$2 log=$3 package=$4 started=$5 err=$6
  if [ "$WIN32" = 1 ]; then
    local want=""
    [ "$started" = yes ] && want="command 32823"
    [ "$(cat "$dl.host" 2>/dev/null)" = "$want" ] && pass "$what: host record \"$want\"" \
      || fail "$what: host record \"$(cat "$dl.host" 2>/dev/null)\", wanted \"$want\""
  fi
  [ "$(log_messages "$dl")" = "$log" ] && pass "$what: log" \
    || fail "$what: log: $(log_messages "$dl" | tr '\n' '|')"
  if [ "$package" = good ]; then
    same_bytes "$dl/$PACKAGE_NAME" "${SIGNED:-$WORK/good.pkg}" && pass "$what: package byte-exact" \
      || fail "$what: package differs"
  else
    [ "$(cat "$dl/$PACKAGE_NAME" 2>/dev/null)" = "old package" ] && pass "$what: older package kept" \
      || fail "$what: older package not kept"
  fi
  [ -n "$(partial_files "$dl")" ] && fail "$what: part files left: $(ls "$dl" | tr '\n' ' ')" \
    || pass "$what: nothing left to resume"
  if [ "$started" = yes ]; then
    for _ in $(seq 1 100); do [ -f "$(marker_of "$dl")" ] && break; sleep 0.05; done
    [ -f "$(marker_of "$dl")" ] && pass "$what: started" || fail "$what: not started"
    grep -q "^\[$BOX_CAPTION\]" "$err" && pass "$what: notice shown" || fail "$what: no notice"
  else
    sleep 0.5
    [ -f "$(marker_of "$dl")" ] && fail "$what: a refused package was started" || pass "$what: not started"
    grep -q "^\[$BOX_CAPTION\]" "$err" && fail "$what: notice shown: $(cat "$err")" || pass "$what: no notice"
  fi
}

# run BIN NAME VERSION_FILE : one run into a fresh directory that holds an
# older package.
run() {
  local bin=$1 name=$2 ver=$3
  local dl="$WORK/$name" host="" title=Title
  mkdir -p "$dl"
  printf 'old package' >"$dl/$PACKAGE_NAME"
  if [ "$WIN32" = 1 ]; then
    title=vornhost
    start_host "$title" "$dl.host" || fail "$name: host dialog never got ready"
    host=$HOST_PID
  fi
  VORN_BIN=$bin run_updater "http://127.0.0.1:$NGINX_PORT/$ver" "1.0" "$(native_path "$dl")" \
    "$PACKAGE_NAME" "Execute" "$title" 2>"$WORK/$name.err"
  LAST_RC=$?
  [ -n "$host" ] && end_host "$host"
  return 0
}

for server in nginx python; do
  port=$NGINX_PORT
  [ $server = python ] && port=$PYTHON_PORT
  url="http://127.0.0.1:$port/$TAG.pkg"

  sign "$server" "$url"
  run "$KEYED_BIN" "good-$server" "$TAG-$server.txt"
  check "$server signed" "$WORK/good-$server" "$(printf '%s\n' 下载成功 更新新版本)" good yes "$WORK/good-$server.err"

  # One byte changed on the server after signing, the size kept.
  python3 -c 'import sys; p=sys.argv[1]; b=bytearray(open(p,"rb").read()); b[150]^=1; open(p,"wb").write(b)' "$WWW/$TAG.pkg"
  run "$KEYED_BIN" "changed-$server" "$TAG-$server.txt"
  check "$server changed after signing" "$WORK/changed-$server" \
    "$(printf '%s\n' "升级包SHA256校验失败，已删除下载的文件：$(native_path "$WORK/changed-$server")$(sep)$PACKAGE_NAME" 下载失败)" \
    old no "$WORK/changed-$server.err"
  cp "$WORK/good.pkg" "$WWW/$TAG.pkg"
done

# A key, and a version file without the signature line.
grep -v '^SIG=' "$WWW/$TAG-nginx.txt" >"$WWW/$TAG-unsigned.txt"
run "$KEYED_BIN" unsigned "$TAG-unsigned.txt"
check "no signature" "$WORK/unsigned" "版本文件没有签名" old no "$WORK/unsigned.err"

# A key, and an unsigned file that announces the installed version: refused
# before the versions are compared, never "latest".
printf 'VER=1.0\r\nURL=http://127.0.0.1:%s/%s.pkg\r\n' "$NGINX_PORT" "$TAG" >"$WWW/$TAG-freeze.txt"
run "$KEYED_BIN" freeze "$TAG-freeze.txt"
check "unsigned, installed version" "$WORK/freeze" "版本文件没有签名" old no "$WORK/freeze.err"

# Mirrors, signed with the package's SHA256 and SIZE: one that nobody
# serves (a port nobody listens on) and one that serves another file are
# each set aside with a line, and the package comes whole from its URL.
dead_port=$((BASE + 9))
cp "$WORK/good.pkg" "$WWW/$TAG-other.pkg"
printf 'another release' >>"$WWW/$TAG-other.pkg"
dead="http://127.0.0.1:$dead_port/$TAG.pkg"
other="http://127.0.0.1:$NGINX_PORT/$TAG-other.pkg"
sign mirrors "http://127.0.0.1:$NGINX_PORT/$TAG.pkg" 2.0 --mirror "$dead" --mirror "$other"
run "$KEYED_BIN" mirrors "$TAG-mirrors.txt"
check "mirrors, one dead, one of another file" "$WORK/mirrors" \
  "$(printf '%s\n' "下载源出错，本次不再使用：$dead：连接被拒绝" \
     "下载源出错，本次不再使用：$other：服务器的应答与请求不符" 下载成功 更新新版本)" \
  good yes "$WORK/mirrors.err"

# A mirror that accepts and never answers, for a package large enough for
# four connections: the connections on the package's URL take its ranges
# over within seconds (not the minute a head may take), its source is set
# aside with a line, and the package comes whole.
big="$WORK/big.pkg"
{ cat "$WORK/good.pkg"
  if [ "$WIN32" = 1 ]; then head -c 8388609 /dev/zero
  else printf 'exit 0\n#'; head -c 8388609 /dev/zero | tr '\0' x; fi; } >"$big"
cp "$big" "$WWW/$TAG-big.pkg"
silent="http://127.0.0.1:$FAULT_PORT/silent"
SIGNED=$big sign silent "http://127.0.0.1:$NGINX_PORT/$TAG-big.pkg" 2.0 --mirror "$silent"
began=$(date +%s)
run "$KEYED_BIN" silent "$TAG-silent.txt"
took=$(( $(date +%s) - began ))
SIGNED=$big check "a mirror that never answers" "$WORK/silent" \
  "$(printf '%s\n' "下载源出错，本次不再使用：$silent：连接超时" 下载成功 更新新版本)" \
  good yes "$WORK/silent.err"
[ "$took" -lt 30 ] && pass "a mirror that never answers: $took s" \
  || fail "a mirror that never answers: the run took $took s"

# Freshness: an expired file and an older version are refused on first
# contact; an older version signed as a rollback is downloaded and started.
url="http://127.0.0.1:$NGINX_PORT/$TAG.pkg"
sign expired "$url" 2.0 --expires 2020-01-01T00:00:00Z
run "$KEYED_BIN" expired "$TAG-expired.txt"
check "expired" "$WORK/expired" "版本文件已过期" old no "$WORK/expired.err"
sign older "$url" 0.9
run "$KEYED_BIN" older "$TAG-older.txt"
check "older version" "$WORK/older" "版本文件的版本低于已安装的版本" old no "$WORK/older.err"
sign rollback "$url" 0.9 --rollback
run "$KEYED_BIN" rollback "$TAG-rollback.txt"
check "rollback" "$WORK/rollback" "$(printf '%s\n' 下载成功 更新新版本)" good yes "$WORK/rollback.err"
# A replay: once a newer file was accepted in a directory, the older one
# (signed a second earlier) is refused there and nothing is started.
sleep 1
sign newer "$url" 2.0
run "$KEYED_BIN" replay "$TAG-newer.txt"
# The package it started writes its marker on its own time: wait for it
# before clearing, or it lands after and looks like the next run's.
for _ in $(seq 1 100); do [ -f "$(marker_of "$WORK/replay")" ] && break; sleep 0.05; done
rm -f "$WORK/replay/updatelog.txt" "$(marker_of "$WORK/replay")" "$WORK/replay.host"
run "$KEYED_BIN" replay "$TAG-rollback.txt"
# The refusal names the state file, which may be deleted.
check "replayed older file" "$WORK/replay" \
  "版本文件的日期早于已接受的版本文件：$(native_path "$WORK/replay")$(sep)updatestate.txt：版本状态文件可以删除" \
  old no "$WORK/replay.err"

# A key file that is a directory: no key is no option, the run stops with
# exit status 5 before anything is fetched.
DIR_KEY_BIN="$WORK/bin-dirkey/$(basename "$VORN_BIN")"
mkdir -p "$WORK/bin-dirkey/$BOX_CAPTION.pub"
cp "$VORN_BIN" "$DIR_KEY_BIN"
run "$DIR_KEY_BIN" dirkey "$TAG-freeze.txt"
[ "$LAST_RC" = 5 ] && pass "key file a directory: exit 5" || fail "key file a directory: exit $LAST_RC"
check "key file a directory" "$WORK/dirkey" \
  "公钥文件无效：$(native_path "$WORK/bin-dirkey")$(sep)$BOX_CAPTION.pub" old no "$WORK/dirkey.err"

# A bit flipped in each signed line and in the signature (in a digit, so
# every line keeps its form): each is refused before the probe.
for name in SHA256 SIZE VER URL SIG; do
  python3 - "$WWW/$TAG-nginx.txt" "$name" >"$WWW/$TAG-flip-$name.txt" <<'PY'
import sys
lines = open(sys.argv[1], 'rb').read().split(b'\n')
for k, line in enumerate(lines):
    if line.startswith(sys.argv[2].encode() + b'='):
        i = max(j for j, c in enumerate(line) if chr(c).isdigit())
        lines[k] = line[:i] + bytes([line[i] ^ 1]) + line[i + 1:]
sys.stdout.buffer.write(b'\n'.join(lines))
PY
  run "$KEYED_BIN" "flip-$name" "$TAG-flip-$name.txt"
  check "bit flipped in $name" "$WORK/flip-$name" "版本文件签名验证失败" old no "$WORK/flip-$name.err"
done

# No key, a wrong size: nothing is downloaded; the line names the server
# and both sizes.
printf 'SIZE=%s\r\nVER=2.0\r\nURL=http://127.0.0.1:%s/%s.pkg\r\n' 7 "$NGINX_PORT" "$TAG" >"$WWW/$TAG-size.txt"
run "$VORN_BIN" size "$TAG-size.txt"
check "wrong size" "$WORK/size" \
  "升级包大小与版本文件不符：127.0.0.1:$NGINX_PORT：SIZE 7, server $(stat -c %s "$WWW/$TAG.pkg")" old no "$WORK/size.err"

# The package swapped for another program during the pause after the
# notice: the checked file is held, the name no longer leads to it, and
# nothing is started.
dl="$WORK/swap"
mkdir -p "$dl"
sign swap "$url" 2.0
title=Title
if [ "$WIN32" = 1 ]; then
  title=vornhost
  start_host "$title" "$dl.host" || fail "swap: host dialog never got ready"
fi
VORN_BIN=$KEYED_BIN start_updater "http://127.0.0.1:$NGINX_PORT/$TAG-swap.txt" "1.0" "$(native_path "$dl")" \
  "$PACKAGE_NAME" "Execute" "$title" 2>"$WORK/swap.err"
pid=$UPDATER_PID
if wait_for_log "$dl" 30 "下载成功"; then
  cp "$WORK/good.pkg" "$dl/swapped" && mv -f "$dl/swapped" "$dl/$PACKAGE_NAME"
fi
wait "$pid"
[ -n "${UPDATER_WATCH_PID:-}" ] && wait "$UPDATER_WATCH_PID" 2>/dev/null
[ "$WIN32" = 1 ] && end_host "$HOST_PID"
[ "$(log_messages "$dl")" = "$(printf '%s\n' 下载成功 "升级包在校验之后被替换，没有启动：$(native_path "$dl")$(sep)$PACKAGE_NAME" 更新新版本)" ] \
  && pass "swapped during the pause: log" || fail "swapped during the pause: log: $(log_messages "$dl" | tr '\n' '|')"
sleep 0.5
[ -f "$(marker_of "$dl")" ] && fail "swapped during the pause: the swapped file was started" \
  || pass "swapped during the pause: not started"

# A shared directory (sticky, open to all) of another user, where a third
# user planted links to that user's own files at the names of the plan, its
# temporary file and the log, and a file of its own (open to all) at the
# part file's name: no link is written through, the planted bytes never
# become the package, and the download comes whole.
if [ "$WIN32" = 0 ]; then
  dl="$WORK/shared"
  mine="$WORK/mine"
  mkdir -p "$dl" "$mine"
  chown 65534:65534 "$dl" "$mine" && chmod 1777 "$dl"
  for f in plan-new plan log; do printf 'theirs' >"$mine/$f"; done
  chown -R 65534:65534 "$mine"
  chmod 711 "$WORK"
  plant() { setpriv --reuid=65533 --regid=65533 --clear-groups "$@" || fail "planting: $*"; }
  plant ln -s "$mine/plan-new" "$dl/$PACKAGE_NAME.plan.new"
  plant ln -s "$mine/plan" "$dl/$PACKAGE_NAME.plan"
  plant ln -s "$mine/log" "$dl/updatelog.txt"
  plant sh -c "printf planted >'$dl/$PACKAGE_NAME.part' && chmod 666 '$dl/$PACKAGE_NAME.part'"
  run_updater_as_other "http://127.0.0.1:$NGINX_PORT/$TAG-nginx.txt" "1.0" "$dl" "$PACKAGE_NAME" "Execute" Title \
    2>"$WORK/shared.err"
  rc=$?
  [ $rc -eq 0 ] && pass "planted links: the download comes whole (exit 0)" || fail "planted links: exit $rc"
  for f in plan-new plan log; do
    [ "$(cat "$mine/$f")" = theirs ] && pass "planted link to $f: not written through" \
      || fail "planted link to $f: written through"
  done
  same_bytes "$dl/$PACKAGE_NAME" "$WORK/good.pkg" && pass "planted part file: its bytes are not the package" \
    || fail "planted part file: the package differs"
fi

finish
