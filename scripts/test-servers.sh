#!/bin/bash
# Local HTTP and HTTPS servers for the tests, on 127.0.0.1 (and nginx also
# on [::1]).
#
#   test-servers.sh start <dir> <port_base>
#   test-servers.sh stop  <dir> <port_base>
#
# start creates <dir>, writes the docroot <dir>/www and starts:
#   port_base + 0  nginx: byte ranges, keep-alive, Last-Modified. Under
#                  /slow/ the same docroot at 200 KiB/s (for resume tests).
#   port_base + 1  Python's http.server on the same docroot: ignores Range
#                  and answers 200 with the whole file (HTTP/1.0, closes).
#   port_base + 2  tests/servers/fault_server.py, peer port_base + 3
#   port_base + 3  tests/servers/fault_server.py, peer port_base + 2
#                  (path language documented at the top of that file; its
#                  /file/NAME serves the same docroot)
#   port_base + 4  tinyproxy, a plain HTTP proxy (adds Via)
#   port_base + 5  tinyproxy that wants Basic credentials vorn:proxy-pw
#                  (407 without them)
#   port_base + 6  tinyproxy whose upstream proxy is port_base + 7, where
#                  nothing listens: it answers every request with 502
#                  The three proxies open CONNECT tunnels to the HTTPS
#                  ports port_base + 8 and port_base + 13 alone (their
#                  ConnectPort lines; any other port gets 403).
#   port_base + 9  nothing listens (tests use it for a refused connection)
#   port_base + 13 tests/servers/fault_server.py over TLS 1.2 (its TLS
#                  mode, the same certificate as port_base + 8, on
#                  127.0.0.1 only), its own peer; the same paths and
#                  faults over https, and a TLS shutdown (close_notify)
#                  before every close unless a fault says otherwise
# HTTPS, all nginx, TLS 1.2 only (wine's Schannel speaks nothing newer),
# ranges and keep-alive, the docroot as on port_base (with /slow/, the
# proxy-only locations and the two below):
#   port_base + 8  a certificate for localhost, 127.0.0.1 and ::1 from the
#                  test CA, on 127.0.0.1 and on [::1]
#   port_base + 10 a certificate from the test CA for wrong-name.example
#   port_base + 11 a certificate from the test CA for localhost, 127.0.0.1
#                  and ::1 that expired in 2020
#   port_base + 12 a certificate for localhost, 127.0.0.1 and ::1 from
#                  another CA, which nobody trusts
#   port_base + 14 a certificate from the test CA for localhost, 127.0.0.1
#                  and ::1 that becomes valid only in 30 days (as a client
#                  whose clock is behind sees a good one)
# nginx's plain port_base also listens on [::1].
# The test CA is made anew at every start: <dir>/tls/ca.pem (PEM) and
# <dir>/tls/ca.der (DER); no key is kept anywhere else. A test trusts it
# on Linux through SSL_CERT_FILE=<dir>/tls/ca.pem (with SSL_CERT_DIR set
# to <dir>/tls, so the system's directory does not count), under wine by
# adding ca.der to the prefix's current-user root store (tests/host/
# trust_root.cc). The HTTPS servers log "$ssl_session_reused" (r: resumed)
# per request in <dir>/nginx-tls-access.log.
# nginx also serves the docroot under /via-proxy/ (and, at 200 KiB/s,
# under /via-proxy-slow/) only to requests that came through a proxy (a
# Via header); a direct request gets 403 there. Under /no-ranges/ it
# serves the docroot ignoring every Range (max_ranges 0: 200 and the whole
# file, as a server without range support). /Dl/Setup-2.0.EXE is
# pkg-1048577.bin, served only to a request whose target is, byte for
# byte, "/Dl/Setup-2.0.EXE?X-Amz-Signature=AbC%2FdEf&From=http://Mirror.Example/"
# (403 otherwise): a redirect target that a client must keep exactly.
# It waits (at most 10 s) until every port accepts, then exits 0; it exits
# non-zero when a server does not come up. Pid files and logs stay in <dir>.
# stop ends the servers through their pid files and never fails.
#
# Docroot <dir>/www (deterministic; tests regenerate the bytes to compare):
#   pkg-N.bin      N bytes, byte i = (i * 131 + i / 251) & 0xFF (integer
#                  division), for N = 1, 100, 101, 1003, 4096, 65536,
#                  1048577, 3145728 (3 MiB), 8388609 (8 MiB + 1)
#   text-small.txt  "line K of the small text\n" for K = 0 .. 19
#   text-large.txt  "line K of the large text, no zero bytes here\n" for
#                  K = 0 .. 9999 (about 450 KiB, more than any probe reads)
#   ver-same.txt    "VER=1.0\r\nURL=http://127.0.0.1:<base>/pkg-1003.bin"
#   ver-nginx.txt   "VER=2.0\r\nURL=http://127.0.0.1:<base>/pkg-3145728.bin"
#   ver-python.txt  "VER=2.0\r\nURL=http://127.0.0.1:<base+1>/pkg-3145728.bin"
#   ver-slow.txt    "VER=2.0\r\nURL=http://127.0.0.1:<base>/slow/pkg-3145728.bin"
#   ver-bad.txt     "no version here\r\n"
#   ver-same-lf.txt   as ver-same.txt with LF line ends and a final LF
#   ver-same-crlf.txt as ver-same.txt with a final CR LF
# Every docroot file has the modification time 2020-01-02 03:04:05 UTC, so
# Last-Modified is "Thu, 02 Jan 2020 03:04:05 GMT" on every server.
set -u

action=${1:-}
dir=${2:-}
base=${3:-}
if [ -z "$action" ] || [ -z "$dir" ] || [ -z "$base" ]; then
  echo "usage: $0 start|stop <dir> <port_base>" >&2
  exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
NGINX=${NGINX:-/usr/sbin/nginx}
PYTHON=${PYTHON:-python3}
TINYPROXY=${TINYPROXY:-/usr/bin/tinyproxy}

# Whether `pid` is a live process; a zombie whose parent has not reaped it
# yet counts as gone.
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
  case "$state" in
    Z*|"") return 1 ;;
  esac
  return 0
}

stop_all() {
  for name in nginx python fault-a fault-b fault-tls proxy-plain proxy-auth proxy-bad; do
    pidfile="$dir/$name.pid"
    [ -f "$pidfile" ] || continue
    pid=$(cat "$pidfile" 2>/dev/null)
    if [ -n "$pid" ] && alive "$pid"; then
      kill "$pid" 2>/dev/null
      for _ in $(seq 1 50); do
        alive "$pid" || break
        sleep 0.1
      done
      alive "$pid" && kill -9 "$pid" 2>/dev/null
    fi
    rm -f "$pidfile"
  done
  return 0
}

# port_open PORT [ADDRESS]
port_open() {
  (exec 3<>"/dev/tcp/${2:-127.0.0.1}/$1") 2>/dev/null
}

make_docroot() {
  mkdir -p "$dir/www" || return 1
  "$PYTHON" - "$dir/www" "$base" <<'EOF'
import os, sys
www, base = sys.argv[1], int(sys.argv[2])

MTIME = 1577934245  # 2020-01-02 03:04:05 UTC

def write(name, data):
    path = os.path.join(www, name)
    try:
        with open(path, "rb") as f:
            same = f.read() == data
    except OSError:
        same = False
    if not same:
        with open(path, "wb") as f:
            f.write(data)
    os.utime(path, (MTIME, MTIME))

for n in (1, 100, 101, 1003, 4096, 65536, 1048577, 3145728, 8388609):
    write("pkg-%d.bin" % n, bytes(((i * 131 + i // 251) & 0xFF) for i in range(n)))
write("text-small.txt", "".join("line %d of the small text\n" % k for k in range(20)).encode())
write("text-large.txt", "".join("line %d of the large text, no zero bytes here\n" % k
                                for k in range(10000)).encode())
write("ver-same.txt", b"VER=1.0\r\nURL=http://127.0.0.1:%d/pkg-1003.bin" % base)
write("ver-nginx.txt", b"VER=2.0\r\nURL=http://127.0.0.1:%d/pkg-3145728.bin" % base)
write("ver-python.txt", b"VER=2.0\r\nURL=http://127.0.0.1:%d/pkg-3145728.bin" % (base + 1))
write("ver-slow.txt", b"VER=2.0\r\nURL=http://127.0.0.1:%d/slow/pkg-3145728.bin" % base)
write("ver-bad.txt", b"no version here\r\n")
write("ver-same-lf.txt", b"VER=1.0\nURL=http://127.0.0.1:%d/pkg-1003.bin\n" % base)
write("ver-same-crlf.txt", b"VER=1.0\r\nURL=http://127.0.0.1:%d/pkg-1003.bin\r\n" % base)
EOF
}

# make_certs: the test CA, another CA nobody trusts, one server key and the
# five server certificates, made with the openssl command (RSA, which every
# TLS stack here takes). The leaf certificates are issued by "openssl ca",
# the one way in OpenSSL 3.0 to give a certificate dates in the past.
make_certs() {
  local tls="$dir/tls"
  rm -rf "$tls"
  mkdir -p "$tls" || return 1
  (
    cd "$tls" || exit 1
    cat >leaf.ext <<'EXT'
[ good ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
[ wrong ]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong-name.example
EXT
    # ca NAME CN: a self-signed CA in NAME.pem, its key in NAME.key, and
    # the database "openssl ca" keeps for it.
    ca() {
      openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
        -keyout "$1.key" -out "$1.pem" -subj "/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null || return 1
      mkdir -p "$1.db/new" && : >"$1.db/index.txt" && echo 01 >"$1.db/serial"
      cat >"$1.cnf" <<CNF
[ ca ]
default_ca = this_ca
[ this_ca ]
database = $tls/$1.db/index.txt
new_certs_dir = $tls/$1.db/new
serial = $tls/$1.db/serial
certificate = $tls/$1.pem
private_key = $tls/$1.key
default_md = sha256
policy = any_name
unique_subject = no
[ any_name ]
commonName = supplied
CNF
    }
    # leaf CA NAME CN EXTENSIONS START END
    leaf() {
      openssl req -new -key server.key -subj "/CN=$3" -out "$2.csr" \
        2>/dev/null || return 1
      openssl ca -batch -notext -config "$1.cnf" -in "$2.csr" -out "$2.pem" \
        -extfile leaf.ext -extensions "$4" -startdate "$5" -enddate "$6" \
        >/dev/null 2>&1
    }
    now=$(date -u +%Y%m%d%H%M%SZ -d '-1 hour')
    later=$(date -u +%Y%m%d%H%M%SZ -d '+30 days')
    much_later=$(date -u +%Y%m%d%H%M%SZ -d '+60 days')
    ca ca "vorn test CA" && ca other-ca "vorn untrusted CA" &&
      openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 \
        -out server.key 2>/dev/null &&
      leaf ca good localhost good "$now" "$later" &&
      leaf ca wrong-name wrong-name.example wrong "$now" "$later" &&
      leaf ca expired localhost good 20190101000000Z 20200101000000Z &&
      leaf other-ca untrusted localhost good "$now" "$later" &&
      leaf ca not-yet-valid localhost good "$later" "$much_later" &&
      openssl x509 -in ca.pem -outform DER -out ca.der &&
      rm -f ca.key other-ca.key
  )
}

write_nginx_conf() {
  local user_line=""
  # As root the workers would switch to an unprivileged user that may not
  # read the docroot; keep them as the caller.
  if [ "$(id -u)" = 0 ]; then
    user_line="user $(id -un) $(id -gn);"
  fi
  mkdir -p "$dir/nginx-temp"
  cat >"$dir/nginx.conf" <<EOF
$user_line
daemon off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/nginx-error.log warn;
events { worker_connections 256; }
http {
  # The combined format with the Range asked for at the end, so a test can
  # tell the probe (bytes=100-) from the segments.
  log_format ranges '\$remote_addr - \$remote_user [\$time_local] "\$request" '
                    '\$status \$body_bytes_sent "\$http_referer" '
                    '"\$http_user_agent" "\$http_range"';
  access_log $dir/nginx-access.log ranges;
  client_body_temp_path $dir/nginx-temp/body;
  proxy_temp_path $dir/nginx-temp/proxy;
  fastcgi_temp_path $dir/nginx-temp/fastcgi;
  uwsgi_temp_path $dir/nginx-temp/uwsgi;
  scgi_temp_path $dir/nginx-temp/scgi;
  types { text/plain txt; application/octet-stream bin; }
  default_type application/octet-stream;
  keepalive_timeout 65;
  server {
    listen 127.0.0.1:$base;
    listen [::1]:$base;
    root $dir/www;
    include $dir/nginx-locations.conf;
  }
  log_format tls '\$remote_addr "\$request" \$status \$ssl_session_reused';
  ssl_protocols TLSv1.2;
  ssl_certificate_key $dir/tls/server.key;
  ssl_session_cache shared:vorn_tls:1m;
  server {
    listen 127.0.0.1:$((base + 8)) ssl;
    listen [::1]:$((base + 8)) ssl;
    ssl_certificate $dir/tls/good.pem;
    access_log $dir/nginx-tls-access.log tls;
    root $dir/www;
    include $dir/nginx-locations.conf;
  }
$(for pair in 10:wrong-name 11:expired 12:untrusted 14:not-yet-valid; do
  cat <<SERVER
  server {
    listen 127.0.0.1:$((base + ${pair%%:*})) ssl;
    ssl_certificate $dir/tls/${pair#*:}.pem;
    access_log $dir/nginx-tls-access.log tls;
    root $dir/www;
  }
SERVER
done)
}
EOF
  cat >"$dir/nginx-locations.conf" <<EOF
location /slow/ {
  alias $dir/www/;
  limit_rate 200k;
}
location /via-proxy/ {
  alias $dir/www/;
  if (\$http_via = "") { return 403; }
}
location /via-proxy-slow/ {
  alias $dir/www/;
  limit_rate 200k;
  if (\$http_via = "") { return 403; }
}
location /no-ranges/ {
  alias $dir/www/;
  max_ranges 0;
}
location = /Dl/Setup-2.0.EXE {
  alias $dir/www/pkg-1048577.bin;
  if (\$request_uri != "/Dl/Setup-2.0.EXE?X-Amz-Signature=AbC%2FdEf&From=http://Mirror.Example/") {
    return 403;
  }
}
EOF
}

# write_tinyproxy_conf NAME PORT EXTRA-LINE
write_tinyproxy_conf() {
  local user_lines=""
  # As root tinyproxy would switch to a user that may not write its log.
  if [ "$(id -u)" = 0 ]; then
    user_lines="User $(id -un)
Group $(id -gn)"
  fi
  cat >"$dir/$1.conf" <<EOF
$user_lines
Port $2
Listen 127.0.0.1
Timeout 120
LogFile "$dir/$1.log"
LogLevel Info
MaxClients 64
Allow 127.0.0.1
ConnectPort $((base + 8))
ConnectPort $((base + 13))
$3
EOF
}

case "$action" in
  stop)
    [ -d "$dir" ] && stop_all
    exit 0
    ;;
  start)
    mkdir -p "$dir" || exit 1
    dir=$(cd "$dir" && pwd)
    stop_all
    make_docroot || { echo "cannot write the docroot" >&2; exit 1; }
    make_certs || { echo "cannot make the test certificates" >&2; exit 1; }
    write_nginx_conf

    # Every server gets its output in a file and no terminal, so that
    # nothing keeps the caller's pipes open.
    "$NGINX" -p "$dir" -c "$dir/nginx.conf" -e "$dir/nginx-error.log" \
      </dev/null >"$dir/nginx.out" 2>&1 &
    # nginx writes its own pid file (the master); this one is a fallback
    # until it has.
    echo $! >"$dir/nginx.pid"
    "$PYTHON" -m http.server "$((base + 1))" --bind 127.0.0.1 --directory "$dir/www" \
      </dev/null >"$dir/python.log" 2>&1 &
    echo $! >"$dir/python.pid"
    "$PYTHON" "$root/tests/servers/fault_server.py" --port "$((base + 2))" \
      --peer-port "$((base + 3))" --docroot "$dir/www" \
      </dev/null >"$dir/fault-a.log" 2>&1 &
    echo $! >"$dir/fault-a.pid"
    "$PYTHON" "$root/tests/servers/fault_server.py" --port "$((base + 3))" \
      --peer-port "$((base + 2))" --docroot "$dir/www" \
      </dev/null >"$dir/fault-b.log" 2>&1 &
    echo $! >"$dir/fault-b.pid"
    "$PYTHON" "$root/tests/servers/fault_server.py" --port "$((base + 13))" \
      --peer-port "$((base + 13))" --docroot "$dir/www" \
      --tls-cert "$dir/tls/good.pem" --tls-key "$dir/tls/server.key" \
      </dev/null >"$dir/fault-tls.log" 2>&1 &
    echo $! >"$dir/fault-tls.pid"
    write_tinyproxy_conf proxy-plain "$((base + 4))" ""
    write_tinyproxy_conf proxy-auth "$((base + 5))" "BasicAuth vorn proxy-pw"
    write_tinyproxy_conf proxy-bad "$((base + 6))" \
      "Upstream http 127.0.0.1:$((base + 7))"
    for name in proxy-plain proxy-auth proxy-bad; do
      : >"$dir/$name.log"
      "$TINYPROXY" -d -c "$dir/$name.conf" </dev/null >"$dir/$name.out" 2>&1 &
      echo $! >"$dir/$name.pid"
    done

    for _ in $(seq 1 100); do
      up=0
      for offset in 0 1 2 3 4 5 6 8 10 11 12 13 14; do
        port_open "$((base + offset))" && up=$((up + 1))
      done
      port_open "$base" ::1 && up=$((up + 1))
      port_open "$((base + 8))" ::1 && up=$((up + 1))
      if [ "$up" = 15 ]; then
        exit 0
      fi
      sleep 0.1
    done
    echo "test servers did not come up on ports $base to $((base + 14)); logs in $dir" >&2
    tail -n 5 "$dir"/nginx-error.log "$dir"/*.log >&2 2>/dev/null
    stop_all
    exit 1
    ;;
  *)
    echo "usage: $0 start|stop <dir> <port_base>" >&2
    exit 2
    ;;
esac
