#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and
# this machine lacks. Does nothing when everything is there.
set -eu

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev   # Linux build, fuzzing
  libcurl4-openssl-dev googletest libbenchmark-dev # version fetch, tests, benchmarks
  libssl-dev openssl                               # digests and signatures, publishing
  tinyproxy                                        # the proxy of the proxy tests
  g++-mingw-w64-x86-64-posix wine64 xvfb           # Windows build, its tests
  nginx-light python3                              # test servers
  locales                                          # GBK locale for the wine tests
  libc-bin curl procps                             # iconv, the fault log, process checks
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# A python3 on PATH (for instance from pyenv) serves as well as Debian's.
if command -v python3 >/dev/null 2>&1; then
  missing=("${missing[@]/python3/}")
fi
missing=($(printf '%s\n' "${missing[@]}" | grep -v '^$' || true))
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx-light's package starts a system nginx on port 80; the tests start
# their own on 127.0.0.1 and need nothing of it.
$SUDO systemctl stop nginx >/dev/null 2>&1 || $SUDO service nginx stop >/dev/null 2>&1 || true
# Likewise tinyproxy's package starts a system proxy; the tests run their own.
$SUDO systemctl stop tinyproxy >/dev/null 2>&1 || $SUDO service tinyproxy stop >/dev/null 2>&1 || true
