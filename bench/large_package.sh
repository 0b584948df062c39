#!/usr/bin/env bash
# A package past 4 GiB: the client next to curl on one 5 GiB file (5120 MiB,
# incompressible) from the private nginx of bench/throughput.sh, over http,
# unthrottled. Wall time, CPU time and peak RSS of each, every run printed
# (stderr) and the medians after; every run starts from the same page cache
# (throughput.sh: sync, caches dropped where allowed, the served file read
# once). Needs about 10.5 GiB free in $TMPDIR (the served file and one
# download) and, for the same page cache, as much memory for the cache.
#
#   bench/large_package.sh [--rounds N] [other throughput.sh options] [LABEL=PATH ...]
#
# A benchmark, not a test: no number fails anything; a download that is not
# byte-exact makes the exit status 3, as in throughput.sh.
here=$(cd "$(dirname "$0")" && pwd)
exec "$here/throughput.sh" --sizes "${LARGE_MIB:-5120}" --throttled "" --https "" \
  --peers curl --rounds "${ROUNDS:-3}" "$@"
