#!/usr/bin/env bash
# The whole road on the real Win32 calls, under wine on one virtual display:
# a host dialog of ours (tests/host, test_host.exe) whose "Button" child
# carries a Chinese title; the updater fetches a version file, downloads the
# package from nginx (under 1 MiB: the probe's answer and its first 100
# bytes), sends the host WM_COMMAND 32823,
# shows the completion notice (found by its caption and dismissed by
# dismiss_box.exe), pauses 4000 ms and opens the package with the shell.
# The package is marker_app.exe, which leaves a marker next to itself.
#
# Two rounds, both with the ANSI code page 936: under zh_CN.UTF-8 the title
# is given in UTF-8 (wine hands the programs GBK bytes), under zh_CN.GBK it
# is given as the GBK bytes themselves. The locales are generated into the
# build directory when the system lacks them. A third round takes the road
# in a download directory past MAX_PATH (over 300 characters): the log, the
# plan, the part file and the package there, and the launch from there.
source "$(dirname "$0")/lib.sh" "$@"

if [ "$WIN32" != 1 ]; then
  echo "skipped: Windows only"
  exit 0
fi

START=$(date +%s)
WWW=${VORN_TEST_SERVERS:?VORN_TEST_SERVERS must be set}/www
TAG=host-$$-$RANDOM
for tool in test_host dismiss_box marker_app; do
  if [ ! -f "$HOST_TOOLS/$tool.exe" ]; then
    echo "FAIL: $HOST_TOOLS/$tool.exe is missing (build the test programs)" >&2
    exit 1
  fi
done

# The package and the version file that announces it.
cp "$HOST_TOOLS/marker_app.exe" "$WWW/$TAG.exe"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%s/%s.exe' "$NGINX_PORT" "$TAG" >"$WWW/$TAG.txt"
at_exit "rm -f '$WWW/$TAG.exe' '$WWW/$TAG.txt'"

# Locales for the wine programs (only theirs, through wine-run.sh's
# VORN_WINE_LOCALE: the script's own tools keep the caller's locale).
LOCALES="$BUILD_DIR/e2e-locales"
locale_dir() {  # NAME CHARMAP: echoes the LOCPATH under which NAME exists
  local name=$1 charmap=$2
  if [ "$(LC_ALL=$name locale charmap 2>/dev/null)" = "$charmap" ]; then
    echo ""
    return 0
  fi
  if [ ! -d "$LOCALES/$name" ]; then
    mkdir -p "$LOCALES"
    localedef -i zh_CN -f "$charmap" "$LOCALES/$name.partial.$$" >/dev/null 2>&1 &&
      mv "$LOCALES/$name.partial.$$" "$LOCALES/$name" 2>/dev/null
    rm -rf "$LOCALES/$name.partial.$$"
  fi
  [ "$(LOCPATH=$LOCALES LC_ALL=$name locale charmap 2>/dev/null)" = "$charmap" ] || return 1
  echo "$LOCALES"
}

# No blank in the title: wine builds the Windows command line from the
# arguments and quotes one that holds a blank, and the quote would become
# part of the last field (the updater keeps quotes, as a host that quotes
# would see on Windows too).
TITLE_UTF8="vorn测试主机"
TITLE_GBK=$(printf '%s' "$TITLE_UTF8" | iconv -f UTF-8 -t GBK)
# The completion notice in GBK, and as shown.
NOTICE_GBK=$(printf '\xd7\xd4\xb6\xaf\xb8\xfc\xd0\xc2\xd0\xc5\xcf\xa2\xa3\xba\n\n\xcf\xb5\xcd\xb3\xd2\xd1\xbe\xad\xb3\xc9\xb9\xa6\xcf\xc2\xd4\xd8\xc1\xcb\xd0\xc2\xb0\xe6\xb1\xbe\xa3\xac\xc7\xeb\xd6\xd8\xd0\xc2\xc6\xf4\xb6\xaf\xb3\xcc\xd0\xf2!\nX')
NOTICE_GBK=${NOTICE_GBK%X}
NOTICE_UTF8=$(printf '自动更新信息：\n\n系统已经成功下载了新版本，请重新启动程序!\nX')
NOTICE_UTF8=${NOTICE_UTF8%X}
# The two log lines after their prefixes: 下载成功, 更新新版本.
LINE_DONE=$(printf '\xcf\xc2\xd4\xd8\xb3\xc9\xb9\xa6')
LINE_UPDATE=$(printf '\xb8\xfc\xd0\xc2\xd0\xc2\xb0\xe6\xb1\xbe')

# A file's modification time in seconds (nan when it is missing, which
# fails every comparison).
mtime() { stat -c %.3Y "$1" 2>/dev/null || echo nan; }
# Whether $1 - $2 (seconds, with fractions) is at least $3.
at_least() { python3 -c 'import sys; sys.exit(0 if float(sys.argv[1]) - float(sys.argv[2]) >= float(sys.argv[3]) else 1)' "$@"; }

# wait_file FILE SECONDS
wait_file() {
  local i
  for i in $(seq 1 $(($2 * 20))); do [ -e "$1" ] && return 0; sleep 0.05; done
  return 1
}

# road ROUND LOCALE CHARMAP TITLE_ARGUMENT [DEEPER]: DEEPER is a path under
# the round's download directory to download into instead.
road() {
  local round=$1 loc=$2 charmap=$3 title=$4 deeper=${5:-}
  local dl="$WORK/$round/download${deeper:+/$deeper}" rec="$WORK/$round/host.rec" locpath
  mkdir -p "$WORK/$round"
  [ -n "$deeper" ] && mkdir -p "$dl"
  if ! locpath=$(locale_dir "$loc" "$charmap"); then
    fail "$round: no locale $loc ($charmap) and none could be generated"
    return
  fi

  # The host dialog, up before the updater looks for it.
  local host
  if ! VORN_WINE_LOCALE=$loc VORN_WINE_LOCPATH=$locpath start_host "$title" "$rec"; then
    fail "$round: host dialog never got ready"
    end_host "$HOST_PID" 2>/dev/null
    return
  fi
  host=$HOST_PID
  local caption
  caption=$(sed -n 's/^caption //p' "$rec.ready")
  [ "$caption" = "$TITLE_UTF8" ] && pass "$round: host button captioned \"$caption\"" \
    || fail "$round: host button caption \"$caption\", wanted \"$TITLE_UTF8\""

  # The updater, bounded; the boxes of the run are dismissed by lib.sh's
  # watcher, which records them in LAST_BOX_DIR.
  local t0 t1 rc
  t0=$(date +%s.%N)
  VORN_WINE_LOCALE=$loc VORN_WINE_LOCPATH=$locpath run_updater_within 30 \
    "http://127.0.0.1:$NGINX_PORT/$TAG.txt" "1.0" "$(native_path "$dl")" "setup.exe" "Execute" "$title" \
    2>"$WORK/$round/updater.err"
  rc=$?
  t1=$(date +%s.%N)
  local boxes=$LAST_BOX_DIR
  [ $rc -eq 0 ] && pass "$round: updater ended, exit 0 ($(python3 -c "print(f'{$t1-$t0:.1f}')") s)" \
    || fail "$round: updater exit $rc (137: killed at the 30 s bound)"

  # The host got the command (and ended on it).
  end_host "$host"
  local host_rc=$?
  [ "$(cat "$rec" 2>/dev/null)" = "command 32823" ] && [ $host_rc -eq 0 ] \
    && pass "$round: host recorded command 32823" \
    || fail "$round: host record \"$(cat "$rec" 2>/dev/null)\", host exit $host_rc"

  # One box, captioned with the program's name, with the notice, dismissed.
  [ "$(cat "$boxes/boxes.txt" 2>/dev/null)" = "box 1 acp 936 dismissed" ] \
    && pass "$round: one notice box found by its caption and dismissed (code page 936)" \
    || fail "$round: boxes: $(cat "$boxes/boxes.txt" 2>/dev/null || echo none)"
  [ "$(cat "$boxes/box-1.ansi" 2>/dev/null; echo X)" = "${NOTICE_GBK}X" ] \
    && pass "$round: notice text, GBK bytes" \
    || fail "$round: notice bytes: $(od -An -tx1 "$boxes/box-1.ansi" 2>/dev/null | head -3)"
  [ "$(cat "$boxes/box-1.utf8" 2>/dev/null; echo X)" = "${NOTICE_UTF8}X" ] \
    && pass "$round: notice shown as Chinese text" \
    || fail "$round: notice shown as: $(cat "$boxes/box-1.utf8" 2>/dev/null)"
  grep -qF "[vornupdate] 自动更新信息：" "$WORK/$round/updater.err" \
    && pass "$round: box reported on standard error" \
    || fail "$round: stderr: $(head -c 300 "$WORK/$round/updater.err")"
  # SendMessageA is synchronous: the host had its command before the box.
  at_least "$(mtime "$boxes/box-1.ansi")" "$(mtime "$rec")" 0 \
    && pass "$round: command before the notice" \
    || fail "$round: notice ($(mtime "$boxes/box-1.ansi")) before the command ($(mtime "$rec"))"

  # The log: exactly the two lines, in order, after 13-byte prefixes.
  local log="$dl/updatelog.txt"
  if [ "$(wc -l <"$log" 2>/dev/null)" = 2 ] &&
     [ "$(sed -n 1p "$log" | cut -b14- | tr -d '\r')" = "$LINE_DONE" ] &&
     [ "$(sed -n 2p "$log" | cut -b14- | tr -d '\r')" = "$LINE_UPDATE" ] &&
     [ "$(tr -cd '\r' <"$log" | wc -c)" = 2 ]; then
    pass "$round: log 下载成功 then 更新新版本 (GBK, CR LF)"
  else
    fail "$round: log: $(log_utf8 "$dl")"
  fi

  # The package, byte-exact; nothing of the download left behind.
  same_bytes "$dl/setup.exe" "$WWW/$TAG.exe" \
    && pass "$round: package byte-exact ($(stat -c %s "$WWW/$TAG.exe") bytes)" \
    || fail "$round: package differs ($(stat -c %s "$dl/setup.exe" 2>/dev/null) of $(stat -c %s "$WWW/$TAG.exe") bytes)"
  [ -n "$(partial_files "$dl")" ] && fail "$round: part files left: $(ls "$dl")" \
    || pass "$round: no part files left"

  # The launch: the package ran from the download directory, 4000 ms or
  # more after the box was closed.
  local marker="$dl/setup.exe.launched"
  if wait_file "$marker" 8; then
    local who
    who=$(sed -n 's/^launched //p' "$marker" | tr -d '\r')
    # Past MAX_PATH the package is started by its short name; the marker
    # beside it in the long directory says that it was this file.
    if [ -n "$deeper" ]; then
      [[ "${who,,}" == *'\setup.exe' ]] && pass "$round: package launched as $who" \
        || fail "$round: launched as \"$who\""
    else
      [ "${who,,}" = "$(native_path "$dl/setup.exe" | tr 'A-Z' 'a-z')" ] \
        && pass "$round: package launched as $who" \
        || fail "$round: launched as \"$who\", wanted $(native_path "$dl/setup.exe")"
    fi
    at_least "$(mtime "$marker")" "$(mtime "$boxes/boxes.txt")" 3.9 \
      && pass "$round: launch $(python3 -c "print(f'{$(mtime "$marker") - $(mtime "$boxes/boxes.txt"):.2f}')") s after the notice closed" \
      || fail "$round: launch at $(mtime "$marker"), notice closed at $(mtime "$boxes/boxes.txt")"
  else
    fail "$round: no launch marker; download dir: $(ls "$dl" 2>/dev/null)"
  fi
}

road utf8 zh_CN.UTF-8 UTF-8 "$TITLE_UTF8"
if [ $(($(date +%s) - START)) -le 55 ]; then
  road gbk zh_CN.GBK GBK "$TITLE_GBK"
else
  fail "no time left for the GBK round after $(($(date +%s) - START)) s"
fi
deep=$(printf 'a-directory-name-of-forty-characters-%02d/' $(seq 1 8))
deep=${deep%/}
road deep zh_CN.UTF-8 UTF-8 "$TITLE_UTF8" "$deep"
[ ${#deep} -ge 300 ] && pass "deep: the download directory is over 300 characters" \
  || fail "deep: the directory is only ${#deep} characters"
echo "took $(($(date +%s) - START)) s"
finish
