#!/usr/bin/env bash
# A whole update against a local nginx: builds vornupdate if needed, serves a
# version file and a package on 127.0.0.1, runs the update, shows the log
# (converted from GBK to UTF-8) and compares the package's checksum with
# the served one. Then the signed road: a throw-away key, a signed version
# file, an updater with the key beside it; the update runs, and a package
# changed on the server after signing is refused while the good one stays.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh
build=build/demo
if [ ! -x "$build/vornupdate" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF >/dev/null
  cmake --build "$build" >/dev/null
fi

work=$(mktemp -d /tmp/vorn-demo.XXXXXX)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/www" "$work/logs" "$work/temp"
chmod 755 "$work" "$work/www"  # nginx's workers run unprivileged
head -c 5000000 /dev/urandom >"$work/www/setup.bin"
printf 'VER=2.0\r\nURL=http://127.0.0.1:%d/setup.bin\r\n' "$port" >"$work/www/version.txt"
cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log warn;
events { worker_connections 64; }
http {
  access_log $work/logs/access.log;
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
  }
}
CONF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/logs/error.log" </dev/null >/dev/null 2>&1 &
nginx_pid=$!
cleanup() {
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

line=";http://127.0.0.1:$port/version.txt;1.0;$work/download;setup.bin;;My App"
echo "running: build/demo/vornupdate '$line'"
start=$(date +%s%N)
"$build/vornupdate" "$line"
echo "finished in $(( ($(date +%s%N) - start) / 1000000 )) ms"
echo
echo "update log ($work/download/updatelog.txt, shown as UTF-8):"
iconv -f GBK -t UTF-8 "$work/download/updatelog.txt"
echo
echo "requests served:"
awk '{print "  " $6, $7, $9, $10 " bytes"}' "$work/logs/access.log"
served=$(sha256sum <"$work/www/setup.bin" | cut -d' ' -f1)
got=$(sha256sum <"$work/download/setup.bin" | cut -d' ' -f1)
echo
echo "served     sha256 $served"
echo "downloaded sha256 $got"
if [ "$served" = "$got" ]; then
  echo "demo: the package arrived byte-exact"
else
  echo "demo: the package differs" >&2
  exit 1
fi

echo
echo "== the signed road"
bash scripts/make-key.sh "$work/keys" >/dev/null
mkdir -p "$work/bin"
cp "$build/vornupdate" "$work/bin/vornupdate"
cp "$work/keys/vornupdate.pub" "$work/bin/vornupdate.pub"
bash scripts/sign-release.sh "$work/www/setup.bin" "http://127.0.0.1:$port/setup.bin" 2.0 \
  "$work/keys/release-key.pem" "$work/www/version.txt"
echo "signed version file:"
tr -d '\r' <"$work/www/version.txt" | sed 's/^/  /'
signed_line=";http://127.0.0.1:$port/version.txt;1.0;$work/signed;setup.bin;;My App"
"$work/bin/vornupdate" "$signed_line"
good=$(sha256sum <"$work/signed/setup.bin" | cut -d' ' -f1)
echo "signed release downloaded, sha256 $good"

# One byte changed on the server, the version file left as signed.
python3 -c 'import sys; p=sys.argv[1]; b=bytearray(open(p,"rb").read()); b[4096]^=1; open(p,"wb").write(b)' \
  "$work/www/setup.bin"
"$work/bin/vornupdate" "$signed_line" || true
echo "update log of the signed runs (shown as UTF-8):"
iconv -f GBK -t UTF-8 "$work/signed/updatelog.txt"
kept=$(sha256sum <"$work/signed/setup.bin" | cut -d' ' -f1)
if [ "$kept" = "$good" ] && [ "$good" = "$served" ] &&
   grep -q "$(printf 'SHA256\xd0\xa3\xd1\xe9\xca\xa7\xb0\xdc')" "$work/signed/updatelog.txt"; then
  echo "demo: the changed package was refused and the good one kept"
else
  echo "demo: the changed package was not refused" >&2
  exit 1
fi
