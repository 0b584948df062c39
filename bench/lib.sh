# What the benchmark scripts share; sourced by them.

# The script's own header comment, as its --help.
usage() { sed -n '2,/^set -uo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'; }

say() { printf '%s\n' "$*" >&2; }

# wine_path DIR: the Z:\... path a Win32 program is given for DIR.
wine_path() { printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"; }

# nginx_conf WORK WWW PORT [SERVER_LINES] [HTTP_LINES]: writes
# WORK/nginx.conf for an nginx that runs as the caller (its pid file, logs
# and temporary files in WORK) and serves WWW on 127.0.0.1:PORT with
# sendfile and keep-alive; SERVER_LINES go inside that server, HTTP_LINES
# after it (another server). With NGINX_LOG_FORMAT set, the access log
# (WORK/nginx-access.log) has that format (nginx variables; no single
# quotes).
nginx_conf() {
  local work=$1 www=$2 port=$3 server_lines=${4:-} http_lines=${5:-}
  local user_line=
  [ "$(id -u)" = 0 ] && user_line="user $(id -un) $(id -gn);"
  cat >"$work/nginx.conf" <<CONF
$user_line
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 256; }
http {
${NGINX_LOG_FORMAT:+  log_format bench '$NGINX_LOG_FORMAT';
}  access_log $work/nginx-access.log${NGINX_LOG_FORMAT:+ bench};
  client_body_temp_path $work/nginx-temp/body;
  proxy_temp_path $work/nginx-temp/proxy;
  fastcgi_temp_path $work/nginx-temp/fastcgi;
  uwsgi_temp_path $work/nginx-temp/uwsgi;
  scgi_temp_path $work/nginx-temp/scgi;
  types { text/plain txt; application/octet-stream bin; }
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  keepalive_requests 1000;
  server {
    listen 127.0.0.1:$port;
    root $www;
$server_lines
  }
$http_lines
}
CONF
}

# same_page_cache FILE: before a run (not timed), nothing left to write
# back, the caches dropped where this user may, and FILE read once, so
# that every run of every tool starts from the same page cache.
same_page_cache() {
  sync
  echo 3 >/proc/sys/vm/drop_caches 2>/dev/null
  cat "$1" >/dev/null
}

# shellcheck disable=SC2034  # used by the scripts that source this file
SUCCESS_HEX=cfc2d4d8b3c9b9a6  # 下载成功 in GBK, the client's success line

# apt_install PACKAGE...: bounded and quiet; fails when INSTALL is 0, when
# not root, or offline.
apt_install() {
  [ "${INSTALL:-1}" = 1 ] && [ "$(id -u)" = 0 ] || return 1
  say "installing $*"
  DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install -y -q "$@" >/dev/null 2>&1 && return 0
  timeout 300 apt-get update -q >/dev/null 2>&1
  DEBIAN_FRONTEND=noninteractive timeout 300 apt-get install -y -q "$@" >/dev/null 2>&1
}

# find_nginx: NGINX set to nginx's path (installed if missing and allowed),
# or fails.
find_nginx() {
  command -v nginx >/dev/null 2>&1 || [ -x /usr/sbin/nginx ] || apt_install nginx-light
  NGINX=${NGINX:-$(command -v nginx || echo /usr/sbin/nginx)}
  [ -x "$NGINX" ] || { say "nginx is missing"; return 1; }
}

# find_peers "curl axel aria2c": PEER_PATHS set to "name:path" of each
# peer that is installed (installed here if missing and allowed); the
# others are skipped with a word.
find_peers() {
  local peer pkg
  PEER_PATHS=()
  for peer in $1; do
    case "$peer" in
      curl) pkg=curl ;; axel) pkg=axel ;; aria2c) pkg=aria2 ;;
      *) say "skipping $peer: not a known peer (curl, axel, aria2c)"; continue ;;
    esac
    command -v "$peer" >/dev/null 2>&1 || apt_install "$pkg"
    if ! command -v "$peer" >/dev/null 2>&1; then say "skipping $peer: not installed"; continue; fi
    PEER_PATHS+=("$peer:$(command -v "$peer")")
  done
}

# make_file SIZE_MIB PATH: incompressible, with no repeats at any offset.
make_file() {
  local mib=$1 path=$2
  if command -v openssl >/dev/null 2>&1; then
    openssl enc -aes-128-ctr -nosalt -pass pass:vorn-bench-$mib -pbkdf2 </dev/zero 2>/dev/null |
      head -c $((mib * 1048576)) >"$path"
  fi
  [ "$(stat -c %s "$path" 2>/dev/null)" = $((mib * 1048576)) ] ||
    head -c $((mib * 1048576)) /dev/urandom >"$path"
}

# make_tls DIR: a CA of this run (DIR/ca.pem) and a certificate from it
# for 127.0.0.1 (DIR/server.pem, DIR/server.key), the address every https
# run asks. axel 2.17 matches the address it connected to against the DNS
# names alone, so the address stands there as well as among the IP
# addresses.
make_tls() {
  (
    cd "$1" || exit 1
    openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -keyout ca.key -out ca.pem \
      -subj "/CN=vorn bench CA" -addext "basicConstraints=critical,CA:TRUE" \
      -addext "keyUsage=critical,keyCertSign,cRLSign" &&
      openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
        -subj "/CN=127.0.0.1" &&
      printf '%s\n' "basicConstraints=critical,CA:FALSE" "extendedKeyUsage=serverAuth" \
        "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1" >server.ext &&
      openssl x509 -req -sha256 -days 2 -in server.csr -CA ca.pem -CAkey ca.key \
        -CAcreateserial -extfile server.ext -out server.pem
  ) >/dev/null 2>&1
}

# nginx_tls_server PORT TLS_DIR WWW: a second nginx server, the same files
# over TLS 1.2 or 1.3 with make_tls's certificate (for nginx_conf's
# HTTP_LINES).
nginx_tls_server() {
  printf '%s\n' "  server {" "    listen 127.0.0.1:$1 ssl;" \
    "    ssl_certificate $2/server.pem;" "    ssl_certificate_key $2/server.key;" \
    "    ssl_protocols TLSv1.2 TLSv1.3;" "    ssl_session_cache shared:bench_tls:1m;" \
    "    root $3;" "  }"
}

# start_nginx WORK WWW PORT [TLS_PORT CA_PEM]: starts nginx with WORK's
# config (NGINX_PID its pid) and waits until it answers on PORT, and over
# https on TLS_PORT; else fails with its error log.
start_nginx() {
  local work=$1 www=$2 port=$3 tls_port=${4:-} ca=${5:-} up=0
  "$NGINX" -p "$work" -c "$work/nginx.conf" -e "$work/nginx-error.log" </dev/null >"$work/nginx.out" 2>&1 &
  NGINX_PID=$!
  echo ok >"$www/ping.txt"
  for _ in $(seq 1 100); do
    curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/ping.txt" && { up=1; break; }
    kill -0 "$NGINX_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ "$up" = 1 ] && [ -n "$tls_port" ]; then
    up=0
    for _ in $(seq 1 50); do
      curl -s -o /dev/null --max-time 1 --cacert "$ca" "https://127.0.0.1:$tls_port/ping.txt" && { up=1; break; }
      sleep 0.1
    done
  fi
  [ "$up" = 1 ] && return 0
  say "nginx did not come up on 127.0.0.1:$port${tls_port:+ and $tls_port}:"
  cat "$work/nginx-error.log" "$work/nginx.out" >&2 2>/dev/null
  return 1
}

# stop_pid PID...: ends processes this script started (TERM, KILL after
# 5 s).
stop_pid() {
  local pid
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    kill "$pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
}

# client_cmd PATH VER_URL DIR PKG [CA_DIR]: CMD set to the client's command
# line as throughput.sh runs it: no display (the notice goes to standard
# error), an XDG_RUNTIME_DIR of its own (DIR.xdg, made here, so that no
# other run's single-instance guard meets it), the package PKG into DIR.
# With CA_DIR, OpenSSL's default locations hold that CA (ca.pem) alone.
client_cmd() {
  local path=$1 ver=$2 dir=$3 pkg=$4 ca_dir=${5:-}
  rm -rf "$dir.xdg"
  mkdir -m 700 "$dir.xdg"
  CMD=(env -u DISPLAY "XDG_RUNTIME_DIR=$dir.xdg")
  [ -n "$ca_dir" ] && CMD+=("SSL_CERT_FILE=$ca_dir/ca.pem" "SSL_CERT_DIR=$ca_dir")
  CMD+=("$path" ";$ver;1.0;$dir;$pkg;;Bench")
}

# peer_cmd NAME PATH URL DIR PKG [CA_DIR]: CMD set to a peer's command
# line fetching URL into DIR/PKG (DIR made here), as throughput.sh runs
# it: curl -s, axel -n 4, aria2c -x4 -s4 -k1M (its default smallest piece,
# 20 MiB, would give a small file fewer than four connections). With
# CA_DIR, each trusts that CA its own way, none skips the check.
peer_cmd() {
  local name=$1 path=$2 url=$3 dir=$4 pkg=$5 ca_dir=${6:-}
  mkdir -p "$dir"
  case "$name" in
    curl)
      CMD=("$path" -s -o "$dir/$pkg" "$url")
      [ -n "$ca_dir" ] && CMD+=(--cacert "$ca_dir/ca.pem") ;;
    axel)
      CMD=("$path" -n 4 -q -o "$dir/$pkg" "$url")
      [ -n "$ca_dir" ] && CMD=(env "SSL_CERT_FILE=$ca_dir/ca.pem" "SSL_CERT_DIR=$ca_dir" "${CMD[@]}") ;;
    aria2c)
      CMD=("$path" -x4 -s4 -k1M -q --allow-overwrite=true --file-allocation=none -d "$dir" -o "$pkg" "$url")
      [ -n "$ca_dir" ] && CMD+=("--ca-certificate=$ca_dir/ca.pem") ;;
  esac
}

# add_clients LABEL=PATH...: each an executable build of the client, added
# to TOOLS as client:LABEL:ABSOLUTE_PATH; one that is not executable is
# skipped with a line saying so.
add_clients() {
  local client label path
  for client in "$@"; do
    label=${client%%=*} path=${client#*=}
    if [ ! -x "$path" ]; then say "skipping client $label: $path is not an executable"; continue; fi
    TOOLS+=("client:$label:$(cd "$(dirname "$path")" && pwd)/$(basename "$path")")
  done
}

# check_file GOT WANT: prints exact, DIFFERS or missing.
check_file() {
  if [ ! -f "$1" ]; then echo missing
  elif cmp -s "$1" "$2"; then echo exact
  else echo DIFFERS; fi
}

# write_run_helper FILE: the run helper of the scripts that time to the
# client's success line.
#   python3 FILE --timeout S [--log LOG --marker HEX [--grace S]]
#                [--stderr FILE] -- COMMAND...
# runs COMMAND in its own session. With --log, the wall time is until the
# marker bytes appear in LOG (polled every 3 ms); the process is then given
# --grace seconds (30) to end, else ended. Without, it is until COMMAND
# ends. Prints "wall exit_status state", state one of ok, ended (ended
# after its success line), failed, nolog (no log appeared), timeout.
write_run_helper() {
  cat >"$1" <<'EOF'
import os, signal, subprocess, sys, time
argv = sys.argv[1:]
split = argv.index("--")
o = dict(zip(argv[:split:2], argv[1:split:2]))
cmd = argv[split + 1:]
limit = float(o["--timeout"])
grace = float(o.get("--grace", "30"))
log = o.get("--log")
marker = bytes.fromhex(o["--marker"]) if "--marker" in o else None
err = open(o.get("--stderr", os.devnull), "wb")

def end(p):
    try:
        os.killpg(p.pid, signal.SIGKILL)
    except OSError:
        pass
    p.wait()

t0 = time.monotonic()
p = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                     start_new_session=True)
signal.signal(signal.SIGTERM, lambda *_: (end(p), sys.exit(130)))
deadline = t0 + limit
state = wall = None
if log:
    seen = -1
    while True:
        done = p.poll() is not None
        try:
            size = os.stat(log).st_size
        except OSError:
            size = -1
        if size != seen and size >= 0:
            seen = size
            try:
                with open(log, "rb") as f:
                    if marker in f.read():
                        wall = time.monotonic() - t0
                        break
            except OSError:
                pass
        if done:
            state = "failed" if seen >= 0 else "nolog"
            wall = time.monotonic() - t0
            break
        if time.monotonic() > deadline:
            state = "timeout"
            break
        time.sleep(0.003)
    if state is None:
        try:
            p.wait(max(0.0, min(grace, deadline - time.monotonic())))
            state = "ok"
        except subprocess.TimeoutExpired:
            end(p)
            state = "ended"
else:
    try:
        p.wait(limit)
        wall = time.monotonic() - t0
    except subprocess.TimeoutExpired:
        state = "timeout"
if state == "timeout":
    end(p)
    wall = time.monotonic() - t0
rc = p.wait()
if state is None:
    state = "ok" if rc == 0 else "failed"
print("%.3f %d %s" % (wall, rc, state))
EOF
}

# finish_wrong: ends a benchmark, loudly with status 3 when $WRONG of its
# downloads were not byte-exact, else with 0.
finish_wrong() {
  if [ "${WRONG:-0}" -gt 0 ]; then
    say ""
    say "!!!!!! $WRONG download(s) were WRONG (not byte-exact or missing): see the lines marked above !!!!!!"
    exit 3
  fi
  exit 0
}
