#!/usr/bin/env bash
# Installs what is missing, builds both backends, and runs every test:
#   1. Linux build: unit tests, tests against local servers, end to end.
#   2. The Windows build (mingw-w64), all its tests under wine, in the
#      background while 3 and 4 run.
#   3. The Linux build under AddressSanitizer and UndefinedBehaviorSanitizer
#      (of the end-to-end scripts, those that reach code the others do not).
#   4. The workers and finishing the package under ThreadSanitizer.
#   5. A short run of each fuzz target.
# Ends with one summary line over all test runners.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/install-deps.sh || { echo "installing the dependencies failed" >&2; exit 1; }

passed=0
failed=0
failures=()

# ctest_exec NAME BUILD_DIR [ctest args...]: runs ctest, its whole output
# to BUILD_DIR/ctest-output.txt, and the time it took after it.
ctest_exec() {
  local name=$1 dir=$2 began=$SECONDS
  shift 2
  ctest --test-dir "$dir" --output-on-failure --timeout 600 "$@" >"$dir/ctest-output.txt" 2>&1
  echo "-- $name: ctest took $((SECONDS - began)) s" >>"$dir/ctest-output.txt"
}

# ctest_count NAME BUILD_DIR: prints the failures and the closing lines of
# that output, and adds its counts.
ctest_count() {
  local name=$1 dir=$2
  local out="$dir/ctest-output.txt"
  echo "== $name: ctest"
  grep -E '\*\*\*(Failed|Timeout|Exception)|Not Run' "$out" | sed -E 's/ \.{3,}/ .../' | head -n 50
  sed -n '/tests passed/,$p' "$out"
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$out" | tail -n 1)
  if [ -z "$line" ]; then
    echo "$name: ctest printed no summary" >&2
    failed=$((failed + 1))
    failures+=("$name (no summary)")
    return
  fi
  local total fails
  total=$(echo "$line" | sed -E 's/.*out of ([0-9]+).*/\1/')
  fails=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  if [ "$fails" -ne 0 ]; then
    failures+=("$name ($fails failed)")
    echo "-- $name: output of the failed tests (all of it in $out):"
    grep -vE '^\s*(Start +[0-9]+:|[0-9]+/[0-9]+ Test +#[0-9]+:.*Passed)' "$out" | tail -n 200
  fi
}

ctest_run() {  # NAME BUILD_DIR [ctest args...]
  ctest_exec "$@"
  ctest_count "$1" "$2"
}

build() {  # NAME DIR [--target T] CMAKE_ARGS...
  local name=$1 dir=$2 target=() began=$SECONDS
  shift 2
  if [ "${1:-}" = --target ]; then target=(--target "$2"); shift 2; fi
  echo "== $name: build"
  if ! cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1; then
    mkdir -p "$dir"; cat "$dir.configure.log" >&2
    failed=$((failed + 1)); failures+=("$name (configure)"); return 1
  fi
  if ! cmake --build "$dir" -j "$(nproc)" "${target[@]}" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log" >&2
    failed=$((failed + 1)); failures+=("$name (build)"); return 1
  fi
  echo "-- $name: build took $((SECONDS - began)) s"
}

mkdir -p build
start=$(date +%s)

if build linux build/linux -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_TEST_PORT_BASE=18000; then
  ctest_run linux build/linux -j 2
fi

# The wine tests spend most of their time waiting on wine and the servers:
# they run in the background while the sanitizer builds compile.
win32_pid=
if build win32 build/win32 -DCMAKE_BUILD_TYPE=Release -DVORN_TEST_PORT_BASE=18300 \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake"; then
  # The wine tests that need code page 936 set their own locale.
  ctest_exec win32 build/win32 -j 2 &
  win32_pid=$!
fi

if build sanitizers build/asan -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON -DVORN_TEST_PORT_BASE=18100; then
  # Every unit and server test, and the end-to-end scripts that reach what
  # the others do not (cuts and retries, kill and resume, TLS); the rest of
  # the scripts run the same code as in the plain build.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest_run sanitizers build/asan -j 2 -E '^(fault_matrix_test_[0-9]|integrity_test|proxy_test|disk_full_test|start_up_test)$'
fi

# Only the unit tests: the threads under test are all in them.
if build threads build/tsan --target vorn_unit_tests -DCMAKE_BUILD_TYPE=Debug -DVORN_TSAN=ON -DVORN_TEST_PORT_BASE=18150; then
  TSAN_OPTIONS=halt_on_error=1 ctest_run threads build/tsan -j 2 -R 'Transfer|SegmentWorker|Thread|Interrupt'
fi

if [ -n "$win32_pid" ]; then
  wait "$win32_pid"
  ctest_count win32 build/win32
fi

echo "== fuzz"
if bash scripts/fuzz.sh "${VORN_FUZZ_SECONDS:-5}" >build/fuzz.log 2>&1; then
  tail -n 3 build/fuzz.log
  passed=$((passed + 1))
else
  tail -n 40 build/fuzz.log >&2
  failed=$((failed + 1)); failures+=("fuzz")
fi

echo "== done in $(( $(date +%s) - start )) s"
[ ${#failures[@]} -eq 0 ] || printf 'failed: %s\n' "${failures[@]}"
echo "tests: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
