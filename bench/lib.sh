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
# after it (another server).
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
  access_log $work/nginx-access.log;
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
