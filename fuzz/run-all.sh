#!/usr/bin/env bash
# Builds the fuzz targets with clang into BUILD_DIR and runs each for SECONDS,
# starting from the committed seeds; prints executions per target and fails
# on the first crash or broken invariant (the input is kept in BUILD_DIR/artifacts).
#   fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: fuzz/run-all.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run-all.sh BUILD_DIR SECONDS}

clangxx=${CLANGXX:-$(command -v clang++ || true)}
resources=$([ -n "$clangxx" ] && "$clangxx" -print-resource-dir 2>/dev/null || true)
if [ -z "$clangxx" ] || ! ls "$resources"/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  echo "fuzz: clang++ or its libFuzzer runtime is missing; install clang and libclang-rt-14-dev (scripts/install-deps test)" >&2
  exit 1
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >/dev/null

declare -A max_len=([fuzz_lineframer]=4096 [fuzz_wsconnection]=20000 [fuzz_pluginprotocol]=4096)
mkdir -p "$build/artifacts"
status=0
printf '%-22s %12s %8s\n' target executions crashes
for t in fuzz_lineframer fuzz_wsconnection fuzz_pluginprotocol; do
  # New finds go to a working corpus in the build dir; the committed seeds stay as they are.
  mkdir -p "$build/corpus/$t"
  log="$build/$t.log"
  crashes=0
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
    "$build/$t" "$build/corpus/$t" "$here/corpus/${t#fuzz_}" -max_total_time="$seconds" -max_len="${max_len[$t]}" \
    -timeout=25 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1 || crashes=1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-22s %12s %8s\n' "$t" "${runs:-?}" "$crashes"
  if [ "$crashes" -ne 0 ]; then
    status=1
    grep -E 'ERROR|invariant failed|runtime error|Test unit written' "$log" | head -n 8 >&2 || true
    echo "  full output: $log" >&2
  fi
done
exit $status
