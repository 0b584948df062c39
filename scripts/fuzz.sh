#!/bin/bash
# Builds the libFuzzer targets (clang++, ASan, UBSan) in build-fuzz and runs
# each for a few seconds.
#
#   scripts/fuzz.sh [seconds]      default 10 seconds per target
#
# A longer run, for instance before a release:
#   scripts/fuzz.sh 1800
# Corpora are kept in build-fuzz/corpus/<target>, so runs build on each
# other; a crash leaves its input in build-fuzz/crashes/.
set -eu

seconds=${1:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON -DVORN_TESTS=OFF >/dev/null
targets="url_fuzz http_date_fuzz response_header_fuzz release_checks_fuzz
         info_file_fuzz proxy_rules_fuzz command_line_fuzz chunked_fuzz"
# shellcheck disable=SC2086
cmake --build "$build" --target $targets

mkdir -p "$build/crashes"
status=0
for target in $targets; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  echo "== $target: $seconds s"
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len=4096 \
       -print_final_stats=0 -artifact_prefix="$build/crashes/$target-" \
       "$corpus" 2>"$build/$target.log"; then
    tail -n 40 "$build/$target.log"
    status=1
  else
    tail -n 1 "$build/$target.log"
  fi
done
exit $status
